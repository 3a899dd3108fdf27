#include "ui/GlossaryView.h"

#include <QAction>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include "platform/Preferences.h"
#include "session/SessionManager.h"
#include "store/DatabaseManager.h"
#include "store/LocaleManager.h"
#include "store/RecordId.h"
#include "store/TimeText.h"
#include "sync/SyncManager.h"
#include "ui/GlossaryRowView.h"
#include "ui/PlainLabel.h"
#include "ui/Style.h"
#include "ui/Symbol.h"

namespace {

constexpr int kAddRowHorizontalMargin = 12;
constexpr int kAddRowVerticalMargin = 8;
constexpr int kAddSymbolPixels = 18;
constexpr int kEmptySpacing = 8;
constexpr int kEmptySymbolPixels = static_cast<int>(Style::TextSize::largeTitle);
constexpr int kListInset = 8;

bool isHorizontalSpace(QChar c)
{
    return c == QLatin1Char('\t') || c.category() == QChar::Separator_Space;
}

}  // namespace

QString GlossaryView::trimmedTerm(const QString& text)
{
    qsizetype start = 0;
    qsizetype end = text.size();
    while (start < end && isHorizontalSpace(text[start]))
        ++start;
    while (end > start && isHorizontalSpace(text[end - 1]))
        --end;
    return text.mid(start, end - start);
}

GlossaryView::GlossaryView(SessionManager& session, QWidget* parent)
    : QWidget(parent)
    , m_session(session)
    , m_userId(session.preferences().currentUserId())
    , m_rowView(new GlossaryRowView(m_model, session.locale().text(QStringLiteral("glossary.save")), this))
{
    setObjectName(QStringLiteral("glossaryScreen"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(buildAddRow());
    column->addWidget(Style::divider(QStringLiteral("glossaryDivider"), this));
    m_content = new QStackedWidget(this);
    m_empty = buildEmptyState();
    m_content->addWidget(m_empty);
    m_content->addWidget(buildList());
    column->addWidget(m_content, 1);

    connect(m_rowView, &GlossaryRowView::editRequested, this, &GlossaryView::startEditing);
    connect(m_rowView, &GlossaryRowView::deleteRequested, this, &GlossaryView::deleteItem);
    connect(m_rowView, &GlossaryRowView::saveRequested, this, &GlossaryView::updateItem);
    connect(&session.preferences(), &Preferences::changed, this, &GlossaryView::onPreferenceChanged);
    loadItems();
}

QWidget* GlossaryView::buildAddRow()
{
    auto* addRow = new QWidget(this);
    addRow->setObjectName(QStringLiteral("glossaryAddRow"));
    auto* row = new QHBoxLayout(addRow);
    row->setContentsMargins(kAddRowHorizontalMargin, kAddRowVerticalMargin, kAddRowHorizontalMargin,
                            kAddRowVerticalMargin);
    m_addField = new QLineEdit(addRow);
    m_addField->setObjectName(QStringLiteral("glossaryAddField"));
    m_addField->setPlaceholderText(m_session.locale().text(QStringLiteral("glossary.addPlaceholder")));
    m_addButton = new QToolButton(addRow);
    m_addButton->setObjectName(QStringLiteral("glossaryAddButton"));
    m_addButton->setAutoRaise(true);
    m_addButton->setFocusPolicy(Qt::TabFocus);
    m_addButton->setIcon(Symbols::icon(Symbol::plusCircleFill, Style::accent(palette())));
    m_addButton->setIconSize(QSize(kAddSymbolPixels, kAddSymbolPixels));
    m_addButton->setAccessibleName(m_session.locale().text(QStringLiteral("glossary.add")));
    row->addWidget(m_addField, 1);
    row->addWidget(m_addButton);

    connect(m_addField, &QLineEdit::textChanged, this, &GlossaryView::showAddButton);
    connect(m_addField, &QLineEdit::returnPressed, this, &GlossaryView::addItem);
    connect(m_addButton, &QToolButton::clicked, this, &GlossaryView::addItem);
    showAddButton();
    return addRow;
}

QWidget* GlossaryView::buildEmptyState()
{
    auto* empty = new QWidget(this);
    empty->setObjectName(QStringLiteral("glossaryEmpty"));
    const QColor secondary = Style::secondary(palette());
    auto* column = new QVBoxLayout(empty);
    column->setSpacing(kEmptySpacing);
    column->addStretch(1);
    column->addWidget(Symbols::label(Symbol::textBookClosed, secondary, kEmptySymbolPixels,
                                     QStringLiteral("glossaryEmptySymbol"), empty),
                      0, Qt::AlignHCenter);
    const auto addLine = [&](const char* key, const QString& name, Style::TextSize size) {
        auto* line = new PlainLabel(0, empty);
        line->setObjectName(name);
        line->setAlignment(Qt::AlignCenter);
        line->setFont(Style::font(size));
        Style::setTextColour(*line, secondary);
        line->setFullText(m_session.locale().text(QString::fromLatin1(key)));
        column->addWidget(line);
    };
    addLine("glossary.empty", QStringLiteral("glossaryEmptyTitle"), Style::TextSize::body);
    addLine("glossary.emptyHint", QStringLiteral("glossaryEmptyHint"), Style::TextSize::caption);
    column->addStretch(1);
    return empty;
}

QWidget* GlossaryView::buildList()
{
    // Inset from the screen's edges.
    m_listPage = new QWidget(this);
    m_listPage->setObjectName(QStringLiteral("glossaryListPage"));
    auto* inset = new QVBoxLayout(m_listPage);
    inset->setContentsMargins(kListInset, kListInset, kListInset, kListInset);
    m_list = new QListView(m_listPage);
    m_list->setObjectName(QStringLiteral("glossaryList"));
    m_list->setFrameShape(QFrame::NoFrame);
    inset->addWidget(m_list);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setUniformItemSizes(true);
    m_list->setModel(&m_model);
    m_list->setItemDelegate(m_rowView);

    // The drawn buttons take no keyboard focus: the same actions on the
    // current row, by key and from the row's context menu.
    m_editAction = new QAction(m_session.locale().text(QStringLiteral("glossary.edit")), m_list);
    m_editAction->setObjectName(QStringLiteral("glossaryEditAction"));
    m_editAction->setShortcut(QKeySequence(Qt::Key_F2));
    m_editAction->setShortcutContext(Qt::WidgetShortcut);
    connect(m_editAction, &QAction::triggered, this, [this] { startEditing(currentId()); });
    m_deleteAction = new QAction(m_session.locale().text(QStringLiteral("glossary.delete")), m_list);
    m_deleteAction->setObjectName(QStringLiteral("glossaryDeleteAction"));
    m_deleteAction->setShortcut(QKeySequence::Delete);
    m_deleteAction->setShortcutContext(Qt::WidgetShortcut);
    connect(m_deleteAction, &QAction::triggered, this, [this] { deleteItem(currentId()); });
    m_list->addAction(m_editAction);
    m_list->addAction(m_deleteAction);
    m_list->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_list, &QListView::customContextMenuRequested, this, &GlossaryView::showRowMenu);

    // After the view's own handling of each change, which drops the editors
    // of rows that went.
    connect(&m_model, &QAbstractItemModel::modelReset, this, &GlossaryView::showEditors);
    connect(&m_model, &QAbstractItemModel::rowsInserted, this, &GlossaryView::showEditors);
    connect(&m_model, &QAbstractItemModel::dataChanged, this, &GlossaryView::showEditors);
    connect(&m_model, &QAbstractItemModel::modelReset, this, &GlossaryView::showRowActions);
    connect(&m_model, &QAbstractItemModel::rowsRemoved, this, &GlossaryView::showRowActions);
    connect(&m_model, &QAbstractItemModel::rowsInserted, this, &GlossaryView::showRowActions);
    connect(m_list->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &GlossaryView::showRowActions);
    showRowActions();
    return m_listPage;
}

void GlossaryView::loadItems()
{
    m_model.setItems(m_session.database().fetchAllGlossaryItems(m_userId, false));
    showListOrEmptyState();
}

void GlossaryView::showListOrEmptyState()
{
    m_content->setCurrentWidget(m_model.rowCount() == 0 ? m_empty : m_listPage);
}

void GlossaryView::addItem()
{
    const QString term = trimmedTerm(m_addField->text());
    if (term.isEmpty())
        return;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const GlossaryItem entry{newRecordId(), m_userId, term, std::nullopt, now, now};
    DatabaseManager& db = m_session.database();
    db.insertGlossaryItem(entry);
    // The store reports nothing: the typed term goes only once it is stored.
    const std::optional<GlossaryItem> stored = db.fetchGlossaryItem(entry.id);
    if (stored && stored->content == term)
        m_addField->clear();
    loadItems();
    m_session.syncManager().schedulePush(m_userId);
}

void GlossaryView::updateItem(const QString& id, const QString& content)
{
    const std::optional<int> row = m_model.rowOf(id);
    if (!row)
        return;
    // Stored as typed, untrimmed and also when unchanged: the new time
    // pushes it again.
    GlossaryItem entry = m_model.item(*row);
    entry.content = content;
    entry.updatedAt = QDateTime::currentDateTimeUtc();
    DatabaseManager& db = m_session.database();
    db.updateGlossaryItem(entry);
    // The edit ends only once the store holds it; a failed write leaves the
    // field as typed for another try.
    const std::optional<GlossaryItem> stored = db.fetchGlossaryItem(id);
    if (stored && stored->content == content
        && TimeText::format(stored->updatedAt) == TimeText::format(entry.updatedAt))
        m_model.stopEditing(*row);
    loadItems();
    m_session.syncManager().schedulePush(m_userId);
}

void GlossaryView::deleteItem(const QString& id)
{
    if (id.isEmpty())
        return;
    m_session.database().softDeleteGlossaryItem(id);
    loadItems();
    m_session.syncManager().schedulePush(m_userId);
}

void GlossaryView::startEditing(const QString& id)
{
    const std::optional<int> row = m_model.rowOf(id);
    if (!row)
        return;
    m_model.startEditing(*row);
    const QModelIndex index = m_model.index(*row);
    m_list->setCurrentIndex(index);
    if (QWidget* editor = m_list->indexWidget(index))
        editor->setFocus(Qt::OtherFocusReason);
}

void GlossaryView::onPreferenceChanged(const QString& key)
{
    if (key != QLatin1String(PrefKey::currentUserId))
        return;
    const QString userId = m_session.preferences().currentUserId();
    if (userId == m_userId)
        return;
    m_userId = userId;
    // Another user's list: no edit of the old one carries over.
    m_model.replaceItems(m_session.database().fetchAllGlossaryItems(m_userId, false));
    showListOrEmptyState();
}

void GlossaryView::showAddButton()
{
    m_addButton->setEnabled(!trimmedTerm(m_addField->text()).isEmpty());
}

void GlossaryView::showEditors()
{
    for (int row = 0; row < m_model.rowCount(); ++row) {
        const QModelIndex index = m_model.index(row);
        const bool open = m_list->isPersistentEditorOpen(index);
        if (m_model.isEditing(row) && !open)
            m_list->openPersistentEditor(index);
        else if (!m_model.isEditing(row) && open)
            m_list->closePersistentEditor(index);
    }
}

void GlossaryView::showRowActions()
{
    const bool hasRow = !currentId().isEmpty();
    m_editAction->setEnabled(hasRow);
    m_deleteAction->setEnabled(hasRow);
}

void GlossaryView::showRowMenu(const QPoint& position)
{
    const QModelIndex index = m_list->indexAt(position);
    if (!index.isValid())
        return;
    m_list->setCurrentIndex(index);
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("glossaryRowMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addAction(m_editAction);
    menu->addAction(m_deleteAction);
    menu->popup(m_list->viewport()->mapToGlobal(position));
}

QString GlossaryView::currentId() const
{
    const QModelIndex index = m_list->currentIndex();
    return index.isValid() ? index.data(GlossaryListModel::idRole).toString() : QString();
}
