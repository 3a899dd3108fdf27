// The real program dictating into a GTK 3 program: GTK programs send
// accessibility events all the time, which must not reach the program's main
// loop, and their focused field must be found once the hot key is let go.
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

#include "desktop/AppHarness.h"
#include "desktop/PasteTargetProcess.h"
#include "platform/Preferences.h"
#include "support/EventLoop.h"
#include "support/HttpFake.h"
#include "support/QStringPrinter.h"
#include "support/RisingTone.h"

namespace {

HttpFake::Answer chatAnswer(const QString& content)
{
    const QJsonObject message{{"role", "assistant"}, {"content", content}};
    return HttpFake::Answer::json(
        200, QJsonDocument(QJsonObject{{"choices", QJsonArray{QJsonObject{{"message", message}}}}})
                 .toJson(QJsonDocument::Compact));
}

// The Qt platform theme the program runs with: none, or GTK's, as on a GNOME
// desktop, which loads GTK and its accessibility bridge into the program too.
class AppDictatesIntoGtk : public testing::TestWithParam<const char*>
{
};

}  // namespace

TEST_P(AppDictatesIntoGtk, TheTextArrivesOnceAndTheHotKeyKeepsWorking)
{
    AppHarness app;
    ASSERT_TRUE(app.setUpError().isEmpty()) << app.setUpError().toStdString();
    HttpFake openAI;
    const QStringList polished = {"First dictation.", "Second one."};
    int chats = 0;
    openAI.setResponder([&](const HttpFake::Request& request) {
        if (request.path == "/v1/chat/completions")
            return chatAnswer(polished.value(chats++));
        return HttpFake::Answer::text(200, "words\n");
    });
    app.setEnvironment("TALVEX_OPENAI_BASE_URL", openAI.url().toString());
    app.setEnvironment("QT_QPA_PLATFORMTHEME", GetParam());
    app.setSetting(PrefKey::apiKey, "sk-desktop-test");
    app.feedMicrophone(RisingTone::pcm);
    ASSERT_EQ(app.launch(), QString());
    if (*GetParam()) {
        QFile maps(QString("/proc/%1/maps").arg(app.pid()));
        ASSERT_TRUE(maps.open(QIODevice::ReadOnly));
        ASSERT_TRUE(maps.readAll().contains("libgtk-3.so")) << "the GTK theme was not loaded";
    }

    // A GTK entry with the focus, and a second window of it that keeps
    // sending accessibility events.
    PasteTargetProcess gtk({.arguments = {"--churn"}, .toolkit = PasteTargetProcess::Toolkit::gtk});
    ASSERT_TRUE(gtk.start());

    QString expected;
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        app.pressHotkey();
        ASSERT_TRUE(waitUntil([&] {
            return app.logLines().filter("SessionManager: state idle \u2192 recording").size() == round;
        }, 10000)) << app.logLines().join('\n').toStdString();
        spinFor(1500);
        app.pressHotkey();
        ASSERT_TRUE(waitUntil([&] {
            return app.logLines().filter("SessionManager: auto-inject succeeded").size() == round;
        }, 20000)) << app.logLines().join('\n').toStdString();
        expected += polished[round - 1];
        EXPECT_TRUE(gtk.waitForText(expected)) << gtk.text().toStdString();
    }

    const QStringList lines = app.logLines();
    // Written through accessibility and checked, never pasted on top.
    EXPECT_EQ(lines.filter("TextInjector: AX inject verified").size(), 2) << lines.join('\n').toStdString();
    EXPECT_TRUE(lines.filter("via \u2318V paste").isEmpty());
    EXPECT_TRUE(lines.filter("TextInjector context: no focused element").isEmpty()) << lines.join('\n').toStdString();
    EXPECT_EQ(gtk.text(), "First dictation.Second one.");

    app.quit();
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.exitCode(), 0);
}

INSTANTIATE_TEST_SUITE_P(Themes, AppDictatesIntoGtk, testing::Values("", "gtk3"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             return std::string(*info.param ? info.param : "none");
                         });
