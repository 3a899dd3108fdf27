// A window with one focused text field for the desktop tests: it tells on
// standard output when it is ready (active, field focused), every text the
// field takes and every shortcut pressed in it, one line each:
//   READY <pid>   TEXT <text>   HTML <html>   KEY <shortcut, e.g. Ctrl+V>
// HTML lines come from a rich text field only, after each TEXT line. Texts
// are escaped so that each stays on one line: a backslash is written as two
// backslashes, a line break as a backslash and "n", a NUL as a backslash and
// "0".
// Options: --title <window title>, --text <initial text>, --escaped-text
// <initial text, escaped as above>, --select <start> <length>, --password,
// --plain (a multi-line QPlainTextEdit), --rich (a QTextEdit; the initial
// text is HTML), --widgets <count> (that many labels, in rows of 100 in a
// scrolled pane, above the field, which comes last in the window's tree),
// --second-text <text> (a second line edit below the field).
// Commands on standard input, one a line: "focus second" (focuses the second
// field, then says FOCUSED second), "drop second" (deletes the second field,
// leaving no field that takes the focus, then says DROPPED second).
#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QScrollArea>
#include <QSocketNotifier>
#include <QVBoxLayout>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextEdit>
#include <QTimer>
#include <QTextCursor>
#include <QPointer>
#include <cstdio>
#include <optional>
#include <unistd.h>

#include "LineEscapes.h"

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

struct Options
{
    QString title = QStringLiteral("Paste Target");
    QString text;
    std::optional<std::pair<int, int>> selection;   // start, length
    bool password = false;
    bool plain = false;
    bool rich = false;
    int widgets = 0;
    std::optional<QString> secondText;
};

Options parse(const QStringList& args)
{
    Options options;
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == "--title" && i + 1 < args.size())
            options.title = args[++i];
        else if (args[i] == "--text" && i + 1 < args.size())
            options.text = args[++i];
        else if (args[i] == "--escaped-text" && i + 1 < args.size())
            options.text = unescapedFromLine(args[++i]);
        else if (args[i] == "--select" && i + 2 < args.size()) {
            const int start = args[++i].toInt();
            options.selection = std::pair{start, args[++i].toInt()};
        } else if (args[i] == "--password")
            options.password = true;
        else if (args[i] == "--plain")
            options.plain = true;
        else if (args[i] == "--rich")
            options.rich = true;
        else if (args[i] == "--widgets" && i + 1 < args.size())
            options.widgets = args[++i].toInt();
        else if (args[i] == "--second-text" && i + 1 < args.size())
            options.secondText = args[++i];
    }
    return options;
}

QWidget* lineEdit(const Options& options)
{
    auto* edit = new QLineEdit;
    edit->setText(options.text);
    if (options.selection)
        edit->setSelection(options.selection->first, options.selection->second);
    if (options.password)
        edit->setEchoMode(QLineEdit::Password);
    QObject::connect(edit, &QLineEdit::textChanged,
                     [](const QString& text) { say("TEXT " + escapedForLine(text)); });
    return edit;
}

// The selection (or, without one, the caret at the end) of a multi-line field.
template <typename Edit>
void placeCursor(Edit* edit, const Options& options)
{
    QTextCursor cursor = edit->textCursor();
    if (options.selection) {
        cursor.setPosition(options.selection->first);
        cursor.setPosition(options.selection->first + options.selection->second, QTextCursor::KeepAnchor);
    } else {
        cursor.movePosition(QTextCursor::End);
    }
    edit->setTextCursor(cursor);
}

QWidget* plainTextEdit(const Options& options)
{
    auto* edit = new QPlainTextEdit;
    edit->setPlainText(options.text);
    placeCursor(edit, options);
    QObject::connect(edit, &QPlainTextEdit::textChanged,
                     [edit] { say("TEXT " + escapedForLine(edit->toPlainText())); });
    return edit;
}

QWidget* richTextEdit(const Options& options)
{
    auto* edit = new QTextEdit;
    edit->setHtml(options.text);
    placeCursor(edit, options);
    QObject::connect(edit, &QTextEdit::textChanged, [edit] {
        say("TEXT " + escapedForLine(edit->toPlainText()));
        say("HTML " + escapedForLine(edit->toHtml()));
    });
    return edit;
}

// A window with a pane of `count` labels above the field: a large tree to
// search through, the field at its very end.
QWidget* crowded(QWidget* field, int count)
{
    auto* rows = new QWidget;
    auto* rowsLayout = new QVBoxLayout(rows);
    for (int first = 0; first < count; first += 100) {
        auto* row = new QWidget;
        auto* rowLayout = new QHBoxLayout(row);
        for (int n = first; n < std::min(count, first + 100); ++n)
            rowLayout->addWidget(new QLabel(QStringLiteral("item %1").arg(n)));
        rowsLayout->addWidget(row);
    }
    auto* pane = new QScrollArea;
    pane->setWidget(rows);
    auto* window = new QWidget;
    auto* layout = new QVBoxLayout(window);
    layout->addWidget(pane);
    layout->addWidget(field);
    return window;
}

// The field with a second line edit below it.
QWidget* withSecondField(QWidget* field, QLineEdit* second)
{
    auto* pair = new QWidget;
    auto* layout = new QVBoxLayout(pair);
    layout->addWidget(field);
    layout->addWidget(second);
    return pair;
}

// Runs the commands that arrive on standard input.
void obeyCommands(QWidget* field, QPointer<QLineEdit> second)
{
    auto* notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, field);
    auto pending = std::make_shared<QByteArray>();
    QObject::connect(notifier, &QSocketNotifier::activated, [=] {
        char buffer[256];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0) {
            notifier->setEnabled(false);
            return;
        }
        pending->append(buffer, got);
        for (qsizetype end; (end = pending->indexOf('\n')) >= 0;) {
            const QByteArray command = pending->left(end);
            pending->remove(0, end + 1);
            if (command == "focus second" && second) {
                second->setFocus();
                auto* check = new QTimer(field);
                QObject::connect(check, &QTimer::timeout, [=] {
                    if (second && second->hasFocus()) {
                        check->deleteLater();
                        say(QStringLiteral("FOCUSED second"));
                    }
                });
                check->start(10);
            } else if (command == "drop second" && second) {
                field->setFocusPolicy(Qt::NoFocus);
                delete second.data();
                say(QStringLiteral("DROPPED second"));
            }
        }
    });
}

}

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("PasteTarget"));

    const Options options = parse(QApplication::arguments());
    QWidget* edit = options.rich ? richTextEdit(options)
        : options.plain          ? plainTextEdit(options)
                                 : lineEdit(options);
    QPointer<QLineEdit> second;
    QWidget* fields = edit;
    if (options.secondText) {
        second = new QLineEdit(*options.secondText);
        fields = withSecondField(edit, second);
    }
    obeyCommands(edit, second);
    QWidget* window = options.widgets > 0 ? crowded(fields, options.widgets) : fields;
    window->setWindowTitle(options.title);
    window->resize(400, options.rich || options.plain || options.widgets > 0 || options.secondText ? 200 : 40);

    ShortcutReporter reporter;
    edit->installEventFilter(&reporter);

    QTimer readiness;
    QObject::connect(&readiness, &QTimer::timeout, [&] {
        if (edit->isActiveWindow() && edit->hasFocus()) {
            readiness.stop();
            say(QStringLiteral("READY %1").arg(QApplication::applicationPid()));
        }
    });
    readiness.start(10);

    window->show();
    window->activateWindow();
    edit->setFocus();
    const int result = app.exec();
    delete window;
    return result;
}
