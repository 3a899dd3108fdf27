#include "ui/GlossaryListModel.h"

#include <QSet>

GlossaryListModel::GlossaryListModel(QObject* parent) : QAbstractListModel(parent) {}

int GlossaryListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_items.size());
}

QVariant GlossaryListModel::data(const QModelIndex& index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const GlossaryItem& entry = m_items.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole: return entry.content;
    case idRole: return entry.id;
    case editingRole: return m_edits.contains(entry.id);
    case editContentRole: return m_edits.value(entry.id);
    default: return {};
    }
}

void GlossaryListModel::setItems(const QList<GlossaryItem>& items)
{
    if (mergeItems(items))
        return;
    beginResetModel();
    m_items = items;
    QSet<QString> listed;
    for (const GlossaryItem& entry : m_items)
        listed.insert(entry.id);
    m_edits.removeIf([&](const auto& edit) { return !listed.contains(edit.key()); });
    endResetModel();
}

void GlossaryListModel::replaceItems(const QList<GlossaryItem>& items)
{
    beginResetModel();
    m_items = items;
    m_edits.clear();
    endResetModel();
}

bool GlossaryListModel::mergeItems(const QList<GlossaryItem>& items)
{
    QSet<QString> newIds;
    for (const GlossaryItem& entry : items)
        newIds.insert(entry.id);
    if (newIds.size() != items.size())
        return false;

    for (int row = int(m_items.size()) - 1; row >= 0; --row) {
        if (newIds.contains(m_items[row].id))
            continue;
        beginRemoveRows({}, row, row);
        m_edits.remove(m_items[row].id);
        m_items.removeAt(row);
        endRemoveRows();
    }

    QSet<QString> kept;
    for (const GlossaryItem& entry : m_items)
        kept.insert(entry.id);
    for (int row = 0; row < items.size(); ++row) {
        const GlossaryItem& entry = items[row];
        if (row < m_items.size() && m_items[row].id == entry.id) {
            const bool shownChanged = m_items[row].content != entry.content;
            m_items[row] = entry;
            if (shownChanged)
                emit dataChanged(index(row), index(row), {Qt::DisplayRole, Qt::AccessibleTextRole});
            continue;
        }
        if (kept.contains(entry.id))
            return false;   // a kept row further down: the order changed
        beginInsertRows({}, row, row);
        m_items.insert(row, entry);
        endInsertRows();
    }
    return true;
}

std::optional<int> GlossaryListModel::rowOf(const QString& id) const
{
    for (int row = 0; row < m_items.size(); ++row) {
        if (m_items[row].id == id)
            return row;
    }
    return std::nullopt;
}

bool GlossaryListModel::isEditing(int row) const { return m_edits.contains(m_items.at(row).id); }

QString GlossaryListModel::editContent(int row) const { return m_edits.value(m_items.at(row).id); }

void GlossaryListModel::startEditing(int row)
{
    if (isEditing(row))
        return;
    m_edits.insert(m_items.at(row).id, m_items.at(row).content);
    notifyEditing(row);
}

void GlossaryListModel::setEditContent(int row, const QString& text)
{
    if (!isEditing(row) || editContent(row) == text)
        return;
    m_edits.insert(m_items.at(row).id, text);
    emit dataChanged(index(row), index(row), {editContentRole});
}

void GlossaryListModel::stopEditing(int row)
{
    if (m_edits.remove(m_items.at(row).id))
        notifyEditing(row);
}

void GlossaryListModel::notifyEditing(int row)
{
    emit dataChanged(index(row), index(row), {editingRole, editContentRole});
}
