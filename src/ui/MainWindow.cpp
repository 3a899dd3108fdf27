#include "ui/MainWindow.h"

#include <QVBoxLayout>

#include "ui/MainView.h"

MainWindow::MainWindow(SessionManager& session, QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("main"));
    setWindowTitle(QStringLiteral("Talvex"));
    setMinimumSize(kMinimumSize);
    resize(kDefaultSize);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(new MainView(session, &std::chrono::steady_clock::now, this));
}
