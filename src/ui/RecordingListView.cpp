#include "ui/RecordingListView.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

#include "platform/DesktopWindows.h"
#include "platform/Preferences.h"
#include "session/SessionManager.h"
#include "store/DatabaseManager.h"
#include "store/LocaleManager.h"
#include "store/Logger.h"
#include "store/RecordingFileManager.h"
#include "sync/SyncManager.h"
#include "ui/PlainLabel.h"
#include "ui/RecordingRowView.h"
#include "ui/Style.h"
#include "ui/Symbol.h"

namespace {

using Action = RecordingListModel::Action;

QPushButton* headerButton(const QString& name, Symbol symbol, const QString& title, QWidget* parent)
{
    auto* button = new QPushButton(Symbols::icon(symbol, Style::secondary(parent->palette())), title, parent);
    button->setObjectName(name);
    button->setFont(Style::font(Style::TextSize::smallControl));
    button->setFocusPolicy(Qt::TabFocus);
    return button;
}

struct MenuEntry
{
    Action action;
    const char* key;
    const char* name;
};

constexpr MenuEntry kMenuEntries[] = {
    {Action::retry, "row.retry", "rowMenuRetry"},
    {Action::regenerate, "row.regenerate", "rowMenuRegenerate"},
    {Action::copy, "row.copy", "rowMenuCopy"},
    {Action::remove, "row.delete", "rowMenuDelete"},
};

}  // namespace

RecordingListView::RecordingListView(SessionManager& session, QWidget* parent)
    : QWidget(parent)
    , m_session(session)
    , m_list(new QListView(this))
    , m_model(new RecordingListModel(session, this))
    , m_rows(new RecordingRowView(*m_model, this))
{
    setObjectName(QStringLiteral("recordingsScreen"));
    const LocaleManager& locale = session.locale();
    m_clearAll = headerButton(QStringLiteral("clearAllButton"), Symbol::trash,
                              locale.text(QStringLiteral("recordings.clearAll")), this);
    m_openFolder = headerButton(QStringLiteral("openFolderButton"), Symbol::folder,
                                locale.text(QStringLiteral("recordings.openFolder")), this);
    auto* header = new QHBoxLayout;
    header->setContentsMargins(12, 6, 12, 6);
    header->setSpacing(8);
    header->addStretch(1);
    header->addWidget(m_clearAll);
    header->addWidget(m_openFolder);

    m_list->setObjectName(QStringLiteral("recordingList"));
    m_list->setModel(m_model);
    m_list->setItemDelegate(m_rows);
    m_list->setLayoutMode(QListView::Batched);
    m_list->setBatchSize(kBatchSize);
    m_list->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setFrameShape(QFrame::NoFrame);
    m_list->setContextMenuPolicy(Qt::CustomContextMenu);
    m_list->installEventFilter(this);
    m_empty = buildEmptyState();

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addLayout(header);
    layout->addWidget(Style::divider(QStringLiteral("recordingsDivider"), this));
    layout->addWidget(m_list, 1);
    layout->addWidget(m_empty, 1);

    connect(m_clearAll, &QPushButton::clicked, this, &RecordingListView::confirmClearAll);
    connect(m_openFolder, &QPushButton::clicked, this, &RecordingListView::openFolder);
    connect(m_rows, &RecordingRowView::actionTriggered, this, &RecordingListView::run);
    connect(m_list, &QListView::customContextMenuRequested, this, &RecordingListView::showRowMenu);
    connect(&session, &SessionManager::stateChanged, this, &RecordingListView::reload);
    connect(&session.preferences(), &Preferences::changed, this, &RecordingListView::onPreferenceChanged);
    connect(&session.orchestrator(), &TranscriptionOrchestrator::retryingChanged, this,
            &RecordingListView::onRetryingChanged);
    reload();
}

QWidget* RecordingListView::buildEmptyState()
{
    auto* empty = new QWidget(this);
    empty->setObjectName(QStringLiteral("emptyState"));
    const QColor secondary = Style::secondary(palette());
    const LocaleManager& locale = m_session.locale();
    auto* column = new QVBoxLayout(empty);
    column->setSpacing(8);
    column->addStretch(1);
    column->addWidget(Symbols::label(Symbol::waveform, secondary, int(Style::TextSize::largeTitle),
                                     QStringLiteral("emptySymbol"), empty),
                      0, Qt::AlignHCenter);
    const auto line = [&](const QString& name, const QString& text, Style::TextSize size) {
        auto* label = new PlainLabel(0, empty);
        label->setObjectName(name);
        label->setAlignment(Qt::AlignCenter);
        label->setFont(Style::font(size));
        Style::setTextColour(*label, secondary);
        label->setFullText(text);
        column->addWidget(label);
    };
    line(QStringLiteral("emptyTitle"), locale.text(QStringLiteral("recordings.empty")), Style::TextSize::body);
    line(QStringLiteral("emptyHint"), locale.text(QStringLiteral("recordings.pressToStart"), m_session.shortcut()),
         Style::TextSize::caption);
    column->addStretch(1);
    return empty;
}

void RecordingListView::reload()
{
    const std::optional<ScrollAnchor> anchor = scrollAnchor();
    const QModelIndex current = m_list->currentIndex();
    const QString currentId = current.isValid() ? m_model->recording(current.row()).id : QString();
    m_shownUserId = m_session.preferences().currentUserId();
    m_model->setRecordings(m_session.database().fetchAllRecordings(m_shownUserId, false));
    // The keyboard's place stays on its recording, without scrolling to it:
    // the view stays where it was.
    if (const int row = currentId.isEmpty() ? -1 : m_model->rowOf(currentId); row >= 0) {
        m_list->setAutoScroll(false);
        m_list->setCurrentIndex(m_model->index(row));
        m_list->setAutoScroll(true);
    }
    const bool empty = m_model->rowCount() == 0;
    m_list->setVisible(!empty);
    m_empty->setVisible(empty);
    m_clearAll->setVisible(!empty);
    m_clearAll->setEnabled(m_session.state() == SessionState::idle);
    if (!empty)
        restoreScroll(anchor);
}

std::optional<RecordingListView::ScrollAnchor> RecordingListView::scrollAnchor() const
{
    const int value = m_list->verticalScrollBar()->value();
    if (value == 0 || m_model->rowCount() == 0)
        return std::nullopt;   // at the top, where a new recording appears
    const QModelIndex top = m_list->indexAt(QPoint(m_list->viewport()->width() / 2, 0));
    if (!top.isValid())
        return std::nullopt;
    return ScrollAnchor{m_model->recording(top.row()).id, m_list->visualRect(top).top(), value};
}

void RecordingListView::restoreScroll(const std::optional<ScrollAnchor>& anchor)
{
    QScrollBar* bar = m_list->verticalScrollBar();
    if (!anchor) {
        bar->setValue(0);
        return;
    }
    const int row = m_model->rowOf(anchor->recordingId);
    // Lays out every row at once, so that the scroll range reaches the
    // anchor: a batched pass under way would leave it to later passes. The
    // rows' heights are known from the last load, so this costs little.
    m_list->setLayoutMode(QListView::SinglePass);
    m_list->doItemsLayout();
    m_list->setLayoutMode(QListView::Batched);
    if (row < 0) {
        bar->setValue(anchor->value);
        return;
    }
    const QRect rect = m_list->visualRect(m_model->index(row));
    bar->setValue(bar->value() + rect.top() - anchor->offset);
}

void RecordingListView::onPreferenceChanged(const QString& key)
{
    // Every write is announced; another user's list only when it is another.
    if (key == QLatin1String(PrefKey::currentUserId)
        && m_session.preferences().currentUserId() != m_shownUserId)
        reload();
}

void RecordingListView::onRetryingChanged(const QString& recordingId)
{
    if (m_session.orchestrator().isRetrying(recordingId))
        m_model->refresh(recordingId);
    else
        reload();
}

void RecordingListView::run(const QString& recordingId, Action action)
{
    const int row = m_model->rowOf(recordingId);
    if (row < 0 || !m_model->actions(row).allows(action))
        return;
    const Recording recording = m_model->recording(row);
    switch (action) {
    case Action::retry:
        // Not kept: the screen may be gone when it ends, and the end is
        // announced by the orchestrator.
        m_session.orchestrator().retry(recording.id, RetryMode::retryFailed);
        return;
    case Action::regenerate:
        m_session.orchestrator().retry(recording.id, RetryMode::regenerate);
        return;
    case Action::copy: copy(recording); return;
    case Action::remove: remove(recording.id); return;
    }
}

void RecordingListView::copy(const Recording& recording)
{
    const std::optional<QString> text = RecordingListModel::rowText(recording);
    if (!text)
        return;
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(*text);
}

void RecordingListView::remove(const QString& recordingId)
{
    const int row = m_model->rowOf(recordingId);
    const bool wasCurrent = m_list->currentIndex().row() == row;
    m_session.database().softDeleteRecording(recordingId);
    reload();
    // The keyboard goes on with the row that takes the deleted one's place.
    if (wasCurrent && m_model->rowCount() > 0)
        m_list->setCurrentIndex(m_model->index(std::min(row, m_model->rowCount() - 1)));
    m_session.syncManager().schedulePush(m_shownUserId);
}

void RecordingListView::confirmClearAll()
{
    if (m_clearConfirm || m_session.state() != SessionState::idle)
        return;
    const LocaleManager& locale = m_session.locale();
    auto* box = new QMessageBox(this);
    box->setObjectName(QStringLiteral("clearAllConfirm"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setIcon(QMessageBox::Warning);
    box->setText(locale.text(QStringLiteral("recordings.clearAll")));
    box->setInformativeText(locale.text(QStringLiteral("recordings.clearConfirm")));
    box->setTextFormat(Qt::PlainText);
    QPushButton* clear = box->addButton(locale.text(QStringLiteral("recordings.clearAll")),
                                        QMessageBox::DestructiveRole);
    clear->setObjectName(QStringLiteral("clearAllConfirmButton"));
    QPushButton* cancel = box->addButton(locale.text(QStringLiteral("accounts.cancel")), QMessageBox::RejectRole);
    cancel->setObjectName(QStringLiteral("clearAllCancelButton"));
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    connect(box, &QMessageBox::buttonClicked, this, [this, clear](QAbstractButton* button) {
        if (button == clear)
            clearAll();
    });
    m_clearConfirm = box;
    box->open();
}

void RecordingListView::clearAll()
{
    // The alert may have waited while a dictation began: its row stays.
    if (m_session.state() != SessionState::idle) {
        m_session.logger().warning(QStringLiteral("Recordings: not cleared, a dictation is under way"));
        return;
    }
    m_session.database().softDeleteAllRecordings(m_shownUserId);
    reload();
    m_session.syncManager().schedulePush(m_shownUserId);
}

void RecordingListView::openFolder()
{
    m_session.desktopWindows().openFolder(m_session.fileManager().recordingsDirectory());
}

void RecordingListView::showRowMenu(const QPoint& position)
{
    QModelIndex index = m_list->indexAt(position);
    QPoint at = position;
    if (!index.isValid()) {
        index = m_list->currentIndex();
        if (!index.isValid())
            return;
        at = m_list->visualRect(index).center();
    }
    const QString id = m_model->recording(index.row()).id;
    const RecordingListModel::Actions actions = m_model->actions(index.row());
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("rowMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    for (const MenuEntry& entry : kMenuEntries) {
        if (!actions.offers(entry.action))
            continue;
        QAction* item = menu->addAction(m_session.locale().text(QString::fromLatin1(entry.key)));
        item->setObjectName(QString::fromLatin1(entry.name));
        item->setEnabled(actions.allows(entry.action));
        if (entry.action == Action::copy)
            item->setShortcut(QKeySequence::Copy);
        if (entry.action == Action::remove)
            item->setShortcut(QKeySequence::Delete);
        const Action action = entry.action;
        connect(item, &QAction::triggered, this, [this, id, action] { run(id, action); });
    }
    menu->popup(m_list->viewport()->mapToGlobal(at));
}

bool RecordingListView::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != m_list || event->type() != QEvent::KeyPress)
        return QWidget::eventFilter(watched, event);
    const auto* key = static_cast<QKeyEvent*>(event);
    const QModelIndex current = m_list->currentIndex();
    if (key->key() == Qt::Key_Menu || (key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier)) {
        showRowMenu(current.isValid() ? m_list->visualRect(current).center() : QPoint(-1, -1));
        return true;
    }
    if (!current.isValid())
        return false;
    const QString id = m_model->recording(current.row()).id;
    if (key->matches(QKeySequence::Delete)) {
        run(id, Action::remove);
        return true;
    }
    if (key->matches(QKeySequence::Copy)) {
        run(id, Action::copy);
        return true;
    }
    return false;
}
