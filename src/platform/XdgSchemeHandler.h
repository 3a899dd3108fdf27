#pragma once

#include <QCoroTask>
#include <QString>
#include <QStringList>
#include <chrono>
#include <optional>

#include "platform/Result.h"

// Where the handler is looked up and written; tests point it elsewhere.
struct XdgSchemeHandlerSetup
{
    QString xdgMime = QStringLiteral("xdg-mime");
    // This program's absolute path (the running executable when empty).
    QString program;
    // Where the entry is written ($XDG_DATA_HOME/applications when empty).
    QString applicationsFolder;
    // The longest wait for one xdg-mime run.
    std::chrono::milliseconds commandTimeout = std::chrono::seconds(10);
};

// Makes this program the desktop's handler of talvex:// links, so that the
// browser hands the sign-in's callback to a new launch of it (which passes it
// on to the running instance). Asks xdg-mime which program handles the links;
// when none does, or the registered one's program is gone, writes a desktop
// entry naming this program in the user's applications folder and registers it.
class XdgSchemeHandler
{
public:
    static constexpr auto kMimeType = "x-scheme-handler/talvex";
    static constexpr auto kDesktopFileName = "talvex.desktop";

    using Setup = XdgSchemeHandlerSetup;

    enum class Outcome {
        alreadyRegistered,   // a handler whose program exists: left as it is
        registered,          // this program is the handler from now on
    };

    explicit XdgSchemeHandler(Setup setup = {});

    // What it did, or why the links cannot reach this program.
    QCoro::Task<Result<Outcome, QString>> ensureRegistered();

    // The entry's path once registered.
    QString desktopFilePath() const { return desktopFilePath(m_setup); }

private:
    static QString desktopFilePath(const Setup& setup);
    struct CommandOutput
    {
        bool ok = false;
        QString text;   // standard output, or why the run failed
    };
    // Both work on a copy of the setup, so that a run outlives this object.
    static QCoro::Task<CommandOutput> run(Setup setup, QStringList arguments);
    // None when written; else why not.
    static std::optional<QString> writeDesktopFile(const Setup& setup);

    Setup m_setup;
};
