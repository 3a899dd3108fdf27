#include "ui/Symbol.h"

#include <QGuiApplication>
#include <QIconEngine>
#include <QLabel>
#include <QPainter>
#include <QSvgRenderer>

namespace {

const char* fileName(Symbol symbol)
{
    switch (symbol) {
    case Symbol::micFill: return "mic.fill";
    case Symbol::pauseFill: return "pause.fill";
    case Symbol::checkmarkCircleFill: return "checkmark.circle.fill";
    case Symbol::docOnDoc: return "doc.on.doc";
    case Symbol::xmark: return "xmark";
    case Symbol::textCursor: return "text.cursor";
    case Symbol::exclamationmarkTriangleFill: return "exclamationmark.triangle.fill";
    case Symbol::trash: return "trash";
    case Symbol::folder: return "folder";
    case Symbol::waveform: return "waveform";
    case Symbol::recordCircle: return "record.circle";
    case Symbol::arrowClockwiseCircle: return "arrow.clockwise.circle";
    case Symbol::xmarkCircleFill: return "xmark.circle.fill";
    case Symbol::arrowClockwise: return "arrow.clockwise";
    case Symbol::textBookClosed: return "text.book.closed";
    case Symbol::plusCircleFill: return "plus.circle.fill";
    case Symbol::pencil: return "pencil";
    case Symbol::circle: return "circle";
    }
    return "";
}

// Draws the symbol at whatever size the icon is asked for, so it stays sharp.
class SymbolEngine : public QIconEngine
{
public:
    SymbolEngine(Symbol symbol, QColor colour) : m_symbol(symbol), m_colour(colour) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override
    {
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        QColor colour = m_colour;
        if (mode == QIcon::Disabled)
            colour.setAlphaF(colour.alphaF() * 0.4f);
        const int side = std::min(rect.width(), rect.height());
        const QRect square(rect.x() + (rect.width() - side) / 2, rect.y() + (rect.height() - side) / 2,
                           side, side);
        painter->drawPixmap(square, Symbols::pixmap(m_symbol, colour, side, ratio));
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override
    {
        QPixmap pixmap(size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        paint(&painter, QRect(QPoint(0, 0), size), mode, state);
        return pixmap;
    }

    QIconEngine* clone() const override { return new SymbolEngine(m_symbol, m_colour); }

private:
    Symbol m_symbol;
    QColor m_colour;
};

}

namespace Symbols {

QPixmap pixmap(Symbol symbol, const QColor& colour, int pixels, qreal ratio)
{
    const int side = std::max(1, qRound(pixels * ratio));
    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    QSvgRenderer(QStringLiteral(":/symbols/%1.svg").arg(QLatin1String(fileName(symbol))))
        .render(&painter, QRectF(0, 0, side, side));
    // Keep the shape, take the colour.
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(pixmap.rect(), colour);
    painter.end();
    pixmap.setDevicePixelRatio(ratio);
    return pixmap;
}

QIcon icon(Symbol symbol, const QColor& colour)
{
    return QIcon(new SymbolEngine(symbol, colour));
}

QLabel* label(Symbol symbol, const QColor& colour, int pixels, const QString& name, QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    const qreal ratio = parent ? parent->devicePixelRatioF() : qApp->devicePixelRatio();
    label->setPixmap(pixmap(symbol, colour, pixels, ratio));
    label->setFixedSize(pixels, pixels);
    return label;
}

}
