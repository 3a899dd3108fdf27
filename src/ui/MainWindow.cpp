#include "ui/MainWindow.h"

#include <QLabel>
#include <QVBoxLayout>

#include "session/SessionManager.h"
#include "store/LocaleManager.h"

MainWindow::MainWindow(SessionManager& session, QWidget* parent)
    : QWidget(parent), m_session(session), m_state(new QLabel(this))
{
    setObjectName(QStringLiteral("main"));
    setWindowTitle(QStringLiteral("Talvex"));
    setMinimumSize(kMinimumSize);
    resize(kDefaultSize);
    m_state->setTextFormat(Qt::PlainText);
    m_state->setAlignment(Qt::AlignCenter);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_state);
    connect(&session, &SessionManager::stateChanged, this, &MainWindow::refresh);
    connect(&session.locale(), &LocaleManager::languageChanged, this, &MainWindow::refresh);
    refresh();
}

void MainWindow::refresh()
{
    m_state->setText(m_session.state() == SessionState::idle
                         ? m_session.locale().text("float.ready")
                         : toText(m_session.state()));
}
