#include "ui/GlossaryRowView.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>

#include "ui/GlossaryListModel.h"
#include "ui/Style.h"
#include "ui/Symbol.h"

namespace {

QStyle* styleOf(const QStyleOptionViewItem& option)
{
    return option.widget ? option.widget->style() : QApplication::style();
}

void drawSymbol(QPainter* painter, const QRect& buttonRect, Symbol symbol, const QColor& colour)
{
    const int pixels = GlossaryRowView::kSymbolPixels;
    const QPixmap pixmap = Symbols::pixmap(symbol, colour, pixels, painter->device()->devicePixelRatioF());
    const QRect target(buttonRect.center() - QPoint(pixels / 2, pixels / 2), QSize(pixels, pixels));
    painter->drawPixmap(target, pixmap);
}

}  // namespace

GlossaryRowView::GlossaryRowView(GlossaryListModel& model, QString saveTitle, QObject* parent)
    : QStyledItemDelegate(parent), m_model(model), m_saveTitle(std::move(saveTitle))
{
}

QRect GlossaryRowView::deleteButtonRect(const QRect& rowRect)
{
    return QRect(rowRect.right() - kHorizontalPadding - kButtonSize + 1,
                 rowRect.center().y() - kButtonSize / 2, kButtonSize, kButtonSize);
}

QRect GlossaryRowView::editButtonRect(const QRect& rowRect)
{
    return deleteButtonRect(rowRect).translated(-kButtonSize, 0);
}

void GlossaryRowView::paint(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const
{
    QStyleOptionViewItem background = option;
    initStyleOption(&background, index);
    background.text.clear();
    styleOf(option)->drawControl(QStyle::CE_ItemViewItem, &background, painter, option.widget);
    if (index.data(GlossaryListModel::editingRole).toBool())
        return;   // the editor covers the row

    const bool selected = option.state & QStyle::State_Selected;
    const QColor text = option.palette.color(selected ? QPalette::HighlightedText : QPalette::Text);
    const QRect edit = editButtonRect(option.rect);
    const QRect textRect(option.rect.left() + kHorizontalPadding, option.rect.top(),
                         edit.left() - option.rect.left() - kHorizontalPadding, option.rect.height());
    painter->save();
    const QFont font = Style::font(Style::TextSize::body);
    painter->setFont(font);
    painter->setPen(text);
    QString content = index.data(Qt::DisplayRole).toString();
    content.replace(QLatin1Char('\n'), QLatin1Char(' '));
    painter->drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter,
                      QFontMetrics(font).elidedText(content, Qt::ElideRight, textRect.width()));
    drawSymbol(painter, edit, Symbol::pencil, text);
    drawSymbol(painter, deleteButtonRect(option.rect), Symbol::trash,
               selected ? text : Style::secondary(option.palette));
    painter->restore();
}

QSize GlossaryRowView::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    return {QStyledItemDelegate::sizeHint(option, index).width(), kRowHeight};
}

bool GlossaryRowView::editorEvent(QEvent* event, QAbstractItemModel* model,
                                  const QStyleOptionViewItem& option, const QModelIndex& index)
{
    if (event->type() != QEvent::MouseButtonRelease || index.data(GlossaryListModel::editingRole).toBool())
        return QStyledItemDelegate::editorEvent(event, model, option, index);
    const auto* mouse = static_cast<QMouseEvent*>(event);
    if (mouse->button() != Qt::LeftButton)
        return QStyledItemDelegate::editorEvent(event, model, option, index);
    const QString id = index.data(GlossaryListModel::idRole).toString();
    if (editButtonRect(option.rect).contains(mouse->position().toPoint())) {
        emit editRequested(id);
        return true;
    }
    if (deleteButtonRect(option.rect).contains(mouse->position().toPoint())) {
        emit deleteRequested(id);
        return true;
    }
    return QStyledItemDelegate::editorEvent(event, model, option, index);
}

QWidget* GlossaryRowView::createEditor(QWidget* parent, const QStyleOptionViewItem&,
                                       const QModelIndex& index) const
{
    const QString id = index.data(GlossaryListModel::idRole).toString();
    auto* editor = new QWidget(parent);
    editor->setObjectName(QStringLiteral("glossaryEditor"));
    editor->setAutoFillBackground(true);
    auto* row = new QHBoxLayout(editor);
    row->setContentsMargins(kHorizontalPadding, kVerticalPadding, kHorizontalPadding, kVerticalPadding);
    auto* field = new QLineEdit(editor);
    field->setObjectName(QStringLiteral("glossaryEditField"));
    field->setFont(Style::font(Style::TextSize::body));
    auto* save = new QPushButton(m_saveTitle, editor);
    save->setObjectName(QStringLiteral("glossarySaveButton"));
    save->setFont(Style::font(Style::TextSize::caption));
    save->setAutoDefault(false);
    row->addWidget(field, 1);
    row->addWidget(save);
    editor->setFocusProxy(field);

    GlossaryListModel* model = &m_model;
    connect(field, &QLineEdit::textEdited, this, [model, id](const QString& text) {
        if (const auto row = model->rowOf(id))
            model->setEditContent(*row, text);
    });
    // Qt makes editors in a const function; the signal is the delegate's own.
    auto* self = const_cast<GlossaryRowView*>(this);
    const auto requestSave = [self, id, field] { emit self->saveRequested(id, field->text()); };
    connect(field, &QLineEdit::returnPressed, this, requestSave);
    connect(save, &QPushButton::clicked, this, requestSave);
    return editor;
}

void GlossaryRowView::setEditorData(QWidget* editor, const QModelIndex& index) const
{
    auto* field = editor->findChild<QLineEdit*>(QStringLiteral("glossaryEditField"));
    const QString text = index.data(GlossaryListModel::editContentRole).toString();
    if (field && field->text() != text)
        field->setText(text);
}

void GlossaryRowView::setModelData(QWidget*, QAbstractItemModel*, const QModelIndex&) const
{
    // The edit field writes its text as it changes; nothing to commit here.
}

void GlossaryRowView::updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                                           const QModelIndex&) const
{
    editor->setGeometry(option.rect);
}
