#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "store/Logger.h"
#include "platform/CancelToken.h"
#include "platform/HttpClient.h"
#include "support/FakeServices.h"
#include "support/RunTask.h"
#include "transcription/HttpTiming.h"

using namespace std::chrono_literals;

// Three fake cloud services on loopback, the base-address variables pointing
// at them, a logger in a temporary folder, the client the services send
// through and shrunken time-outs.
class ServiceFixture : public ::testing::Test
{
protected:
    // Every message logged so far.
    QStringList logMessages()
    {
        QCoreApplication::processEvents();   // the logger appends its list later
        QStringList messages;
        for (const Logger::LogEntry& entry : logger.entries())
            messages << entry.message;
        return messages;
    }

    // What the day's log file holds.
    QByteArray logFile()
    {
        logger.flush();
        QByteArray all;
        for (const QString& name : QDir(logsDir.path()).entryList(QDir::Files)) {
            QFile file(logsDir.path() + "/" + name);
            if (file.open(QIODevice::ReadOnly))
                all += file.readAll();
        }
        return all;
    }

    FakeServices services;
    HttpFake& openAI = services.openAI;
    HttpFake& dashScope = services.dashScope;
    HttpFake& deepSeek = services.deepSeek;
    // Another host, where a service's redirect points: nothing may reach it.
    HttpFake elsewhere;
    QTemporaryDir logsDir;
    Logger logger{logsDir.path()};
    HttpClient http;
    HttpTiming timing{.serviceRequestTimeout = 300ms, .serviceTestTimeout = 200ms};
};

// One scripted answer and what the caller must see: "text: " + the result, or
// "error: " + the error's description.
struct AnswerCase
{
    const char* name;
    HttpFake::Answer answer;
    QString expected;
    bool cancelOnArrival = false;
};

template <typename R>
QString outcomeText(const std::optional<R>& result)
{
    if (!result)
        return QStringLiteral("(no result in time)");
    return result->ok() ? QStringLiteral("text: ") + result->value()
                        : QStringLiteral("error: ") + result->error().description();
}

// Plays `c` on `fake` and runs `start(cancel)`, cancelling as the request
// arrives when the case asks for it. Returns the outcome text.
template <typename Start>
QString playCase(HttpFake& fake, const AnswerCase& c, Start start)
{
    const HttpFake::Answer answer = c.answer;
    fake.setResponder([answer](const HttpFake::Request&) { return answer; });
    CancelToken cancel;
    QMetaObject::Connection onArrival;
    if (c.cancelOnArrival)
        onArrival = QObject::connect(&fake, &HttpFake::requestReceived, [cancel] { cancel.cancel(); });
    const QString outcome = outcomeText(runTask(start(cancel)));
    QObject::disconnect(onArrival);
    return outcome;
}

// An answer that never comes.
inline HttpFake::Answer silentAnswer()
{
    HttpFake::Answer a;
    a.silent = true;
    return a;
}

// The connection closes without an answer.
inline HttpFake::Answer droppedAnswer()
{
    HttpFake::Answer a;
    a.dropAfter = 0;
    return a;
}

// Bytes that are not UTF-8 text.
inline const QByteArray kNotUtf8("\xff\xfe bad \xc3(", 9);

// A service answers with each status that sends a client to `target`
// ("Location"). The key must not go along and a POST must not become a GET:
// every one is an error, `expected` with %1 for the status.
inline QList<AnswerCase> redirectCases(const QUrl& target, const QString& expected)
{
    const std::pair<int, const char*> redirects[] = {
        {301, "301 moved permanently"}, {302, "302 found"},
        {303, "303 see other"},         {307, "307 temporary redirect"},
        {308, "308 permanent redirect"},
    };
    QList<AnswerCase> cases;
    for (const auto& [status, name] : redirects) {
        HttpFake::Answer moved = HttpFake::Answer::text(status, "moved");
        moved.headers = {{"Location", target.toEncoded()}};
        cases.append({name, moved, expected.arg(status)});
    }
    return cases;
}

// Failures that every service passes through unchanged.
inline QList<AnswerCase> transportCases()
{
    return {
        {"no answer: time-out", silentAnswer(), "error: The request timed out."},
        {"cancelled while waiting", silentAnswer(), "error: The request was cancelled.", true},
        {"connection dropped", droppedAnswer(), "error: Connection closed"},
    };
}
