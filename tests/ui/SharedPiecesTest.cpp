// The small pieces the screens share: the time text, the plain label with its
// line limit, the tinted symbols and the plain tooltips.
#include <QAbstractTextDocumentLayout>
#include <QHBoxLayout>
#include <QImage>
#include <QTextDocument>
#include <gtest/gtest.h>

#include "support/QStringPrinter.h"
#include "ui/ElapsedTime.h"
#include "ui/PlainLabel.h"
#include "ui/PlainText.h"
#include "ui/Symbol.h"

TEST(ElapsedTime, WholeSecondsAsMinutesAndSecondsWithoutHours)
{
    const std::pair<double, const char*> cases[] = {
        {0.0, "00:00"},    {0.9, "00:00"},     {59.99, "00:59"},    {61.5, "01:01"},
        {65.0, "01:05"},   {3600.0, "60:00"},  {3725.0, "62:05"},   {6000.0, "100:00"},
        {-1.0, "00:00"},   {std::numeric_limits<double>::quiet_NaN(), "00:00"},
    };
    for (const auto& [seconds, expected] : cases)
        EXPECT_EQ(ElapsedTime::formatted(seconds), QString::fromLatin1(expected)) << seconds;
}

TEST(PlainLabel, ShowsMarkupAsItStands)
{
    for (const char* hostile : {"<b>x</b>", "<img src=x>", "<a href=x>y</a>"}) {
        PlainLabel label(0);
        label.setFullText(QString::fromLatin1(hostile));
        EXPECT_EQ(label.textFormat(), Qt::PlainText);
        EXPECT_EQ(label.text(), QString::fromLatin1(hostile));
    }
}

TEST(PlainLabel, CutsToItsLinesWithAnEllipsis)
{
    const QString longText = QString(QStringLiteral("word ")).repeated(200).trimmed();
    struct Case
    {
        int lines;
        QString text;
        bool elided;
    };
    const Case cases[] = {
        {1, QStringLiteral("short"), false},
        {1, longText, true},
        {1, QStringLiteral("two\nlines"), false},   // one line: the break is a space
        {3, longText, true},
        {3, QStringLiteral("one\ntwo\nthree"), false},
        {3, QStringLiteral("one\ntwo\nthree\nfour"), true},
        {0, longText, false},
    };
    for (const Case& c : cases) {
        PlainLabel label(c.lines);
        label.resize(200, 400);
        label.setFullText(c.text);
        EXPECT_EQ(label.fullText(), c.text);
        EXPECT_EQ(label.isElided(), c.elided) << c.lines << " " << c.text.left(20).toStdString();
        if (c.elided) {
            EXPECT_TRUE(label.text().endsWith(QStringLiteral("…")));
        }
        if (c.lines > 1 && c.elided) {
            // The shown text takes no more lines than allowed at this width.
            QTextDocument shown;
            shown.setDefaultFont(label.font());
            shown.setTextWidth(label.contentsRect().width());
            shown.setPlainText(label.text());
            shown.setDocumentMargin(0);
            EXPECT_LE(shown.documentLayout()->documentSize().height(),
                      QFontMetrics(label.font()).lineSpacing() * c.lines + 1);
        }
    }
}

TEST(PlainLabel, FitsAgainWhenItsWidthChanges)
{
    PlainLabel label(1);
    label.resize(60, 20);
    label.show();
    label.setFullText(QStringLiteral("a sentence much wider than sixty pixels"));
    ASSERT_TRUE(label.isElided());
    label.resize(1000, 20);
    EXPECT_FALSE(label.isElided());
}

// Cut while its row was narrow, a label gets its whole text back once the
// row is wide again: what it asks of the layout is its whole text's width.
TEST(PlainLabel, ALayoutWidensItAgainAfterACut)
{
    QWidget row;
    auto* layout = new QHBoxLayout(&row);
    auto* label = new PlainLabel(1);
    layout->addWidget(label);
    layout->addStretch(1);
    label->setFullText(QStringLiteral("a sentence much wider than sixty pixels"));
    row.resize(60, 30);
    row.show();
    layout->activate();
    ASSERT_TRUE(label->isElided());

    row.resize(1000, 30);
    layout->activate();
    EXPECT_FALSE(label->isElided());
    EXPECT_EQ(label->text(), label->fullText());
}

TEST(Symbols, EveryOneDrawsInItsColourOnATransparentGround)
{
    for (int s = int(Symbol::micFill); s <= int(Symbol::pencil); ++s) {
        const QImage image =
            Symbols::pixmap(Symbol(s), QColor(10, 200, 30), 24).toImage().convertToFormat(QImage::Format_ARGB32);
        int drawn = 0;
        bool otherColour = false;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor pixel = image.pixelColor(x, y);
                if (pixel.alpha() == 0)
                    continue;
                ++drawn;
                // Edge pixels are partly transparent; their colour is rounded.
                if (pixel.alpha() == 255)
                    otherColour = otherColour || pixel.red() != 10 || pixel.green() != 200 || pixel.blue() != 30;
            }
        }
        EXPECT_GT(drawn, 20) << "symbol " << s << " drew nothing";
        EXPECT_LT(drawn, 24 * 24) << "symbol " << s << " has no ground";
        EXPECT_FALSE(otherColour) << "symbol " << s;
    }
}

TEST(PlainText, ToolTipShowsMarkupLiterally)
{
    for (const char* hostile : {"<b>x</b>", "<img src=x>", "<a href=x>y</a>"}) {
        QTextDocument shown;
        shown.setHtml(PlainText::toolTip(QString::fromLatin1(hostile)));
        EXPECT_EQ(shown.toPlainText(), QString::fromLatin1(hostile));
    }
    EXPECT_TRUE(PlainText::toolTip(QString()).isEmpty());
}
