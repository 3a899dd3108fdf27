#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTcpServer>
#include <gtest/gtest.h>

#include "platform/HttpClient.h"
#include "platform/Updater.h"
#include "support/HttpFake.h"
#include "support/QStringPrinter.h"
#include "support/RunTask.h"

using namespace std::chrono_literals;
using Kind = UpdateCheckResult::Kind;

namespace {

QByteArray feedOf(const QList<QByteArray>& versions)
{
    QByteArray items;
    for (const QByteArray& v : versions) {
        items += "<item><title>Talvex " + v + "</title>"
                 "<sparkle:releaseNotesLink>https://talvex.app/notes/" + v + "</sparkle:releaseNotesLink>"
                 "<enclosure url=\"https://talvex.app/dl/talvex-" + v + ".tar.gz\" length=\"10\""
                 " type=\"application/x-gzip\" sparkle:version=\"" + v + "\"/></item>";
    }
    return "<?xml version=\"1.0\"?><rss version=\"2.0\" "
           "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"><channel>"
           + items + "</channel></rss>";
}

HttpFake::Answer xml(int status, const QByteArray& body)
{
    HttpFake::Answer answer;
    answer.status = status;
    answer.headers = {{"Content-Type", "application/rss+xml"}};
    answer.body = body;
    return answer;
}

class UpdaterCheck : public testing::Test
{
protected:
    void SetUp() override
    {
        QCoreApplication::setApplicationVersion("0.1.0");
        pointAt(fake.url().toString() + "/appcast.xml");
    }
    void TearDown() override { qunsetenv("TALVEX_UPDATE_FEED_URL"); }

    static void pointAt(const QString& url) { qputenv("TALVEX_UPDATE_FEED_URL", url.toUtf8()); }

    UpdateCheckResult check(UpdaterTiming timing = {})
    {
        HttpClient http;
        Updater updater(http, [](const QString& key) { return key; }, timing);
        const std::optional<UpdateCheckResult> result = runTask(updater.check());
        if (!result)
            ADD_FAILURE() << "the check did not finish";
        return result.value_or(UpdateCheckResult{Kind::networkError, {}, {}, "unfinished"});
    }

    HttpFake fake;
};

}  // namespace

TEST_F(UpdaterCheck, ANewerVersionInTheFeedIsAnUpdate)
{
    fake.enqueue(xml(200, feedOf({"0.2.0"})));
    const UpdateCheckResult result = check();
    EXPECT_EQ(result.kind, Kind::updateAvailable);
    EXPECT_EQ(result.runningVersion, "0.1.0");
    ASSERT_TRUE(result.newest);
    EXPECT_EQ(result.newest->version->text(), "0.2.0");
    EXPECT_EQ(result.newest->downloadUrl, QUrl("https://talvex.app/dl/talvex-0.2.0.tar.gz"));
    EXPECT_EQ(result.newest->releaseNotesUrl, QUrl("https://talvex.app/notes/0.2.0"));

    ASSERT_EQ(fake.requests().size(), 1);
    EXPECT_EQ(fake.requests().first().method, "GET");
    EXPECT_EQ(fake.requests().first().path, "/appcast.xml");
}

TEST_F(UpdaterCheck, NewestOfSeveralAgainstTheRunningVersion)
{
    struct Case
    {
        const char* running;
        QList<QByteArray> feed;
        Kind kind;
        const char* newest;
    };
    const Case cases[] = {
        {"0.1.0", {"0.1.0"}, Kind::upToDate, "0.1.0"},
        {"0.1.0", {"0.1"}, Kind::upToDate, "0.1"},
        {"0.1.0", {"0.0.9", "0.1.0-beta"}, Kind::upToDate, "0.1.0-beta"},
        // The newest, not the first: feeds list releases in any order.
        {"0.1.0", {"0.0.5", "0.10.0", "0.9.0"}, Kind::updateAvailable, "0.10.0"},
        {"0.9.0", {"0.10.0", "0.8.0"}, Kind::updateAvailable, "0.10.0"},
        {"0.10.0", {"0.9.0", "0.10.0"}, Kind::upToDate, "0.10.0"},
        {"1.0.0", {"0.10.0", "0.9.9"}, Kind::upToDate, "0.10.0"},
        {"1.0.0-beta", {"1.0.0"}, Kind::updateAvailable, "1.0.0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.running) + " against " + feedOf(c.feed).toStdString());
        QCoreApplication::setApplicationVersion(c.running);
        fake.enqueue(xml(200, feedOf(c.feed)));
        const UpdateCheckResult result = check();
        EXPECT_EQ(result.kind, c.kind);
        ASSERT_TRUE(result.newest);
        EXPECT_EQ(result.newest->version->text(), c.newest);
    }
}

TEST_F(UpdaterCheck, FeedsThatTellNothing)
{
    fake.enqueue(xml(200, "<rss><channel><item><title>Talvex</title>"));
    UpdateCheckResult result = check();
    EXPECT_EQ(result.kind, Kind::unreadableFeed);
    EXPECT_TRUE(result.detail.startsWith("Premature end of document")) << result.detail.toStdString();
    EXPECT_FALSE(result.newest);

    fake.enqueue(xml(200, "<rss><channel><item><title>Talvex</title><enclosure url=\"u\"/></item></channel></rss>"));
    result = check();
    EXPECT_EQ(result.kind, Kind::noVersion);
    EXPECT_FALSE(result.newest);

    // A captive portal's page in place of the feed.
    fake.enqueue(HttpFake::Answer::text(200, "<html><body>Log in first</body></html>"));
    result = check();
    EXPECT_EQ(result.kind, Kind::unreadableFeed);
    EXPECT_EQ(result.detail, "not an RSS feed (its root element is <html>)");
}

TEST_F(UpdaterCheck, AnAnswerOtherThan2xxIsItsStatus)
{
    for (int status : {404, 500, 304}) {
        SCOPED_TRACE(status);
        // A body that would read as a feed with an update must not count.
        fake.enqueue(xml(status, feedOf({"9.0.0"})));
        const UpdateCheckResult result = check();
        EXPECT_EQ(result.kind, Kind::httpStatus);
        EXPECT_EQ(result.detail, QString::number(status));
        EXPECT_FALSE(result.newest);
    }
}

TEST_F(UpdaterCheck, NoAnswerInTimeIsATimeout)
{
    HttpFake::Answer silent;
    silent.silent = true;
    fake.enqueue(silent);
    const UpdateCheckResult result = check(UpdaterTiming{200ms});
    EXPECT_EQ(result.kind, Kind::timeout);

    // A body that breaks off after the status line is a network failure.
    HttpFake::Answer cut = xml(200, feedOf({"0.2.0"}));
    cut.dropAfter = HttpFake::encode(cut).size() - 20;
    fake.enqueue(cut);
    const UpdateCheckResult dropped = check();
    EXPECT_EQ(dropped.kind, Kind::networkError);
    EXPECT_FALSE(dropped.detail.isEmpty());
}

TEST_F(UpdaterCheck, ARefusedConnectionIsANetworkErrorWithQtsText)
{
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost, 0));
    const quint16 port = closed.serverPort();
    closed.close();
    pointAt(QString("http://127.0.0.1:%1/appcast.xml").arg(port));

    const UpdateCheckResult result = check();
    EXPECT_EQ(result.kind, Kind::networkError);
    EXPECT_EQ(result.detail, "Connection refused");
}

TEST_F(UpdaterCheck, TheFeedAddressComesFromTheEnvironmentAtEveryCheck)
{
    qunsetenv("TALVEX_UPDATE_FEED_URL");
    EXPECT_EQ(Updater::feedUrl(), QUrl(Updater::kDefaultFeedUrl));

    HttpFake other;
    other.enqueue(xml(200, feedOf({"0.3.0"})));
    pointAt(other.url().toString() + "/beta/feed.rss");
    EXPECT_EQ(check().kind, Kind::updateAvailable);
    ASSERT_EQ(other.requests().size(), 1);
    EXPECT_EQ(other.requests().first().path, "/beta/feed.rss");
    EXPECT_TRUE(fake.requests().isEmpty());

    // A feed file on disk, for trying a release before it is published.
    QTemporaryDir dir;
    QFile file(dir.filePath("appcast.xml"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(feedOf({"0.4.0"}));
    file.close();
    pointAt(QUrl::fromLocalFile(file.fileName()).toString());
    const UpdateCheckResult local = check();
    ASSERT_EQ(local.kind, Kind::updateAvailable) << local.detail.toStdString();
    EXPECT_EQ(local.newest->version->text(), "0.4.0");
}

TEST_F(UpdaterCheck, AnUnreadableRunningVersionIsSaidBeforeAnyRequest)
{
    for (const char* running : {"", "dev"}) {
        QCoreApplication::setApplicationVersion(running);
        const UpdateCheckResult result = check();
        EXPECT_EQ(result.kind, Kind::unreadableRunningVersion);
        EXPECT_EQ(result.runningVersion, running);
    }
    EXPECT_TRUE(fake.requests().isEmpty());
}
