// The program's own time on the road, from the stop press to the text in the
// field, on the built program (as the desktop tests drive it): short
// dictations into a GTK 3 entry, the services a loopback fake that answers at
// once. The road starts when the X server has handled the stop press. The
// fixed waits of the road are taken off: the 0.5 s after activating the
// target, and each 0.5 s poll for the last slice (as many as leave a time
// between 0 and 0.5 s; the program's own share is far below).
// The read-back wait comes after the text is in the field. The text's
// arrival is seen from here at once: the bench never sleeps while it waits.
// Usage, inside scripts/desktop-session: road_bench [dictations]
#include <QCoreApplication>
#include <QGuiApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

#include "desktop/AppHarness.h"
#include "desktop/PasteTargetProcess.h"
#include "platform/Preferences.h"
#include "support/EventLoop.h"
#include "support/HttpFake.h"
#include "support/RisingTone.h"
#include "Median.h"

namespace {

constexpr double kGoalMs = 15.0;
constexpr double kFixedWaitMs = 500.0;   // after activation; also one poll

HttpFake::Answer chatAnswer(const QString& content)
{
    const QJsonObject message{{"role", "assistant"}, {"content", content}};
    return HttpFake::Answer::json(
        200, QJsonDocument(QJsonObject{{"choices", QJsonArray{QJsonObject{{"message", message}}}}})
                 .toJson(QJsonDocument::Compact));
}

// Waits for `done` without the sleeps of the tests' waits: the fake services
// live on this thread, and a sleeping bench would answer them late and count
// its own lateness as the program's.
bool waitAwake(const std::function<bool()>& done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    QTimer tick;   // wakes the loop to look at the deadline
    tick.start(50);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

}

int main(int argc, char** argv)
{
    // On the display: the target is started once the window manager has it in front.
    qputenv("QT_QPA_PLATFORM", "xcb");
    QGuiApplication application(argc, argv);
    const int dictations = argc > 1 ? std::atoi(argv[1]) : 8;

    AppHarness app;
    if (!app.setUpError().isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(app.setUpError()));
        return 1;
    }
    HttpFake openAI;
    int chats = 0;
    openAI.setResponder([&](const HttpFake::Request& request) {
        if (request.path == "/v1/chat/completions")
            return chatAnswer(QStringLiteral("Dictation %1.").arg(++chats));
        return HttpFake::Answer::text(200, "words\n");
    });
    app.setEnvironment("TALVEX_OPENAI_BASE_URL", openAI.url().toString());
    app.setSetting(PrefKey::apiKey, "sk-bench");
    app.feedMicrophone(RisingTone::pcm);
    if (const QString failure = app.launch(); !failure.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(failure));
        return 1;
    }
    PasteTargetProcess gtk({.toolkit = PasteTargetProcess::Toolkit::gtk});
    if (!gtk.start()) {
        std::fprintf(stderr, "the GTK target did not start\n");
        return 1;
    }

    std::vector<double> own;
    QString expected;
    for (int round = 1; round <= dictations; ++round) {
        app.pressHotkey();
        if (!waitUntil([&] { return app.logLines().filter("state idle \u2192 recording").size() == round; },
                       10000)) {
            std::fprintf(stderr, "dictation %d did not start\n", round);
            return 1;
        }
        spinFor(1000);
        expected += QStringLiteral("Dictation %1.").arg(round);
        QElapsedTimer road;
        // From the press as the X server handles it: the bench's own key
        // events before it (the modifiers, XTest's delay) are not the program's.
        app.pressHotkey([&] { road.start(); });
        if (!waitAwake([&] { return gtk.waitForText(expected, 0); }, 20000)) {
            std::fprintf(stderr, "dictation %d never reached the field: %s\n", round, qPrintable(gtk.text()));
            return 1;
        }
        const double totalMs = double(road.nsecsElapsed()) / 1e6;
        double ownMs = totalMs - kFixedWaitMs;
        while (ownMs >= kFixedWaitMs)
            ownMs -= kFixedWaitMs;
        own.push_back(ownMs);
        std::printf("  dictation %d: stop to text %7.1f ms, the program's own %5.1f ms\n", round, totalMs, ownMs);
        waitUntil([&] { return app.logLines().filter("auto-inject succeeded").size() == round; }, 10000);
    }
    app.quit();

    const double median = ::median(own);
    std::printf("The program's own time on the road, median of %d: %.1f ms   goal < %.0f ms: %s\n",
                dictations, median, kGoalMs, median < kGoalMs ? "met" : "MISSED");
    return 0;
}
