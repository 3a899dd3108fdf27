#include <QBuffer>
#include <QElapsedTimer>
#include <QImage>
#include <QMimeData>
#include <gmock/gmock.h>

#include "session/TextInjectorFixture.h"
#include "support/EventLoop.h"

using testing::Contains;

namespace {

QImage sampleImage()
{
    QImage image(4, 3, QImage::Format_ARGB32);
    image.fill(QColor(10, 200, 30));
    image.setPixelColor(1, 2, QColor(255, 0, 0));
    return image;
}

// Text, rich text, a file list, an image and a format only one program knows.
QMimeData* richContent()
{
    auto* data = new QMimeData;
    data->setText("old plain");
    data->setHtml("<b>old</b> rich");
    data->setUrls({QUrl::fromLocalFile("/tmp/a file.txt"), QUrl::fromLocalFile("/tmp/b.png")});
    data->setImageData(sampleImage());
    data->setData("application/x-talvex-private", QByteArray("\x00\x01\x02raw", 6));
    return data;
}

}

// Pastes through the clipboard: the editor's field cannot be read.
class TextInjectorClipboard : public TextInjectorFixture
{
protected:
    static constexpr int kPastLongEnoughMs = int(3 * kRestoreDelay.count());

    bool paste(const QString& text)
    {
        captureEditorThenSwitchAway()->value.reset();
        return injector->inject(text);
    }

    bool waitForClipboardText(const QString& text)
    {
        return waitUntil([&] { return clipboard().text() == text; }, 3000);
    }
};

TEST_F(TextInjectorClipboard, PutsBackEveryFormatTheClipboardHeld)
{
    clipboard().setMimeData(richContent());

    ASSERT_TRUE(paste("dictated"));
    EXPECT_EQ(keys->clipboardAtPaste, QStringList{"dictated"});
    ASSERT_TRUE(waitForClipboardText("old plain"));

    const QMimeData* restored = clipboard().mimeData();
    ASSERT_TRUE(restored);
    EXPECT_EQ(restored->html(), "<b>old</b> rich");
    EXPECT_EQ(restored->urls(), (QList<QUrl>{QUrl::fromLocalFile("/tmp/a file.txt"),
                                             QUrl::fromLocalFile("/tmp/b.png")}));
    EXPECT_EQ(restored->data("application/x-talvex-private"), QByteArray("\x00\x01\x02raw", 6));
    ASSERT_TRUE(restored->hasImage());
    EXPECT_EQ(qvariant_cast<QImage>(restored->imageData()).convertToFormat(QImage::Format_ARGB32),
              sampleImage());
}

TEST_F(TextInjectorClipboard, PutsBackAnImageThatWasTheOnlyContent)
{
    clipboard().setImage(sampleImage());

    ASSERT_TRUE(paste("dictated"));
    ASSERT_TRUE(waitUntil([&] { return clipboard().mimeData()->hasImage(); }, 3000));

    EXPECT_EQ(clipboard().image().convertToFormat(QImage::Format_ARGB32), sampleImage());
    EXPECT_FALSE(clipboard().mimeData()->hasText());
}

TEST_F(TextInjectorClipboard, KeepsWhatTheUserCopiedAfterThePaste)
{
    const struct {
        const char* name;
        void (*copy)(QClipboard&);
        bool (*stillThere)(const QClipboard&);
    } copies[] = {
        {"text", [](QClipboard& c) { c.setText("copied meanwhile"); },
         [](const QClipboard& c) { return c.text() == "copied meanwhile"; }},
        {"image", [](QClipboard& c) { c.setImage(sampleImage()); },
         [](const QClipboard& c) { return c.mimeData()->hasImage() && !c.mimeData()->hasText(); }},
    };
    for (const auto& c : copies) {
        SCOPED_TRACE(c.name);
        clipboard().setText("before");
        ASSERT_TRUE(paste("dictated"));
        c.copy(clipboard());

        spinFor(kPastLongEnoughMs);

        EXPECT_TRUE(c.stillThere(clipboard()));
    }
}

TEST_F(TextInjectorClipboard, LeavesThePastedTextWhenTheClipboardWasEmpty)
{
    ASSERT_TRUE(paste("dictated"));
    spinFor(kPastLongEnoughMs);
    EXPECT_EQ(clipboard().text(), "dictated");
}

TEST_F(TextInjectorClipboard, WaitsForTheRestoreDelayBeforePuttingBack)
{
    clipboard().setText("before");
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(paste("dictated"));
    EXPECT_EQ(clipboard().text(), "dictated");
    // The target reads the clipboard only after the paste's key events arrive.
    ASSERT_TRUE(waitForClipboardText("before"));
    // A coarse timer may fire up to 5 % early, never earlier.
    EXPECT_GE(clock.elapsed(), kRestoreDelay.count() * 95 / 100);
}

TEST_F(TextInjectorClipboard, SecondPasteBeforeTheRestoreStillPutsBackTheUsersContent)
{
    clipboard().setText("the user's");
    ASSERT_TRUE(paste("first"));
    ASSERT_TRUE(paste("second"));
    EXPECT_EQ(keys->clipboardAtPaste, (QStringList{"first", "second"}));

    ASSERT_TRUE(waitForClipboardText("the user's"));
    spinFor(kPastLongEnoughMs);
    EXPECT_EQ(clipboard().text(), "the user's");
}

TEST_F(TextInjectorClipboard, FailedPastePutsTheContentBackAtOnce)
{
    clipboard().setMimeData(richContent());
    keys->available = false;

    EXPECT_FALSE(paste("dictated"));

    EXPECT_EQ(clipboard().text(), "old plain");
    EXPECT_EQ(clipboard().mimeData()->html(), "<b>old</b> rich");
}

TEST_F(TextInjectorClipboard, CopyReplacesTheClipboardAndCancelsAPendingRestore)
{
    clipboard().setText("before");
    ASSERT_TRUE(paste("dictated"));

    injector->copyToClipboard("dictated");   // the same text, copied on purpose
    spinFor(kPastLongEnoughMs);

    EXPECT_EQ(clipboard().text(), "dictated");
    EXPECT_THAT(logMessages(), Contains("TextInjector: copied 8 characters to clipboard"));
}
