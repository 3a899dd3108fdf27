#include "ui/FittedTextView.h"

#include <QAbstractTextDocumentLayout>
#include <cmath>

FittedTextView::FittedTextView(int maximumHeight, QWidget* parent)
    : QTextEdit(parent), m_maximumHeight(maximumHeight)
{
    setReadOnly(true);
    setAcceptRichText(false);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    document()->setDocumentMargin(kPadding);
    // The layout knows the text's height only at the width it is given, so
    // the height follows every new layout of the text.
    connect(document()->documentLayout(), &QAbstractTextDocumentLayout::documentSizeChanged, this,
            &FittedTextView::fitHeight);
    fitHeight();
}

void FittedTextView::setFullText(const QString& text)
{
    if (text == toPlainText())
        return;
    setPlainText(text);
}

void FittedTextView::fitHeight()
{
    // The document's height includes its margin, the padding above and below.
    const int needed = int(std::ceil(document()->size().height())) + 2 * frameWidth();
    setFixedHeight(std::min(needed, m_maximumHeight));
}
