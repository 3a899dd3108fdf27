// GLib before Qt: its struct fields clash with Qt's keywords.
#include <atspi/atspi.h>

#include "platform/atspi/AtspiThread.h"
#include "platform/atspi/AtspiFocusEvents.h"
#include "platform/atspi/GlibHandles.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

// The match rules for events that atspi_init() adds (libatspi 2.46, word for
// word: the bus removes a rule only by its exact text). libatspi's handlers
// never run here; without the rules the bus does not send us its events (the
// focus table asks for the one signal it reads).
constexpr const char* kEventRules[] = {
    "type='signal',interface='org.a11y.atspi.Cache',member='AddAccessible'",
    "type='signal',interface='org.a11y.atspi.Cache',member='RemoveAccessible'",
    "type='signal',interface='org.a11y.atspi.Event.Object',member='ChildrenChanged'",
    "type='signal',interface='org.a11y.atspi.Event.Object',member='PropertyChange'",
    "type='signal',interface='org.a11y.atspi.Event.Object',member='StateChanged'",
    "type='signal', interface='org.freedesktop.DBus', member='NameOwnerChanged'",
};

// The accessibility bus once connected, and the focus signals read off it;
// the thread's alone.
DBusConnection* g_bus = nullptr;
AtspiFocusEvents* g_focusEvents = nullptr;

// Whether the caller still waits for a job, decided under the state's mutex.
struct Ticket
{
    bool done = false;
    bool abandoned = false;
};

struct Job
{
    std::function<void()> work;
    std::function<void()> discard;   // drops the value of a job given up on
    std::shared_ptr<Ticket> ticket;  // none for a posted job
};

// Runs `work` from a dispatch of `context`. Inside a dispatch, libatspi does
// not dispatch the bus after a request's reply: it never runs the handlers
// that a reply to its own background requests would run (one of them opens a
// direct connection to the application, hooked into the main thread's loop).
void runInsideDispatch(GMainContext* context, const std::function<void()>& work)
{
    struct Run
    {
        const std::function<void()>* work;
        bool done = false;
    } run{&work};
    GSource* source = g_idle_source_new();
    // Above libatspi's sources, so that the iteration dispatches nothing else.
    g_source_set_priority(source, G_PRIORITY_HIGH);
    g_source_set_callback(
        source,
        [](gpointer data) -> gboolean {
            auto* run = static_cast<Run*>(data);
            (*run->work)();
            run->done = true;
            return G_SOURCE_REMOVE;
        },
        &run, nullptr);
    g_source_attach(source, context);
    g_source_unref(source);
    while (!run.done)
        g_main_context_iteration(context, FALSE);
}

// While it waits for a reply, libdbus reads whatever else arrives into the
// connection's queue, where it would pile up: signals, and the replies to
// libatspi's background requests. The focus table keeps the focus signals;
// the rest is thrown away unread.
void dropIncoming()
{
    if (g_focusEvents)
        g_focusEvents->drain();
}

}

struct AtspiThread::State
{
    std::mutex mutex;
    std::condition_variable jobQueued;
    std::condition_variable jobDone;
    std::deque<Job> queue;
    // A job the caller gave up on has not returned yet.
    bool abandonedJobPending = false;
};

AtspiThread& AtspiThread::instance()
{
    static AtspiThread* const thread = new AtspiThread;
    return *thread;
}

AtspiThread::AtspiThread() : m_state(std::make_shared<State>())
{
    std::thread(serve, m_state).detach();
}

void AtspiThread::serve(std::shared_ptr<State> state)
{
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    for (;;) {
        Job job;
        {
            std::unique_lock lock(state->mutex);
            state->jobQueued.wait(lock, [&] { return !state->queue.empty(); });
            job = std::move(state->queue.front());
            state->queue.pop_front();
        }
        runInsideDispatch(context, job.work);
        dropIncoming();
        if (!job.ticket)
            continue;
        bool abandoned = false;
        {
            std::lock_guard lock(state->mutex);
            job.ticket->done = true;
            abandoned = job.ticket->abandoned;
            if (abandoned)
                state->abandonedJobPending = false;
        }
        state->jobDone.notify_all();
        if (abandoned)
            job.discard();
    }
}

AtspiThread::Outcome AtspiThread::run(std::function<void()> work, std::function<void()> discard,
                                      std::chrono::milliseconds deadline)
{
    auto ticket = std::make_shared<Ticket>();
    std::unique_lock lock(m_state->mutex);
    if (m_state->abandonedJobPending)
        return Outcome::stillBusy;
    m_state->queue.push_back({std::move(work), std::move(discard), ticket});
    m_state->jobQueued.notify_one();
    if (m_state->jobDone.wait_for(lock, deadline, [&] { return ticket->done; }))
        return Outcome::answered;
    ticket->abandoned = true;
    m_state->abandonedJobPending = true;
    return Outcome::deadlineMissed;
}

void AtspiThread::post(std::function<void()> job)
{
    std::lock_guard lock(m_state->mutex);
    m_state->queue.push_back({std::move(job), {}, nullptr});
    m_state->jobQueued.notify_one();
}

bool AtspiThread::connectedToBus()
{
    static const bool connected = [] {
        if (atspi_init() > 1)   // 0: connected now, 1: already connected
            return false;
        // atspi_init() hooks the bus into the process's default GLib context,
        // the one the main thread's Qt loop runs: take it over at once. (Only
        // after atspi_init(): it hooks the bus there whatever was set before.)
        atspi_set_main_context(g_main_context_get_thread_default());
        g_bus = atspi_get_a11y_bus();
        for (const char* rule : kEventRules)
            dbus_bus_remove_match(g_bus, rule, nullptr);
        atspi_set_timeout(kRequestTimeoutMs, kRequestTimeoutMs);
        g_focusEvents = new AtspiFocusEvents(g_bus);
        // Without events, cached states (focus!), roles (an entry that hides
        // its text becomes a password field) and names would go stale: ask
        // the applications every time. An object's interfaces are fixed when
        // it is made, so those alone are kept. Only safe because no handler
        // of libatspi ever runs here: with nothing cached, its handlers make
        // blocking calls from inside the dispatch of the very connection
        // they call on.
        GObjectRef<AtspiAccessible> desktop(atspi_get_desktop(0));
        if (desktop.get())
            atspi_accessible_set_cache_mask(desktop.get(), ATSPI_CACHE_INTERFACES);
        return true;
    }();
    return connected;
}

AtspiFocusEvents* AtspiThread::focusEvents()
{
    return connectedToBus() ? g_focusEvents : nullptr;
}
