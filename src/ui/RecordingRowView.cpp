#include "ui/RecordingRowView.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

#include "store/LocaleManager.h"
#include "ui/PlainText.h"
#include "ui/Style.h"

namespace {

struct StatusLook
{
    Symbol symbol;
    QColor colour;
};

StatusLook statusLook(RecordingStatus status)
{
    switch (status) {
    case RecordingStatus::recording:
    case RecordingStatus::paused: return {Symbol::recordCircle, Style::red};
    case RecordingStatus::recorded:
    case RecordingStatus::transcribed: return {Symbol::arrowClockwiseCircle, Style::orange};
    case RecordingStatus::completed: return {Symbol::checkmarkCircleFill, Style::green};
    case RecordingStatus::failed: return {Symbol::xmarkCircleFill, Style::red};
    }
    return {Symbol::xmarkCircleFill, Style::red};
}

constexpr int kLengthGap = 6;

}  // namespace

RecordingRowView::RecordingRowView(const RecordingListModel& model, QObject* parent)
    : QStyledItemDelegate(parent)
    , m_model(model)
    , m_timeFont(Style::font(12, QFont::Medium))
    , m_captionFont(Style::font(Style::TextSize::caption))
    , m_textFont(Style::font(11))
{
}

RecordingRowView::Slot RecordingRowView::slot(const Recording& recording) const
{
    if (!RecordingListModel::isUnfinished(recording.status))
        return Slot::none;
    return m_model.isFromOtherDevice(recording) ? Slot::note : Slot::button;
}

RecordingRowView::Geometry RecordingRowView::geometry(
    const QRect& rect, const Recording& recording,
    const std::optional<RecordingListModel::Actions>& actions) const
{
    Geometry g;
    const int top = rect.top() + kPadding;
    const int right = rect.right() - kInset + 1;
    const int columnLeft = right - kColumnWidth;
    const int left = rect.left() + kInset + kIconBox + kGap;
    const int width = std::max(1, columnLeft - kGap - left);

    g.icon = QRect(rect.left() + kInset + (kIconBox - kIconSize) / 2, top, kIconSize, kIconSize);

    const QFontMetrics timeMetrics(m_timeFont);
    const QFontMetrics captionMetrics(m_captionFont);
    const QFontMetrics textMetrics(m_textFont);
    const QString time = RecordingListModel::timeText(recording.createdAt);
    g.time = QRect(left, top, timeMetrics.horizontalAdvance(time), timeMetrics.height());
    g.lengthText = RecordingListModel::lengthText(recording.duration);
    if (g.lengthText) {
        g.length = QRect(g.time.right() + 1 + kLengthGap, top + timeMetrics.ascent() - captionMetrics.ascent(),
                         captionMetrics.horizontalAdvance(*g.lengthText), captionMetrics.height());
    }
    int y = g.time.bottom() + 1;
    if (const std::optional<QString> text = RecordingListModel::rowText(recording)) {
        g.textFit = LineFit::fit(*text, m_textFont, width, kTextLines);
        g.text = QRect(left, y + kLineGap, width, g.textFit.lines * textMetrics.height());
        y = g.text.bottom() + 1;
    }
    if (recording.status == RecordingStatus::failed && recording.error && !recording.error->isEmpty()) {
        g.errorFit = LineFit::fit(*recording.error, m_captionFont, width, kErrorLines);
        g.error = QRect(left, y + kLineGap, width, g.errorFit.lines * captionMetrics.height());
        y = g.error.bottom() + 1;
    }

    // The column: the retry button or the note, then the buttons, right-aligned.
    int columnY = top;
    switch (slot(recording)) {
    case Slot::none: break;
    case Slot::button:
        if (!actions || actions->retry)
            g.retry = QRect(right - kButton, columnY, kButton, kButton);
        columnY += kButton + kLineGap;
        break;
    case Slot::note: {
        g.noteFit = LineFit::fit(m_model.locale().text(QStringLiteral("row.otherDevice")), m_captionFont,
                                 kColumnWidth, kNoteLines);
        g.note = QRect(columnLeft, columnY, kColumnWidth, g.noteFit.lines * captionMetrics.height());
        columnY = g.note.bottom() + 1 + kLineGap;
        break;
    }
    }
    int x = right;
    g.remove = QRect(x - kButton, columnY, kButton, kButton);
    x -= kButton + kButtonGap;
    if (actions && actions->copy) {
        g.copy = QRect(x - kButton, columnY, kButton, kButton);
        x -= kButton + kButtonGap;
    }
    if (actions && actions->regenerate)
        g.regenerate = QRect(x - kButton, columnY, kButton, kButton);

    const int bottom = std::max({y, columnY + kButton, g.icon.bottom() + 1});
    g.height = bottom - rect.top() + kPadding;
    return g;
}

QSize RecordingRowView::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    const Recording& recording = m_model.recording(index.row());
    const int width = option.rect.width();
    const Measured key{width, recording.status, qHash(RecordingListModel::rowText(recording).value_or(QString())),
                       qHash(recording.error.value_or(QString())), 0};
    Measured& known = m_heights[recording.id];
    if (known.height == 0 || known.width != key.width || known.status != key.status || known.text != key.text
        || known.error != key.error) {
        known = key;
        known.height = geometry(QRect(0, 0, width, 0), recording, std::nullopt).height;
    }
    return {width, known.height};
}

QRect RecordingRowView::actionRect(const QRect& rect, int row, Action action) const
{
    const Geometry g = geometry(rect, m_model.recording(row), m_model.actions(row));
    switch (action) {
    case Action::retry: return g.retry;
    case Action::regenerate: return g.regenerate;
    case Action::copy: return g.copy;
    case Action::remove: return g.remove;
    }
    return {};
}

QRect RecordingRowView::noteRect(const QRect& rect, int row) const
{
    return geometry(rect, m_model.recording(row), m_model.actions(row)).note;
}

std::optional<RecordingRowView::Action> RecordingRowView::actionAt(const QRect& rect, int row,
                                                                   const QPoint& position) const
{
    for (const Action action : {Action::retry, Action::regenerate, Action::copy, Action::remove}) {
        if (actionRect(rect, row, action).contains(position))
            return action;
    }
    return std::nullopt;
}

void RecordingRowView::paint(QPainter* painter, const QStyleOptionViewItem& option,
                             const QModelIndex& index) const
{
    const int row = index.row();
    const Recording& recording = m_model.recording(row);
    const RecordingListModel::Actions actions = m_model.actions(row);
    const Geometry g = geometry(option.rect, recording, actions);
    const QWidget* widget = option.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    const QColor secondary = Style::secondary(option.palette);

    painter->save();
    QStyleOptionViewItem panel = option;
    panel.features = QStyleOptionViewItem::None;
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &panel, painter, widget);

    const StatusLook look = statusLook(recording.status);
    painter->drawPixmap(g.icon, symbol(look.symbol, look.colour, kIconSize, ratio));

    painter->setFont(m_timeFont);
    painter->setPen(option.palette.color(QPalette::Text));
    painter->drawText(g.time, Qt::AlignLeft | Qt::AlignTop, RecordingListModel::timeText(recording.createdAt));
    painter->setPen(secondary);
    if (g.lengthText) {
        painter->setFont(m_captionFont);
        painter->drawText(g.length, Qt::AlignLeft | Qt::AlignTop, *g.lengthText);
    }
    if (!g.text.isEmpty())
        LineFit::draw(*painter, g.text, g.textFit.text, m_textFont);
    if (!g.note.isEmpty())
        LineFit::draw(*painter, g.note, g.noteFit.text, m_captionFont, Qt::AlignRight);
    if (!g.error.isEmpty()) {
        painter->setPen(Style::red);
        LineFit::draw(*painter, g.error, g.errorFit.text, m_captionFont);
    }

    if (!g.retry.isEmpty())
        paintButton(*painter, g.retry, Symbol::arrowClockwise, Style::red, actions.retryEnabled);
    if (!g.regenerate.isEmpty())
        paintButton(*painter, g.regenerate, Symbol::arrowClockwise, secondary, actions.regenerateEnabled);
    if (!g.copy.isEmpty())
        paintButton(*painter, g.copy, Symbol::docOnDoc, secondary, true);
    paintButton(*painter, g.remove, Symbol::trash, secondary, actions.removeEnabled);

    // Between rows, under the text column.
    painter->setPen(Style::separator(option.palette));
    const int lineY = option.rect.bottom();
    painter->drawLine(g.time.left(), lineY, option.rect.right() - kInset, lineY);

    if (option.state & QStyle::State_HasFocus) {
        QStyleOptionFocusRect focus;
        focus.QStyleOption::operator=(option);
        focus.rect = option.rect.adjusted(2, 1, -2, -1);
        style->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, painter, widget);
    }
    painter->restore();
}

void RecordingRowView::paintButton(QPainter& painter, const QRect& rect, Symbol which, const QColor& colour,
                                   bool enabled) const
{
    QColor shown = colour;
    if (!enabled)
        shown.setAlphaF(shown.alphaF() * 0.35f);
    const QRect square(rect.center().x() - kButtonIcon / 2, rect.center().y() - kButtonIcon / 2, kButtonIcon,
                       kButtonIcon);
    const qreal ratio = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    painter.drawPixmap(square, symbol(which, shown, kButtonIcon, ratio));
}

QPixmap RecordingRowView::symbol(Symbol which, const QColor& colour, int pixels, qreal ratio) const
{
    // Each row paints the same few symbols; an SVG is drawn once per look.
    const QString key = QStringLiteral("%1/%2/%3/%4").arg(int(which)).arg(colour.rgba()).arg(pixels).arg(ratio);
    auto found = m_symbols.constFind(key);
    if (found == m_symbols.constEnd())
        found = m_symbols.insert(key, Symbols::pixmap(which, colour, pixels, ratio));
    return *found;
}

bool RecordingRowView::editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                                   const QModelIndex& index)
{
    const auto type = event->type();
    if (type != QEvent::MouseButtonPress && type != QEvent::MouseButtonRelease
        && type != QEvent::MouseButtonDblClick)
        return QStyledItemDelegate::editorEvent(event, model, option, index);
    const auto* mouse = static_cast<QMouseEvent*>(event);
    if (mouse->button() != Qt::LeftButton)
        return QStyledItemDelegate::editorEvent(event, model, option, index);
    const int row = index.row();
    const std::optional<Action> action = actionAt(option.rect, row, mouse->position().toPoint());
    const QString id = m_model.recording(row).id;
    if (type == QEvent::MouseButtonRelease) {
        const auto pressed = std::exchange(m_pressed, std::nullopt);
        if (!action || pressed != std::make_pair(id, *action))
            return action.has_value();
        if (m_model.actions(row).allows(*action))
            emit actionTriggered(id, *action);
        return true;
    }
    if (!action)
        return QStyledItemDelegate::editorEvent(event, model, option, index);
    m_pressed = std::make_pair(id, *action);
    return true;
}

bool RecordingRowView::helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                                 const QModelIndex& index)
{
    if (event->type() != QEvent::ToolTip || !index.isValid())
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    const int row = index.row();
    const Recording& recording = m_model.recording(row);
    const Geometry g = geometry(option.rect, recording, m_model.actions(row));
    QString tip;
    QRect area;
    if (g.retry.contains(event->pos())) {
        tip = m_model.locale().text(QStringLiteral("row.retry"));
        area = g.retry;
    } else if (g.regenerate.contains(event->pos())) {
        tip = m_model.locale().text(QStringLiteral("row.regenerate"));
        area = g.regenerate;
    } else if (g.error.contains(event->pos())) {
        tip = *recording.error;
        area = g.error;
    }
    if (tip.isEmpty()) {
        QToolTip::hideText();
        return true;
    }
    QToolTip::showText(event->globalPos(), PlainText::toolTip(tip), view->viewport(), area);
    return true;
}
