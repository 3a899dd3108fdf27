#pragma once

#include <QWidget>

class QLabel;
class SessionManager;

// The main window "main". Until its screens are built it shows the dictation
// state and where to find the settings.
class MainWindow : public QWidget
{
    Q_OBJECT
public:
    static constexpr QSize kMinimumSize{480, 520};
    static constexpr QSize kDefaultSize{520, 600};

    explicit MainWindow(SessionManager& session, QWidget* parent = nullptr);

private:
    void refresh();

    SessionManager& m_session;
    QLabel* m_state;
};
