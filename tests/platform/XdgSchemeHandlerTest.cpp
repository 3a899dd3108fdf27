#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <functional>
#include <gtest/gtest.h>

#include "platform/XdgSchemeHandler.h"
#include "support/QStringPrinter.h"
#include "support/RunTask.h"
#include "support/TempHome.h"

using Outcome = XdgSchemeHandler::Outcome;

namespace {

// The real xdg-mime on a private home: what it names as the handler.
QString registeredHandler()
{
    QProcess query;
    query.start("xdg-mime", {"query", "default", XdgSchemeHandler::kMimeType});
    query.waitForFinished(10000);
    return QString::fromLocal8Bit(query.readAllStandardOutput()).trimmed();
}

void writeFile(const QString& path, const QByteArray& text, bool executable = false)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text);
    file.close();
    if (executable)
        file.setPermissions(file.permissions() | QFile::ExeOwner);
}

QString entryNaming(const QString& program)
{
    return "[Desktop Entry]\nType=Application\nName=Someone\nExec=" + program
        + " %u\nMimeType=x-scheme-handler/talvex;\n";
}

void makeDefault(const QString& entry)
{
    ASSERT_EQ(QProcess::execute("xdg-mime", {"default", entry, XdgSchemeHandler::kMimeType}), 0);
}

}  // namespace

class XdgSchemeHandlerTest : public testing::Test
{
public:
    QString applications() const { return home.dataHome() + "/applications"; }
    XdgSchemeHandlerSetup setup() const
    {
        XdgSchemeHandlerSetup s;
        s.program = program;
        return s;
    }

    TempHome home;
    // A program that exists.
    QString program = home.path() + "/apps/talvex";
    void SetUp() override { writeFile(program, "#!/bin/sh\n", true); }
};

TEST_F(XdgSchemeHandlerTest, RegistersThisProgramWhenNoUsableHandlerIsThere)
{
    struct Case
    {
        const char* name;
        std::function<void(XdgSchemeHandlerTest&)> arrange;
    };
    const Case cases[] = {
        {"no handler at all", [](XdgSchemeHandlerTest&) {}},
        {"our entry of a program that was removed",
         [](XdgSchemeHandlerTest& t) {
             writeFile(t.applications() + "/talvex.desktop", entryNaming("/opt/gone/talvex").toUtf8());
             makeDefault("talvex.desktop");
         }},
        {"another entry naming a program not on the path",
         [](XdgSchemeHandlerTest& t) {
             writeFile(t.applications() + "/old.desktop", entryNaming("no-such-talvex-program").toUtf8());
             makeDefault("old.desktop");
         }},
        {"a registered entry that no longer exists", [](XdgSchemeHandlerTest&) { makeDefault("vanished.desktop"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QDir(applications()).removeRecursively();
        QFile::remove(home.configHome() + "/mimeapps.list");
        c.arrange(*this);

        XdgSchemeHandler handler(setup());
        const auto outcome = runTask(handler.ensureRegistered(), 20000);
        ASSERT_TRUE(outcome.has_value());
        ASSERT_TRUE(outcome->ok()) << outcome->error().toStdString();
        EXPECT_EQ(outcome->value(), Outcome::registered);
        EXPECT_EQ(handler.desktopFilePath(), applications() + "/talvex.desktop");
        EXPECT_EQ(registeredHandler(), "talvex.desktop");

        QFile entry(applications() + "/talvex.desktop");
        ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(entry.readAll());
        EXPECT_TRUE(text.contains("\nExec=" + program + " %u\n")) << text.toStdString();
        EXPECT_TRUE(text.contains("\nMimeType=x-scheme-handler/talvex;\n")) << text.toStdString();

        // Now usable: the next sign-in changes nothing.
        const auto again = runTask(XdgSchemeHandler(setup()).ensureRegistered(), 20000);
        ASSERT_TRUE(again && again->ok());
        EXPECT_EQ(again->value(), Outcome::alreadyRegistered);
    }
}

TEST_F(XdgSchemeHandlerTest, AWorkingHandlerOfAnotherInstallationIsLeftAlone)
{
    const QByteArray packaged = entryNaming("sh").toUtf8();   // on the path
    writeFile(applications() + "/packaged-talvex.desktop", packaged);
    makeDefault("packaged-talvex.desktop");

    const auto outcome = runTask(XdgSchemeHandler(setup()).ensureRegistered(), 20000);
    ASSERT_TRUE(outcome && outcome->ok()) << (outcome ? outcome->error().toStdString() : "no result");
    EXPECT_EQ(outcome->value(), Outcome::alreadyRegistered);
    EXPECT_EQ(registeredHandler(), "packaged-talvex.desktop");
    EXPECT_FALSE(QFile::exists(applications() + "/talvex.desktop"));
}

TEST_F(XdgSchemeHandlerTest, AnXdgMimeThatCannotRunOrFailsIsReportedAsSuch)
{
    const QString failing = home.path() + "/failing-xdg-mime";
    writeFile(failing, "#!/bin/sh\necho 'no desktop database' >&2\nexit 4\n", true);
    // Answers the query, refuses to set a default.
    const QString refusing = home.path() + "/refusing-xdg-mime";
    writeFile(refusing, "#!/bin/sh\n[ \"$1\" = query ] && exit 0\nexit 5\n", true);

    struct Case
    {
        QString xdgMime;
        QString error;
    };
    const Case cases[] = {
        {home.path() + "/missing-xdg-mime",
         home.path() + "/missing-xdg-mime query default x-scheme-handler/talvex could not be run (no such program); "
                       "is xdg-utils installed?"},
        {failing, failing + " query default x-scheme-handler/talvex failed with exit code 4: no desktop database"},
        {refusing, refusing + " default talvex.desktop x-scheme-handler/talvex failed with exit code 5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.xdgMime.toStdString());
        XdgSchemeHandlerSetup s = setup();
        s.xdgMime = c.xdgMime;
        const auto outcome = runTask(XdgSchemeHandler(s).ensureRegistered(), 20000);
        ASSERT_TRUE(outcome.has_value());
        ASSERT_FALSE(outcome->ok());
        EXPECT_TRUE(outcome->error().startsWith(c.error)) << outcome->error().toStdString();
    }
}
