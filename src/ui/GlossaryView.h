#pragma once

#include <QString>
#include <QWidget>

#include "ui/GlossaryListModel.h"

class QAction;
class QLineEdit;
class QListView;
class QStackedWidget;
class QToolButton;
class GlossaryRowView;
class SessionManager;

// The glossary tab: a field to add a term and the current user's terms,
// oldest first, each shown with edit and delete buttons or, while edited,
// as an edit field with a save button. Every change goes straight to the
// store and asks the sync engine for a push. Built anew each time the tab is
// shown, so an edit not saved is gone when the screen goes.
class GlossaryView : public QWidget
{
    Q_OBJECT
public:
    explicit GlossaryView(SessionManager& session, QWidget* parent = nullptr);

private:
    // `text` without the tabs and space separators (the ordinary, no-break
    // and ideographic spaces among them) at either end; line breaks and
    // everything else stay.
    static QString trimmedTerm(const QString& text);

    QWidget* buildAddRow();
    QWidget* buildEmptyState();
    QWidget* buildList();

    void loadItems();
    void showListOrEmptyState();
    void addItem();
    void updateItem(const QString& id, const QString& content);
    void deleteItem(const QString& id);
    void startEditing(const QString& id);

    void onPreferenceChanged(const QString& key);
    void showAddButton();
    // Opens the editor of every row being edited and closes the others'.
    void showEditors();
    void showRowActions();
    void showRowMenu(const QPoint& position);
    QString currentId() const;

    SessionManager& m_session;
    QString m_userId;
    GlossaryListModel m_model;
    GlossaryRowView* m_rowView;
    QLineEdit* m_addField = nullptr;
    QToolButton* m_addButton = nullptr;
    QStackedWidget* m_content = nullptr;
    QWidget* m_empty = nullptr;
    QWidget* m_listPage = nullptr;
    QListView* m_list = nullptr;
    QAction* m_editAction = nullptr;
    QAction* m_deleteAction = nullptr;
};
