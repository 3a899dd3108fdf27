// GLib before Qt: its struct fields clash with Qt's keywords.
#include <glib.h>

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <QTimer>
#include <csignal>
#include <fstream>
#include <set>
#include <thread>

#include "desktop/PasteTargetProcess.h"
#include "platform/atspi/AtspiAccessibility.h"
#include "platform/atspi/AtspiElement.h"
#include "support/EventLoop.h"
#include "support/HangGuard.h"
#include "support/QStringPrinter.h"

using namespace std::chrono_literals;
using Toolkit = PasteTargetProcess::Toolkit;

namespace {

class AtspiAccessibilityTest : public testing::Test
{
protected:
    // The target's focused element, once its tree is on the bus.
    static std::unique_ptr<AccessibleElement> focusedElementOf(Accessibility& accessibility,
                                                               const PasteTargetProcess& target)
    {
        std::unique_ptr<AccessibleElement> element;
        waitUntil([&] { return (element = accessibility.focusedElement(target.pid())) != nullptr; });
        return element;
    }
    std::unique_ptr<AccessibleElement> focusedElementOf(const PasteTargetProcess& target)
    {
        return focusedElementOf(accessibility, target);
    }

    static PasteTargetProcess::Options accessible(QStringList arguments, Toolkit toolkit = Toolkit::qt)
    {
        return {std::move(arguments), true, {}, toolkit};
    }

    AtspiAccessibility accessibility;
};

const char* nameOf(Toolkit toolkit)
{
    return toolkit == Toolkit::gtk ? "GTK" : "Qt";
}

// The file descriptors that the process's default GLib context (the one the
// main thread's Qt loop runs) polls: one full iteration that does not wait.
std::set<int> polledByMainLoop()
{
    GMainContext* context = g_main_context_default();
    EXPECT_TRUE(g_main_context_acquire(context));
    gint priority = 0;
    g_main_context_prepare(context, &priority);
    GPollFD fds[128];
    gint timeout = 0;
    const gint count = g_main_context_query(context, G_MAXINT, &timeout, fds, 128);
    g_main_context_check(context, G_MAXINT, fds, std::min(count, 128));
    g_main_context_dispatch(context);
    g_main_context_release(context);
    std::set<int> polled;
    for (gint i = 0; i < std::min(count, 128); ++i)
        polled.insert(fds[i].fd);
    return polled;
}

// Stops a process (SIGSTOP) and waits until the kernel shows it stopped.
bool stop(qint64 pid)
{
    ::kill(pid_t(pid), SIGSTOP);
    return waitUntil([pid] {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string field, name, state;
        stat >> field >> name >> state;   // the name has no spaces here
        return state == "T";
    });
}

// An active grab of the keyboard on its own X connection, as the hot key's
// press makes one.
class KeyboardGrab
{
public:
    KeyboardGrab() : m_connection(xcb_connect(nullptr, nullptr))
    {
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
        xcb_grab_keyboard_reply_t* reply = xcb_grab_keyboard_reply(
            m_connection,
            xcb_grab_keyboard(m_connection, 0, root, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC,
                              XCB_GRAB_MODE_ASYNC),
            nullptr);
        m_grabbed = reply && reply->status == XCB_GRAB_STATUS_SUCCESS;
        free(reply);
    }
    ~KeyboardGrab()
    {
        release();
        xcb_disconnect(m_connection);
    }

    bool grabbed() const { return m_grabbed; }
    void release()
    {
        xcb_ungrab_keyboard(m_connection, XCB_CURRENT_TIME);
        xcb_flush(m_connection);
    }

private:
    xcb_connection_t* m_connection;
    bool m_grabbed = false;
};

}

TEST_F(AtspiAccessibilityTest, ReadsTheFocusedFieldOfAnotherProcess)
{
    for (const Toolkit toolkit : {Toolkit::qt, Toolkit::gtk}) {
        SCOPED_TRACE(nameOf(toolkit));
        PasteTargetProcess target(accessible({"--text", "Hello world", "--select", "6", "5"}, toolkit));
        ASSERT_TRUE(target.start());
        EXPECT_TRUE(accessibility.isTrusted());

        const auto element = focusedElementOf(target);

        ASSERT_TRUE(element);
        EXPECT_EQ(element->role(), "text");
        EXPECT_FALSE(element->isPasswordField());
        EXPECT_EQ(element->value(), "Hello world");
        EXPECT_EQ(element->selection(), (TextSpan{6, 11}));
        // The same, read in one go; a write then goes where it says.
        const auto field = element->snapshot();
        EXPECT_EQ(field.role, "text");
        EXPECT_FALSE(field.password);
        EXPECT_EQ(field.value, "Hello world");
        ASSERT_EQ(field.selection, (TextSpan{6, 11}));
        EXPECT_EQ(element->replaceText(*field.selection, "there"), 0);
        EXPECT_TRUE(target.waitForText("Hello there")) << target.text().toStdString();
    }
}

TEST_F(AtspiAccessibilityTest, FindsTheFocusedFieldBehindThousandsOfElements)
{
    // More elements before the field than a search on our side may look at:
    // the application is asked to find its focused element itself.
    PasteTargetProcess target(accessible({"--widgets", "6000", "--text", "last"}, Toolkit::gtk));
    ASSERT_TRUE(target.start());

    const auto element = focusedElementOf(target);

    ASSERT_TRUE(element);
    EXPECT_EQ(element->value(), "last");
}

TEST_F(AtspiAccessibilityTest, FindsTheFieldAQtWindowOfThousandsOfElementsLastFocused)
{
    // Qt offers no Collection interface, and walking 5,000 elements takes
    // seconds: the look-up must end within its deadline, and the field the
    // window reports focused must be found without a walk.
    QList<UnansweredRequest> unanswered;
    accessibility.setUnansweredHandler([&](const UnansweredRequest& request) { unanswered.append(request); });
    PasteTargetProcess target(accessible({"--widgets", "5000", "--text", "one", "--second-text", "two"}));
    ASSERT_TRUE(target.start());
    HangGuard guard(60s, "the search in a large Qt window");

    // Focused before this process listened: only a walk could tell.
    const auto beforeAnyReport = accessibility.focusedElement(target.pid());
    EXPECT_TRUE(!beforeAnyReport || beforeAnyReport->value() == "one");
    EXPECT_TRUE(unanswered.isEmpty()) << "the search outlived its deadline";

    ASSERT_TRUE(target.command("focus second", "FOCUSED second"));
    const auto element = focusedElementOf(target);
    ASSERT_TRUE(element);
    EXPECT_EQ(element->value(), "two");
    EXPECT_EQ(element->replaceText({3, 3}, " more"), 0);
    EXPECT_TRUE(waitUntil([&] { return element->value() == "two more"; }));
    EXPECT_TRUE(unanswered.isEmpty()) << "the search outlived its deadline";
}

TEST_F(AtspiAccessibilityTest, AFieldNoLongerFocusedIsNeverTheAnswer)
{
    // The element last reported focused is only a hint: once it has gone,
    // or its window has lost the focus to another program, the search
    // answers what holds the focus now, or nothing.
    AtspiAccessibility quick(AtspiTiming{1s, 0ms});
    ASSERT_TRUE(quick.isTrusted());   // listening before the targets focus anything
    PasteTargetProcess first(accessible({"--text", "one", "--second-text", "two"}));
    ASSERT_TRUE(first.start());
    ASSERT_TRUE(first.command("focus second", "FOCUSED second"));
    const auto second = focusedElementOf(quick, first);
    ASSERT_TRUE(second);
    ASSERT_EQ(second->value(), "two");

    PasteTargetProcess other(accessible({"--text", "other"}));
    ASSERT_TRUE(other.start());
    // (once the program in the back has taken in that it lost the focus)
    EXPECT_TRUE(waitUntil([&] { return quick.focusedElement(first.pid()) == nullptr; }))
        << "the window in the back still answers its field";
    other.quit();

    ASSERT_TRUE(waitUntil([&] { return quick.focusedElement(first.pid()) != nullptr; }))
        << "the window came back to the front";
    ASSERT_TRUE(first.command("drop second", "DROPPED second"));
    const auto afterDrop = quick.focusedElement(first.pid());
    EXPECT_TRUE(!afterDrop || afterDrop->value() != "two") << "the deleted field was the answer";
}

TEST_F(AtspiAccessibilityTest, WritesReplaceTheSelectionOrInsertAtTheCaret)
{
    // Qt counts offsets and the inserted text's length in UTF-16 units, GTK
    // counts offsets in code points and the length in bytes: texts beyond
    // ASCII and beyond 16 bits show a wrong unit.
    const struct {
        Toolkit toolkit;
        QStringList arguments;
        QString insertion;
        QString expected;
    } cases[] = {
        {Toolkit::qt, {"--text", "Hello world", "--select", "6", "5"}, "there", "Hello there"},
        {Toolkit::qt, {"--text", "Grüße"}, QString::fromUtf8(", Welt ✓"), QString::fromUtf8("Grüße, Welt ✓")},
        {Toolkit::qt, {"--text", "ab", "--select", "1", "0"}, QString::fromUtf8("é"), QString::fromUtf8("aéb")},
        {Toolkit::qt, {"--text", QString::fromUtf8("👍ab"), "--select", "2", "1"}, "X", QString::fromUtf8("👍Xb")},
        {Toolkit::qt, {"--text", QString::fromUtf8("👍ab"), "--select", "3", "0"}, "X", QString::fromUtf8("👍aXb")},
        {Toolkit::qt, {"--plain", "--text", "one\ntwo", "--select", "4", "0"}, "new ", "one\nnew two"},
        {Toolkit::gtk, {"--text", "Hello world", "--select", "6", "5"}, "there", "Hello there"},
        {Toolkit::gtk, {"--text", "Grüße"}, QString::fromUtf8(", Welt ✓"), QString::fromUtf8("Grüße, Welt ✓")},
        {Toolkit::gtk, {"--text", QString::fromUtf8("👍ab"), "--select", "1", "1"}, QString::fromUtf8("é👍"),
         QString::fromUtf8("👍é👍b")},
        {Toolkit::gtk, {"--view", "--text", "one\ntwo", "--select", "4", "3"}, QString::fromUtf8("zwö"),
         QString::fromUtf8("one\nzwö")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(nameOf(c.toolkit)) + ": " + c.expected.toStdString());
        PasteTargetProcess target(accessible(c.arguments, c.toolkit));
        ASSERT_TRUE(target.start());
        const auto element = focusedElementOf(target);
        ASSERT_TRUE(element);
        const auto selection = element->selection();
        ASSERT_TRUE(selection);

        EXPECT_EQ(element->replaceText(*selection, c.insertion), 0);

        EXPECT_TRUE(target.waitForText(c.expected)) << target.text().toStdString();
        EXPECT_EQ(element->value(), c.expected);
    }
}

TEST_F(AtspiAccessibilityTest, ReadsAndWritesPastANulInTheField)
{
    // A NUL is what a write with the length in bytes leaves in a Qt field;
    // D-Bus cannot carry it, and a plain read stops there.
    const QString withNul = QStringLiteral("ab") + QChar(0) + QStringLiteral("cd");
    PasteTargetProcess target(accessible({"--escaped-text", "ab\\0cd"}));
    ASSERT_TRUE(target.start());
    const auto element = focusedElementOf(target);
    ASSERT_TRUE(element);

    EXPECT_EQ(element->value(), withNul);
    EXPECT_EQ(element->selection(), (TextSpan{5, 5}));
    EXPECT_EQ(element->replaceText({2, 3}, QString::fromUtf8("–")), 0);

    EXPECT_TRUE(target.waitForText(QString::fromUtf8("ab–cd"))) << target.text().toStdString();
}

TEST_F(AtspiAccessibilityTest, RecognisesPasswordFields)
{
    PasteTargetProcess target(accessible({"--password", "--text", "secret"}));
    ASSERT_TRUE(target.start());

    const auto element = focusedElementOf(target);

    ASSERT_TRUE(element);
    EXPECT_TRUE(element->isPasswordField());
    EXPECT_EQ(element->role(), "password text");
    const auto field = element->snapshot();
    EXPECT_TRUE(field.password);
    EXPECT_EQ(field.value, std::nullopt) << "a password field's value was read";
}

// A field becomes a password field while it is known (a "show password"
// switch turned off): asked again, it says so, and its value stays unread.
TEST_F(AtspiAccessibilityTest, AFieldThatHidesItsTextIsAPasswordFieldFromThenOn)
{
    PasteTargetProcess target(accessible({"--text", "secret"}, Toolkit::gtk));
    ASSERT_TRUE(target.start());
    const auto element = focusedElementOf(target);
    ASSERT_TRUE(element);
    ASSERT_FALSE(element->snapshot().password);

    ASSERT_TRUE(target.command("hide", "HIDDEN"));

    EXPECT_TRUE(element->isPasswordField());
    const auto field = element->snapshot();
    EXPECT_TRUE(field.password);
    EXPECT_EQ(field.value, std::nullopt) << "a password field's value was read";
}

TEST_F(AtspiAccessibilityTest, ApplicationThatPublishesNothingHasNoFocusedElement)
{
    PasteTargetProcess target;   // not accessible
    ASSERT_TRUE(target.start());

    EXPECT_TRUE(accessibility.isTrusted());
    EXPECT_EQ(accessibility.focusedElement(target.pid()), nullptr);
}

TEST_F(AtspiAccessibilityTest, UnreachableBusMeansUntrustedAndNoElements)
{
    // Each test runs in its own process, which connects to the bus once.
    qputenv("AT_SPI_BUS_ADDRESS", "unix:path=/nonexistent/talvex-no-bus");
    PasteTargetProcess target(accessible({"--text", "unreachable"}));
    ASSERT_TRUE(target.start());

    EXPECT_FALSE(accessibility.isTrusted());
    EXPECT_EQ(accessibility.focusedElement(target.pid()), nullptr);
}

// libatspi hooks the bus (and each direct connection to a GTK program) into
// the process's default GLib context; dispatched by the main thread's loop,
// a GTK program's answers made it wait for itself.
TEST_F(AtspiAccessibilityTest, KeepsTheAccessibilityBusOffTheMainLoop)
{
    PasteTargetProcess target(accessible({"--text", "events"}, Toolkit::gtk));
    ASSERT_TRUE(target.start());
    const std::set<int> before = polledByMainLoop();
    HangGuard guard(15s, "the search in a GTK program");

    const auto element = focusedElementOf(target);
    ASSERT_TRUE(element);
    EXPECT_EQ(element->value(), "events");
    spinFor(100);   // time for any reply to reach a connection on the main loop

    std::set<int> added;
    for (const int fd : polledByMainLoop())
        if (!before.count(fd))
            added.insert(fd);
    EXPECT_TRUE(added.empty()) << "the main loop polls " << added.size() << " new descriptor(s)";
}

TEST_F(AtspiAccessibilityTest, MainLoopKeepsRunningWhileAGtkProgramEmitsEvents)
{
    // The target keeps adding and removing widgets and typing into a second
    // window: a stream of accessibility events and cache updates.
    PasteTargetProcess target(accessible({"--text", "busy", "--churn"}, Toolkit::gtk));
    ASSERT_TRUE(target.start());
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(5);
    HangGuard guard(15s, "the main loop beside a GTK program's events");

    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        const auto element = focusedElementOf(target);
        ASSERT_TRUE(element);
        EXPECT_EQ(element->value(), "busy");
        const int before = ticks;
        EXPECT_TRUE(waitUntil([&] { return ticks >= before + 3; }, 5000)) << "the main loop stopped";
    }
}

TEST_F(AtspiAccessibilityTest, FrozenApplicationCostsOneDeadlineAndIsAskedAgainOnceItAnswers)
{
    // Below libatspi's own time-out (250 ms a request), so that the request
    // to the stopped application outlives the wait.
    AtspiAccessibility quick(AtspiTiming{100ms, 0ms});
    QList<UnansweredRequest> unanswered;
    quick.setUnansweredHandler([&](const UnansweredRequest& request) { unanswered.append(request); });
    PasteTargetProcess target(accessible({"--text", "frozen"}, Toolkit::gtk));
    ASSERT_TRUE(target.start());
    const auto element = focusedElementOf(quick, target);
    ASSERT_TRUE(element);
    unanswered.clear();   // a first search may take longer than this (connecting)
    ASSERT_TRUE(stop(target.pid()));
    HangGuard guard(15s, "a read of a stopped program");

    EXPECT_EQ(element->value(), std::nullopt);
    ASSERT_FALSE(unanswered.isEmpty());
    EXPECT_EQ(unanswered.first(), (UnansweredRequest{"value", false, 100ms}));

    ::kill(pid_t(target.pid()), SIGCONT);
    EXPECT_TRUE(waitUntil([&] { return element->value() == "frozen"; }));
}

TEST_F(AtspiAccessibilityTest, FindsTheFocusedFieldOnceTheHotKeysGrabEnds)
{
    // While a key grab lasts, the applications mark no window active and no
    // element focused; the hot key's press starts one, and the target is
    // looked at right then.
    AtspiAccessibility waiting(AtspiTiming{8s, 5s});
    for (const Toolkit toolkit : {Toolkit::qt, Toolkit::gtk}) {
        SCOPED_TRACE(nameOf(toolkit));
        PasteTargetProcess target(accessible({"--text", "grabbed"}, toolkit));
        ASSERT_TRUE(target.start());
        ASSERT_TRUE(focusedElementOf(target));
        KeyboardGrab grab;
        ASSERT_TRUE(grab.grabbed());
        AtspiAccessibility impatient(AtspiTiming{1s, 0ms});
        ASSERT_TRUE(waitUntil([&] { return !impatient.focusedElement(target.pid()); }))
            << "the grab did not take the focus away";

        // The user lets go of the keys a moment after the search began.
        std::thread letGo([&] {
            std::this_thread::sleep_for(300ms);
            grab.release();
        });
        const auto element = waiting.focusedElement(target.pid());
        letGo.join();

        ASSERT_TRUE(element);
        EXPECT_EQ(element->value(), "grabbed");
    }
}
