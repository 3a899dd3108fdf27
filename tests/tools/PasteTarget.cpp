// A window with one focused line edit for the desktop tests: it tells on
// standard output when it is ready (active, field focused), every text the
// field takes and every shortcut pressed in it, one line each:
//   READY <pid>   TEXT <text>   KEY <shortcut, e.g. Ctrl+V>
// Options: --title <window title>, --text <initial text>,
// --select <start> <length>, --password.
#include <QApplication>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLineEdit>
#include <QTimer>
#include <cstdio>

namespace {

void say(const QString& line)
{
    std::fputs((line + QLatin1Char('\n')).toUtf8().constData(), stdout);
    std::fflush(stdout);
}

// Reports shortcuts (keys pressed with Ctrl or Alt); plain typing is seen as TEXT.
class ShortcutReporter : public QObject
{
protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::KeyPress) {
            const auto* key = static_cast<QKeyEvent*>(event);
            if (key->modifiers() & (Qt::ControlModifier | Qt::AltModifier))
                say("KEY " + QKeySequence(key->keyCombination()).toString(QKeySequence::PortableText));
        }
        return QObject::eventFilter(watched, event);
    }
};

}

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("PasteTarget"));

    QLineEdit edit;
    edit.setWindowTitle(QStringLiteral("Paste Target"));
    edit.resize(400, 40);
    const QStringList args = QApplication::arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == "--title" && i + 1 < args.size())
            edit.setWindowTitle(args[++i]);
        else if (args[i] == "--text" && i + 1 < args.size())
            edit.setText(args[++i]);
        else if (args[i] == "--select" && i + 2 < args.size()) {
            const int start = args[++i].toInt();
            edit.setSelection(start, args[++i].toInt());
        } else if (args[i] == "--password")
            edit.setEchoMode(QLineEdit::Password);
    }

    ShortcutReporter reporter;
    edit.installEventFilter(&reporter);
    QObject::connect(&edit, &QLineEdit::textChanged, [](const QString& text) { say("TEXT " + text); });

    QTimer readiness;
    QObject::connect(&readiness, &QTimer::timeout, [&] {
        if (edit.isActiveWindow() && edit.hasFocus()) {
            readiness.stop();
            say(QStringLiteral("READY %1").arg(QApplication::applicationPid()));
        }
    });
    readiness.start(10);

    edit.show();
    edit.activateWindow();
    return app.exec();
}
