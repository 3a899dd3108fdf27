// The clipboard snapshot against another program holding the X clipboard:
// pseudo-targets are never asked for, a format that never comes and one
// beyond the size limit are left out, and the rest comes back whole.
#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QMimeData>
#include <QProcess>
#include <gmock/gmock.h>

#include "platform/x11/X11ClipboardReader.h"
#include "platform/x11/X11Connection.h"
#include "session/ClipboardSnapshot.h"
#include "support/EventLoop.h"
#include "support/HangGuard.h"
#include "support/LogCapture.h"
#include "support/QStringPrinter.h"

using namespace std::chrono_literals;
using testing::Contains;
using testing::Not;

namespace {

// tests/tools/ClipboardOwner.cpp, holding the clipboard with `formats`.
class ClipboardOwner
{
public:
    explicit ClipboardOwner(const QStringList& formats)
    {
        m_process.start(TALVEX_CLIPBOARD_OWNER, formats);
        m_ready = m_process.waitForReadyRead(5000) && m_process.readLine().trimmed() == "ready";
    }
    ~ClipboardOwner()
    {
        m_process.kill();
        m_process.waitForFinished();
    }
    bool ready() const { return m_ready; }

    // The targets asked for so far.
    QStringList asked()
    {
        m_process.waitForReadyRead(50);
        while (m_process.canReadLine())
            m_lines << QString::fromUtf8(m_process.readLine().trimmed()).remove(QStringLiteral("asked "));
        return m_lines;
    }

private:
    QProcess m_process;
    bool m_ready = false;
    QStringList m_lines;
};

QByteArray pattern(int size)
{
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = char(i % 251);
    return data;
}

class ClipboardSnapshotOnX11 : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(X11Connection::fromQt()) << "needs an X display"; }
};

TEST_F(ClipboardSnapshotOnX11, KeepsEveryFormatThatComesAndLeavesOutOneThatNeverDoes)
{
    HangGuard guard(20s, "the snapshot of a clipboard with a silent format");
    ClipboardOwner owner({"UTF8_STRING=text:hello w\u00f6rld", "STRING=text:hello", "text/html=text:<b>hi</b>",
                          "application/x-silent=silent", "image/png=incr:300000"});
    ASSERT_TRUE(owner.ready());
    QClipboard& clipboard = *QGuiApplication::clipboard();
    ASSERT_TRUE(waitUntil([&] { return !clipboard.ownsClipboard(); }));
    X11ClipboardReader reader;
    LogCapture log;

    const ClipboardSnapshot snapshot = ClipboardSnapshot::take(clipboard, &reader, log.logger);

    EXPECT_THAT(log.lines(), testing::ElementsAre("WARN TextInjector: clipboard format left out: "
                                                  "application/x-silent: no answer within 100 ms"));
    const QStringList asked = owner.asked();
    for (const char* pseudo : {"MULTIPLE", "TIMESTAMP", "SAVE_TARGETS"})
        EXPECT_THAT(asked, Not(Contains(pseudo)));
    EXPECT_EQ(asked.count("TARGETS"), 1);
    EXPECT_THAT(asked, Not(Contains("STRING"))) << "one text format stands for all";

    // Put back, the clipboard offers what the owner had.
    snapshot.restore(clipboard);
    const QMimeData* data = clipboard.mimeData();
    ASSERT_TRUE(data);
    EXPECT_EQ(data->text(), QString::fromUtf8("hello w\u00f6rld"));
    EXPECT_EQ(data->data("text/html"), "<b>hi</b>");
    EXPECT_EQ(data->data("image/png"), pattern(300000)) << "read through the incremental protocol";
    EXPECT_FALSE(data->hasFormat("application/x-silent"));
}

TEST_F(ClipboardSnapshotOnX11, LeavesOutWhatExceedsTheSizeLimitAndKeepsTheRest)
{
    HangGuard guard(20s, "the read of a clipboard with large formats");
    ClipboardOwner owner({"application/x-big=bytes:5000", "text/html=text:<i>x</i>",
                          "application/x-huge=incr:200000", "application/x-small=bytes:100"});
    ASSERT_TRUE(owner.ready());
    ASSERT_TRUE(waitUntil([&] { return !QGuiApplication::clipboard()->ownsClipboard(); }));
    X11ClipboardReader reader;

    const std::optional<ClipboardContent> content = reader.read({.timeout = 2s, .answerTimeout = 1s, .maxBytes = 4096});

    ASSERT_TRUE(content);
    QStringList kept;
    for (const auto& [format, bytes] : content->formats)
        kept << format + ' ' + QString::number(bytes.size());
    EXPECT_EQ(kept, (QStringList{"text/html 8", "application/x-small 100"}));
    EXPECT_EQ(content->leftOut, (QStringList{"application/x-big: larger than the 4096 bytes left to keep",
                                             "application/x-huge: larger than the 4088 bytes left to keep"}));
}

TEST_F(ClipboardSnapshotOnX11, AnEmptyClipboardGivesNothingAndLogsNothing)
{
    // Our own clipboard, emptied and then given up: no owner at all.
    QClipboard& clipboard = *QGuiApplication::clipboard();
    clipboard.setText(QStringLiteral("ours"));
    clipboard.clear();
    ASSERT_TRUE(waitUntil([&] { return !clipboard.ownsClipboard(); }));
    X11ClipboardReader reader;

    const std::optional<ClipboardContent> content = reader.read({});

    ASSERT_TRUE(content);
    EXPECT_TRUE(content->formats.isEmpty());
    EXPECT_TRUE(content->leftOut.isEmpty());
}

}
