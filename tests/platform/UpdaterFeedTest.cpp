#include <gtest/gtest.h>

#include "platform/AppcastFeed.h"
#include "support/QStringPrinter.h"

namespace {

constexpr auto kHeader =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">\n"
    "<channel><title>Talvex</title>\n";
constexpr auto kFooter = "</channel></rss>\n";

QByteArray feed(const QByteArray& items)
{
    return kHeader + items + kFooter;
}

QByteArray item(const QByteArray& version)
{
    return "<item><title>Talvex " + version + "</title>"
           "<enclosure url=\"https://talvex.app/dl/" + version + ".tar.gz\" sparkle:version=\"" + version + "\"/>"
           "</item>\n";
}

QString newestVersion(const QByteArray& xml)
{
    const auto parsed = AppcastFeed::parse(xml);
    if (!parsed.ok())
        return "error: " + parsed.error();
    const std::optional<AppcastItem> newest = parsed.value().newest();
    return newest ? newest->version->text() : "none";
}

}  // namespace

TEST(UpdaterFeed, ReadsEveryFieldOfAnItem)
{
    const auto parsed = AppcastFeed::parse(feed(
        "<item>\n"
        "  <title> Talvex 0.2.0 </title>\n"
        "  <link>https://talvex.app/releases/0.2.0</link>\n"
        "  <description><![CDATA[<h2>New</h2><p>Faster.</p>]]></description>\n"
        "  <pubDate>Mon, 05 Feb 2024 10:30:00 +0100</pubDate>\n"
        "  <sparkle:releaseNotesLink>https://talvex.app/notes/0.2.0.html</sparkle:releaseNotesLink>\n"
        "  <enclosure url=\"https://talvex.app/dl/talvex-0.2.0.tar.gz\" length=\"1234567\"\n"
        "             type=\"application/x-gzip\" sparkle:version=\"202\"\n"
        "             sparkle:shortVersionString=\"0.2.0\" sparkle:edSignature=\"abc=\"/>\n"
        "</item>\n"));
    ASSERT_TRUE(parsed.ok()) << parsed.error().toStdString();
    ASSERT_EQ(parsed.value().items().size(), 1);
    const AppcastItem& it = parsed.value().items().first();
    EXPECT_EQ(it.title, "Talvex 0.2.0");
    EXPECT_EQ(it.link, QUrl("https://talvex.app/releases/0.2.0"));
    EXPECT_EQ(it.published, QDateTime(QDate(2024, 2, 5), QTime(9, 30), Qt::UTC));
    EXPECT_EQ(it.releaseNotesUrl, QUrl("https://talvex.app/notes/0.2.0.html"));
    EXPECT_EQ(it.downloadUrl, QUrl("https://talvex.app/dl/talvex-0.2.0.tar.gz"));
    EXPECT_EQ(it.length, 1234567);
    EXPECT_EQ(it.type, "application/x-gzip");
    // The display version, not the build number: the running version is a display version.
    ASSERT_TRUE(it.version);
    EXPECT_EQ(it.version->text(), "0.2.0");
}

TEST(UpdaterFeed, FindsTheVersionWhereverTheFeedPutsIt)
{
    const std::pair<QByteArray, const char*> cases[] = {
        {"<enclosure url=\"u\" sparkle:version=\"1.1\"/>", "1.1"},
        {"<enclosure url=\"u\" sparkle:shortVersionString=\"1.2\"/>", "1.2"},
        {"<sparkle:version>1.3</sparkle:version><enclosure url=\"u\"/>", "1.3"},
        {"<sparkle:shortVersionString>1.4</sparkle:shortVersionString>"
         "<sparkle:version>104</sparkle:version>", "1.4"},
        // A build number that is no version gives way to the display version.
        {"<enclosure url=\"u\" sparkle:version=\"1.5\" sparkle:shortVersionString=\"latest\"/>", "1.5"},
        // The enclosure's attribute before the item's element.
        {"<sparkle:version>1.0</sparkle:version><enclosure url=\"u\" sparkle:version=\"1.6\"/>", "1.6"},
        {"<enclosure url=\"u\" length=\"many\" sparkle:version=\" 1.7 \"/>", "1.7"},
    };
    for (const auto& [content, expected] : cases) {
        SCOPED_TRACE(content.toStdString());
        EXPECT_EQ(newestVersion(feed("<item>" + content + "</item>")), expected);
    }
}

TEST(UpdaterFeed, TheHighestVersionWinsWhereverItStands)
{
    EXPECT_EQ(newestVersion(feed(item("0.9.0") + item("0.10.0") + item("0.2.0"))), "0.10.0");
    EXPECT_EQ(newestVersion(feed(item("0.3.0") + item("1.0.0") + item("1.0.0-beta"))), "1.0.0");
    // Items without a readable version are passed over, not fatal.
    EXPECT_EQ(newestVersion(feed("<item><title>News</title></item>" + item("0.4.0")
                                 + "<item><enclosure url=\"u\" sparkle:version=\"soon\"/></item>")),
              "0.4.0");
    // Of equal versions, the first.
    const auto parsed = AppcastFeed::parse(feed(
        "<item><title>first</title><enclosure sparkle:version=\"2.0\"/></item>"
        "<item><title>second</title><enclosure sparkle:version=\"2.0.0\"/></item>"));
    ASSERT_TRUE(parsed.ok());
    EXPECT_EQ(parsed.value().newest()->title, "first");
}

TEST(UpdaterFeed, LiberalInWhatItReads)
{
    // The sparkle prefix without its namespace declaration, unknown elements
    // and attributes, nested markup in a title, a second enclosure.
    const QByteArray xml =
        "<rss><channel><extra><item><title>not in the channel</title></item></extra>"
        "<item><title>Talvex <b>0.5</b></title><unknown a=\"1\"><deep/></unknown>"
        "<enclosure url=\"https://a/first\" sparkle:version=\"0.5.0\"/>"
        "<enclosure url=\"https://a/second\" sparkle:version=\"9.0\"/></item>"
        "</channel></rss>";
    const auto parsed = AppcastFeed::parse(xml);
    ASSERT_TRUE(parsed.ok()) << parsed.error().toStdString();
    ASSERT_EQ(parsed.value().items().size(), 1);
    const AppcastItem& it = parsed.value().items().first();
    EXPECT_EQ(it.title, "Talvex 0.5");
    EXPECT_EQ(it.downloadUrl, QUrl("https://a/first"));
    EXPECT_EQ(it.version->text(), "0.5.0");
    EXPECT_FALSE(it.published.isValid());
    EXPECT_FALSE(it.length.has_value());

    // Relative addresses against the feed's own.
    const auto relative = AppcastFeed::parse(
        feed("<item><link>/releases/1.0</link><enclosure url=\"dl/talvex-1.0.tar.gz\" sparkle:version=\"1.0\"/></item>"),
        QUrl("https://talvex.app/feeds/appcast.xml"));
    ASSERT_TRUE(relative.ok());
    EXPECT_EQ(relative.value().items().first().downloadUrl, QUrl("https://talvex.app/feeds/dl/talvex-1.0.tar.gz"));
    EXPECT_EQ(relative.value().items().first().link, QUrl("https://talvex.app/releases/1.0"));
}

TEST(UpdaterFeed, FeedsWithoutAnyVersion)
{
    for (const QByteArray& xml : {feed(""), feed("<item><title>Talvex</title><enclosure url=\"u\"/></item>"),
                                  QByteArray("<rss version=\"2.0\"/>")}) {
        const auto parsed = AppcastFeed::parse(xml);
        ASSERT_TRUE(parsed.ok()) << xml.toStdString();
        EXPECT_FALSE(parsed.value().newest().has_value()) << xml.toStdString();
    }
}

TEST(UpdaterFeed, BadXmlIsAnErrorNeverACrash)
{
    const std::pair<QByteArray, const char*> cases[] = {
        {"", "Premature end of document"},
        {"not xml at all", ""},
        {feed(item("1.0")).chopped(12), "Premature end of document"},   // cut off
        {"<rss><channel><item></channel></rss>", ""},                      // mismatched tags
        {"<rss><channel>" + item("1.0") + "</channel></rss><rss/>", ""},   // a second root
        {"<rss><channel><item><title>&bogus;</title></item></channel></rss>", ""},
        {"<rss><channel><item>\xff\xfe</item></channel></rss>", ""},     // not UTF-8
        // Exponential entity expansion must stop, not eat the memory.
        {"<?xml version=\"1.0\"?><!DOCTYPE rss [<!ENTITY a \"aaaaaaaaaa\">"
         "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">"
         "<!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\"><!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\">"
         "<!ENTITY f \"&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;\"><!ENTITY g \"&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;\">]>"
         "<rss><channel><item><title>&g;</title></item></channel></rss>", ""},
    };
    for (const auto& [xml, message] : cases) {
        SCOPED_TRACE(xml.left(60).toStdString());
        const auto parsed = AppcastFeed::parse(xml);
        ASSERT_FALSE(parsed.ok());
        EXPECT_TRUE(parsed.error().contains(message)) << parsed.error().toStdString();
        EXPECT_TRUE(parsed.error().contains("(line ")) << parsed.error().toStdString();
    }

    const auto html = AppcastFeed::parse("<html><body>Sign in to the network</body></html>");
    ASSERT_FALSE(html.ok());
    EXPECT_EQ(html.error(), "not an RSS feed (its root element is <html>)");
}
