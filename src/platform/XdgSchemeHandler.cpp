#include "platform/XdgSchemeHandler.h"

#include <QCoreApplication>
#include <QCoroProcess>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>
#include <algorithm>
#include <memory>

namespace {

// The template of the entry: the desktop file the project ships.
constexpr auto kTemplate = ":/desktop/talvex.desktop";

// The program of a desktop entry's Exec line: its first word, quoted or not.
QString execProgram(const QString& exec)
{
    const QString line = exec.trimmed();
    if (!line.startsWith(QLatin1Char('"')))
        return line.section(QLatin1Char(' '), 0, 0);
    QString program;
    for (qsizetype i = 1; i < line.size(); ++i) {
        const QChar c = line[i];
        if (c == QLatin1Char('\\') && i + 1 < line.size())
            program += line[++i];
        else if (c == QLatin1Char('"'))
            break;
        else
            program += c;
    }
    return program;
}

// Whether the entry `name` exists where the desktop looks for entries and
// names a program that can be run.
bool handlerUsable(const QString& name)
{
    const QString path = QStandardPaths::locate(QStandardPaths::ApplicationsLocation, name);
    if (path.isEmpty())
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    bool inEntry = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('[')))
            inEntry = line == QLatin1String("[Desktop Entry]");
        else if (inEntry && line.startsWith(QLatin1String("Exec="))) {
            const QString program = execProgram(line.mid(5));
            if (program.isEmpty())
                return false;
            if (QFileInfo(program).isAbsolute())
                return QFileInfo(program).isExecutable() && QFileInfo(program).isFile();
            return !QStandardPaths::findExecutable(program).isEmpty();
        }
    }
    return false;
}

// The program as one word of an Exec line; quoted only when it must be, as
// xdg-mime's own check of a handler reads the first word unquoted.
QString quotedForExec(const QString& program)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`%");
    if (std::none_of(program.begin(), program.end(), [](QChar c) { return reserved.contains(c); }))
        return program;
    QString quoted;
    for (const QChar c : program) {
        // The Exec quoting escapes these with a backslash; the entry's own
        // string escaping then doubles every backslash.
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$'))
            quoted += QLatin1String("\\\\");
        else if (c == QLatin1Char('\\'))
            quoted += QLatin1String("\\\\\\");
        else if (c == QLatin1Char('%'))
            quoted += QLatin1Char('%');
        quoted += c;
    }
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

}  // namespace

XdgSchemeHandler::XdgSchemeHandler(Setup setup) : m_setup(std::move(setup))
{
    if (m_setup.program.isEmpty())
        m_setup.program = QCoreApplication::applicationFilePath();
    if (m_setup.applicationsFolder.isEmpty())
        m_setup.applicationsFolder =
            QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/applications");
}

QString XdgSchemeHandler::desktopFilePath(const Setup& setup)
{
    return setup.applicationsFolder + QLatin1Char('/') + QLatin1String(kDesktopFileName);
}

QCoro::Task<Result<XdgSchemeHandler::Outcome, QString>> XdgSchemeHandler::ensureRegistered()
{
    const Setup setup = m_setup;   // this object may go while a command runs
    const QString mimeType = QString::fromLatin1(kMimeType);
    const QString entry = QString::fromLatin1(kDesktopFileName);
    const QStringList query{QStringLiteral("query"), QStringLiteral("default"), mimeType};
    const QStringList makeDefault{QStringLiteral("default"), entry, mimeType};
    const CommandOutput current = co_await run(setup, query);
    if (!current.ok)
        co_return current.text;
    const QString handler = current.text.trimmed();
    if (!handler.isEmpty() && handlerUsable(handler))
        co_return Outcome::alreadyRegistered;

    if (const std::optional<QString> problem = writeDesktopFile(setup))
        co_return *problem;
    const CommandOutput set = co_await run(setup, makeDefault);
    if (!set.ok)
        co_return set.text;
    co_return Outcome::registered;
}

std::optional<QString> XdgSchemeHandler::writeDesktopFile(const Setup& setup)
{
    QFile source(QString::fromLatin1(kTemplate));
    if (!source.open(QIODevice::ReadOnly | QIODevice::Text))
        return QStringLiteral("the desktop entry template is missing from this build");
    QStringList lines;
    for (const QString& line : QString::fromUtf8(source.readAll()).split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("Exec=")))
            lines << QStringLiteral("Exec=") + quotedForExec(setup.program) + QStringLiteral(" %u");
        else
            lines << line;
    }
    if (!QDir().mkpath(setup.applicationsFolder))
        return QStringLiteral("cannot create the folder %1").arg(setup.applicationsFolder);
    QSaveFile file(desktopFilePath(setup));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text) || file.write(lines.join(QLatin1Char('\n')).toUtf8()) < 0
        || !file.commit())
        return QStringLiteral("cannot write %1: %2").arg(desktopFilePath(setup), file.errorString());
    return std::nullopt;
}

QCoro::Task<XdgSchemeHandler::CommandOutput> XdgSchemeHandler::run(Setup setup, QStringList arguments)
{
    const QString command = setup.xdgMime + QLatin1Char(' ') + arguments.join(QLatin1Char(' '));
    // A program that cannot be started would hold the start's wait to its end.
    if (QStandardPaths::findExecutable(setup.xdgMime).isEmpty())
        co_return CommandOutput{false, QStringLiteral("%1 could not be run (no such program); is xdg-utils installed?")
                                           .arg(command)};
    auto process = std::make_unique<QProcess>();
    process->setProgram(setup.xdgMime);
    process->setArguments(arguments);
    process->setStandardInputFile(QProcess::nullDevice());
    if (!co_await qCoro(*process).start()) {
        co_return CommandOutput{false, QStringLiteral("%1 could not be run (%2); is xdg-utils installed?")
                                           .arg(command, process->errorString())};
    }
    if (!co_await qCoro(*process).waitForFinished(setup.commandTimeout)) {
        process->kill();
        process->waitForFinished(1000);
        co_return CommandOutput{false, QStringLiteral("%1 did not finish").arg(command)};
    }
    if (process->exitStatus() != QProcess::NormalExit || process->exitCode() != 0) {
        const QString error = QString::fromLocal8Bit(process->readAllStandardError()).trimmed();
        co_return CommandOutput{false, QStringLiteral("%1 failed with exit code %2%3")
                                           .arg(command)
                                           .arg(process->exitCode())
                                           .arg(error.isEmpty() ? QString() : QStringLiteral(": ") + error)};
    }
    co_return CommandOutput{true, QString::fromLocal8Bit(process->readAllStandardOutput())};
}
