#include <QCoreApplication>
#include <gtest/gtest.h>

#include "platform/HttpClient.h"
#include "platform/Preferences.h"
#include "platform/Updater.h"
#include "store/LocaleManager.h"
#include "support/EventLoop.h"
#include "support/FakeAlertPresenter.h"
#include "support/HttpFake.h"
#include "support/QStringPrinter.h"
#include "support/TempHome.h"

using Kind = UpdateCheckResult::Kind;

namespace {

AppcastItem release(const char* version)
{
    AppcastItem item;
    item.version = AppVersion::parse(version);
    item.downloadUrl = QUrl(QString("https://talvex.app/dl/talvex-%1.tar.gz").arg(version));
    return item;
}

UpdateCheckResult resultOf(Kind kind, std::optional<AppcastItem> newest = {}, QString detail = {})
{
    return UpdateCheckResult{kind, "0.1.0", std::move(newest), std::move(detail)};
}

// The shipped string tables through the real look-up.
class UpdaterAlert : public testing::Test
{
protected:
    Updater updaterIn(const char* language)
    {
        locale.setLanguage(language);
        return Updater(http, [this](const QString& key) { return locale.text(key); });
    }

    TempHome home;
    Preferences prefs{home.configHome() + "/test.conf"};
    LocaleManager locale{prefs, "en"};
    HttpClient http;
};

}  // namespace

TEST_F(UpdaterAlert, EnglishTextsOfEachResult)
{
    const Updater updater = updaterIn("en");

    AppcastItem withNotes = release("0.2.0");
    withNotes.releaseNotesUrl = QUrl("https://talvex.app/notes/0.2.0");
    withNotes.link = QUrl("https://talvex.app/releases/0.2.0");
    Alert alert = updater.alertFor(resultOf(Kind::updateAvailable, withNotes));
    EXPECT_EQ(alert.title, "A New Version of Talvex Is Available");
    EXPECT_EQ(alert.message, "Talvex 0.2.0 is available. You have version 0.1.0.\n\n"
                             "Download: https://talvex.app/dl/talvex-0.2.0.tar.gz\n"
                             "Release notes: https://talvex.app/notes/0.2.0");
    EXPECT_EQ(alert.buttons, QStringList{"OK"});

    // Without release notes the item's page stands in; without addresses, none are listed.
    AppcastItem pageOnly = release("0.3.0");
    pageOnly.downloadUrl = QUrl();
    pageOnly.link = QUrl("https://talvex.app/releases/0.3.0");
    EXPECT_EQ(updater.alertFor(resultOf(Kind::updateAvailable, pageOnly)).message,
              "Talvex 0.3.0 is available. You have version 0.1.0.\n\n"
              "Release notes: https://talvex.app/releases/0.3.0");
    pageOnly.link = QUrl();
    EXPECT_EQ(updater.alertFor(resultOf(Kind::updateAvailable, pageOnly)).message,
              "Talvex 0.3.0 is available. You have version 0.1.0.");

    alert = updater.alertFor(resultOf(Kind::upToDate, release("0.1.0")));
    EXPECT_EQ(alert.title, "You’re Up to Date");
    EXPECT_EQ(alert.message, "Talvex 0.1.0 is the newest version available.");

    const std::pair<UpdateCheckResult, const char*> failures[] = {
        {resultOf(Kind::networkError, {}, "Connection refused"),
         "The update server could not be reached: Connection refused"},
        {resultOf(Kind::timeout), "The update server did not answer in time. Please try again later."},
        {resultOf(Kind::httpStatus, {}, "404"), "The update server answered with HTTP status 404."},
        {resultOf(Kind::unreadableFeed, {}, "Premature end of document. (line 1, column 9)"),
         "The update information could not be read: Premature end of document. (line 1, column 9)"},
        {resultOf(Kind::noVersion), "The update information names no version of Talvex."},
        {UpdateCheckResult{Kind::unreadableRunningVersion, "dev", {}, {}},
         "The version of this copy of Talvex (“dev”) cannot be compared with the available versions."},
    };
    for (const auto& [result, message] : failures) {
        alert = updater.alertFor(result);
        EXPECT_EQ(alert.title, "Update Check Failed");
        EXPECT_EQ(alert.message, QString::fromUtf8(message));
        EXPECT_EQ(alert.buttons, QStringList{"OK"});
    }
}

TEST_F(UpdaterAlert, ChineseTextsHaveEveryValueFilledIn)
{
    const Updater updater = updaterIn("zh-Hans");
    const std::pair<UpdateCheckResult, QStringList> cases[] = {
        {resultOf(Kind::updateAvailable, release("0.2.0")),
         {"0.2.0", "0.1.0", "https://talvex.app/dl/talvex-0.2.0.tar.gz"}},
        {resultOf(Kind::upToDate, release("0.1.0")), {"0.1.0"}},
        {resultOf(Kind::networkError, {}, "Host not found"), {"Host not found"}},
        {resultOf(Kind::timeout), {}},
        {resultOf(Kind::httpStatus, {}, "503"), {"503"}},
        {resultOf(Kind::unreadableFeed, {}, "bad tag"), {"bad tag"}},
        {resultOf(Kind::noVersion), {}},
        {UpdateCheckResult{Kind::unreadableRunningVersion, "dev", {}, {}}, {"dev"}},
    };
    for (const auto& [result, values] : cases) {
        const Alert alert = updater.alertFor(result);
        SCOPED_TRACE(alert.message.toStdString());
        for (const QString& text : {alert.title, alert.message}) {
            EXPECT_FALSE(text.startsWith("update.")) << "a key without a text";
            EXPECT_FALSE(text.contains('%')) << "a placeholder left unfilled";
        }
        for (const QString& value : values)
            EXPECT_TRUE(alert.message.contains(value)) << value.toStdString();
        EXPECT_EQ(alert.buttons, QStringList{"好"});
    }
}

TEST_F(UpdaterAlert, ACheckFromTheMenuShowsOneAlertHoweverOftenItIsChosen)
{
    QCoreApplication::setApplicationVersion("0.1.0");
    HttpFake fake;
    HttpFake::Answer answer = HttpFake::Answer::text(200, "<rss><channel><item>"
        "<enclosure url=\"https://talvex.app/dl/t.tar.gz\" sparkle:version=\"0.2.0\"/>"
        "</item></channel></rss>");
    answer.delay = std::chrono::milliseconds(100);
    fake.setResponder([answer](const HttpFake::Request&) { return answer; });
    qputenv("TALVEX_UPDATE_FEED_URL", (fake.url().toString() + "/appcast.xml").toUtf8());

    Updater updater = updaterIn("en");
    FakeAlertPresenter presenter;
    updater.checkAndPresent(presenter);
    updater.checkAndPresent(presenter);   // chosen again while the first is checking
    ASSERT_TRUE(waitUntil([&] { return !presenter.shown.isEmpty(); }));
    spinFor(200);
    ASSERT_EQ(presenter.shown.size(), 1);
    EXPECT_EQ(fake.requests().size(), 1);
    EXPECT_EQ(presenter.shown.first().title, "A New Version of Talvex Is Available");
    EXPECT_TRUE(presenter.shown.first().message.startsWith("Talvex 0.2.0 is available."));

    // Once its alert is answered, the item checks again.
    updater.checkAndPresent(presenter);
    ASSERT_TRUE(waitUntil([&] { return presenter.shown.size() == 2; }));
    EXPECT_EQ(fake.requests().size(), 2);
    qunsetenv("TALVEX_UPDATE_FEED_URL");
}
