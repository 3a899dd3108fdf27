#include <QClipboard>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <QTimer>
#include <gmock/gmock.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "desktop/PasteTargetProcess.h"
#include "platform/x11/X11ClipboardReader.h"
#include "platform/x11/X11Connection.h"
#include "platform/atspi/AtspiAccessibility.h"
#include "platform/x11/X11DesktopWindows.h"
#include "platform/x11/X11KeySynthesizer.h"
#include "session/TextInjector.h"
#include "store/Logger.h"
#include "support/EventLoop.h"
#include "support/HangGuard.h"
#include "support/QStringPrinter.h"
#include "support/TempHome.h"

using namespace std::chrono_literals;
using testing::Contains;
using Toolkit = PasteTargetProcess::Toolkit;

namespace {

// The injector on this build's real backends, against helper processes.
class InjectionTest : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(X11Connection::fromQt()) << "needs an X display"; }

    // The target is in front when the recording starts; then the user
    // switches to another window.
    void captureThenSwitchAway(PasteTargetProcess& target, PasteTargetProcess& other)
    {
        ASSERT_TRUE(target.start());
        injector.captureTarget();
        ASSERT_TRUE(injector.targetApp());
        ASSERT_EQ(injector.targetApp()->pid, target.pid());
        ASSERT_TRUE(other.start());
    }

    QStringList logMessages()
    {
        QCoreApplication::sendPostedEvents(&logger, QEvent::MetaCall);
        QStringList messages;
        for (const auto& entry : logger.entries())
            messages << entry.message;
        return messages;
    }

    static QClipboard& clipboard() { return *QGuiApplication::clipboard(); }

    TempHome home;
    Logger logger{home.path()};
    TextInjector injector{logger, std::make_unique<X11DesktopWindows>(),
                          std::make_unique<AtspiAccessibility>(), std::make_unique<X11KeySynthesizer>(),
                          std::make_unique<X11ClipboardReader>()};
};

PasteTargetProcess::Options accessibleWithText(const QString& text)
{
    return {{"--text", text}, true};
}

// An accessibility bus that takes connections and never answers: the
// socket listens, nothing ever accepts.
class SilentBus
{
public:
    SilentBus() : m_path(m_dir.filePath("bus")), m_socket(::socket(AF_UNIX, SOCK_STREAM, 0))
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray path = m_path.toLocal8Bit();
        std::copy_n(path.constData(), std::min<qsizetype>(path.size(), sizeof address.sun_path - 1),
                    address.sun_path);
        m_listening = ::bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
            && ::listen(m_socket, 16) == 0;
    }
    ~SilentBus() { ::close(m_socket); }

    bool listening() const { return m_listening; }
    QByteArray address() const { return "unix:path=" + m_path.toLocal8Bit(); }

private:
    QTemporaryDir m_dir;
    QString m_path;
    int m_socket;
    bool m_listening = false;
};

}

TEST_F(InjectionTest, WritesThroughAccessibilityIntoTheRememberedWindow)
{
    PasteTargetProcess target(accessibleWithText("Hello"));
    PasteTargetProcess other({{"--title", "Elsewhere"}});
    captureThenSwitchAway(target, other);
    clipboard().setText("left alone");

    ASSERT_TRUE(injector.inject(QString::fromUtf8(" wörld")));

    EXPECT_TRUE(target.waitForText(QString::fromUtf8("Hello wörld")));
    EXPECT_THAT(logMessages(), Contains("TextInjector: AX inject verified, 6 chars inserted"));
    EXPECT_EQ(clipboard().text(), "left alone");
    EXPECT_EQ(other.text(), "");
}

TEST_F(InjectionTest, PastesIntoTheRememberedWindowWhenItPublishesNoAccessibility)
{
    PasteTargetProcess target;
    PasteTargetProcess other({{"--title", "Elsewhere"}});
    captureThenSwitchAway(target, other);
    clipboard().setText("the user's clipboard");

    ASSERT_TRUE(injector.inject("pasted text"));

    EXPECT_TRUE(target.waitForText("pasted text"));
    EXPECT_THAT(logMessages(), Contains("TextInjector: no focused element, using ⌘V paste"));
    EXPECT_THAT(logMessages(), Contains("TextInjector: injected 11 chars via ⌘V paste"));
    EXPECT_TRUE(waitUntil([&] { return clipboard().text() == "the user's clipboard"; }, 3000));
    EXPECT_EQ(other.text(), "");
}

TEST_F(InjectionTest, PastesWhenTheAccessibilityBusIsUnreachable)
{
    // Each test runs in its own process, which connects to the bus once.
    qputenv("AT_SPI_BUS_ADDRESS", "unix:path=/nonexistent/talvex-no-bus");
    PasteTargetProcess target(accessibleWithText("Hi"));
    PasteTargetProcess other({{"--title", "Elsewhere"}});
    captureThenSwitchAway(target, other);

    ASSERT_TRUE(injector.inject(" there"));

    EXPECT_TRUE(target.waitForText("Hi there"));
    EXPECT_THAT(logMessages(), Contains("TextInjector: no focused element, using ⌘V paste"));
}

TEST_F(InjectionTest, DoesNotPasteElsewhereWhenTheTargetHasQuit)
{
    PasteTargetProcess target;
    PasteTargetProcess other({{"--title", "Elsewhere"}});
    captureThenSwitchAway(target, other);
    target.quit();
    // The window manager has dropped the quit window.
    ASSERT_TRUE(waitUntil([&] { return !X11DesktopWindows().activate(*injector.targetApp()); }));

    EXPECT_FALSE(injector.inject("lost text"));

    spinFor(200);
    EXPECT_EQ(other.text(), "") << "the text went into the wrong window";
    EXPECT_THAT(logMessages(), Contains("TextInjector: could not activate PasteTarget, text not inserted"));
    const auto current = injector.getCurrentTarget();
    ASSERT_TRUE(current);
    EXPECT_EQ(current->appName, "PasteTarget");
    EXPECT_EQ(current->detail, "");
}

TEST_F(InjectionTest, WritesIntoEachKindOfFieldAndKeepsTheRestOfIt)
{
    const QString rich = QStringLiteral(
        "<p>Plain <b>bold</b> <i>italic</i> <a href=\"https://example.com/\">link</a> end</p>");
    const struct {
        const char* name;
        PasteTargetProcess::Options target;
        QString text;
        QString expected;
        QStringList htmlParts;   // what a rich text must still hold
    } cases[] = {
        {"Qt rich text, caret at the end",
         {{"--rich", "--text", rich}, true},
         " more",
         "Plain bold italic link end more",
         {"font-weight:700;\">bold</span>", "font-style:italic;\">italic</span>",
          "<a href=\"https://example.com/\">", ">link</span></a>", " end more</p>"}},
        {"Qt rich text, a selection", {{"--rich", "--text", rich, "--select", "0", "5"}, true}, "Some",
         "Some bold italic link end", {"font-weight:700;\">bold</span>", "<a href=\"https://example.com/\">"}},
        {"Qt multi-line field, caret in the middle",
         {{"--plain", "--text", "first line\nsecond line", "--select", "6", "0"}, true},
         QString::fromUtf8("néw "),
         QString::fromUtf8("first néw line\nsecond line"),
         {}},
        {"GTK entry", {{"--text", "Hello"}, true, {}, Toolkit::gtk}, QString::fromUtf8(" wörld"),
         QString::fromUtf8("Hello wörld"), {}},
        {"GTK text view, a selection",
         {{"--view", "--text", "alpha\nbeta gamma", "--select", "6", "4"}, true, {}, Toolkit::gtk},
         QString::fromUtf8("BÉTA"),
         QString::fromUtf8("alpha\nBÉTA gamma"),
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        logger.setEntries({});
        PasteTargetProcess target(c.target);
        ASSERT_TRUE(target.start());
        injector.captureTarget();
        clipboard().setText("left alone");

        ASSERT_TRUE(injector.inject(c.text));

        EXPECT_TRUE(target.waitForText(c.expected)) << target.text().toStdString();
        EXPECT_THAT(logMessages(), Contains(QStringLiteral("TextInjector: AX inject verified, %1 chars inserted")
                                                .arg(c.text.size())));
        EXPECT_EQ(clipboard().text(), "left alone") << "pasted as well";
        for (const QString& part : c.htmlParts)
            EXPECT_TRUE(target.html().contains(part)) << part.toStdString() << " lost from\n"
                                                      << target.html().toStdString();
    }
}

TEST_F(InjectionTest, PastesWhenTheAccessibilityBusNeverAnswersAndTheMainLoopGoesOn)
{
    SilentBus bus;
    ASSERT_TRUE(bus.listening());
    // Each test runs in its own process, which connects to the bus once.
    qputenv("AT_SPI_BUS_ADDRESS", bus.address());
    PasteTargetProcess target;
    ASSERT_TRUE(target.start());
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(5);

    {
        HangGuard guard(15s, "a dictation against a silent accessibility bus");
        injector.captureTarget();
        int before = ticks;
        EXPECT_TRUE(waitUntil([&] { return ticks >= before + 3; })) << "the main loop stopped";
        ASSERT_TRUE(injector.inject("first"));
        EXPECT_TRUE(target.waitForText("first"));
        before = ticks;
        EXPECT_TRUE(waitUntil([&] { return ticks >= before + 3; })) << "the main loop stopped";
    }

    const QStringList messages = logMessages();
    EXPECT_THAT(messages, Contains("TextInjector: AX gave no answer within 1000 ms (focused element)"));
    EXPECT_THAT(messages, Contains("TextInjector: AX still waits for an earlier answer, focused element skipped"));
    EXPECT_THAT(messages, Contains("TextInjector: no focused element, using ⌘V paste"));
    EXPECT_THAT(messages, Contains("TextInjector: injected 5 chars via ⌘V paste"));
}
