#pragma once

#include <QAbstractListModel>
#include <QHash>
#include <QList>
#include <optional>

#include "store/GlossaryItem.h"

// The glossary screen's list: the entries shown, in the order loaded, and
// the edit state of the rows being edited. Edit state belongs to an entry's
// id: it survives a new list while that entry is in it.
class GlossaryListModel : public QAbstractListModel
{
    Q_OBJECT
public:
    enum Role {
        idRole = Qt::UserRole + 1,
        editingRole,       // bool
        editContentRole,   // the text being edited
    };

    explicit GlossaryListModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    // Shows `items`, keeping the edit state of entries still listed; rows
    // that stay keep their place in the view.
    void setItems(const QList<GlossaryItem>& items);
    // Shows `items` with no row being edited (another user's list).
    void replaceItems(const QList<GlossaryItem>& items);

    const GlossaryItem& item(int row) const { return m_items.at(row); }
    std::optional<int> rowOf(const QString& id) const;

    bool isEditing(int row) const;
    QString editContent(int row) const;
    // The row shows its entry's text in an edit field.
    void startEditing(int row);
    void setEditContent(int row, const QString& text);
    void stopEditing(int row);

private:
    // Replaces the rows in place; false when the rows that stay changed
    // their order, which takes a reset.
    bool mergeItems(const QList<GlossaryItem>& items);
    void notifyEditing(int row);

    QList<GlossaryItem> m_items;
    // The text being edited, by entry id, for each row being edited.
    QHash<QString, QString> m_edits;
};
