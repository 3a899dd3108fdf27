#pragma once

#include <QWidget>

class SessionManager;

// The main window "main": the status strip, the tabs and their screens.
class MainWindow : public QWidget
{
    Q_OBJECT
public:
    static constexpr QSize kMinimumSize{480, 520};
    static constexpr QSize kDefaultSize{520, 600};

    explicit MainWindow(SessionManager& session, QWidget* parent = nullptr);
};
