// The dictation state table: every operation in a state that does not accept
// it changes nothing and logs nothing (a toggle while busy only warns).
#include <QSignalSpy>
#include <gtest/gtest.h>

#include "SessionFixture.h"

using namespace sessiontest;

namespace {

enum class Op { toggle, pause, resume, stop, cancelRecording, cancelProcessing, injectText, copyText,
                cancelInjection };

const char* name(Op op)
{
    switch (op) {
    case Op::toggle: return "Toggle";
    case Op::pause: return "Pause";
    case Op::resume: return "Resume";
    case Op::stop: return "Stop";
    case Op::cancelRecording: return "CancelRecording";
    case Op::cancelProcessing: return "CancelProcessing";
    case Op::injectText: return "InjectText";
    case Op::copyText: return "CopyText";
    case Op::cancelInjection: return "CancelInjection";
    }
    return "?";
}

void apply(SessionManager& session, Op op)
{
    switch (op) {
    case Op::toggle: session.toggleRecording(); return;
    case Op::pause: session.pauseRecording(); return;
    case Op::resume: session.resumeRecording(); return;
    case Op::stop: session.stopRecording(); return;
    case Op::cancelRecording: session.cancelRecording(); return;
    case Op::cancelProcessing: session.cancelProcessing(); return;
    case Op::injectText: session.injectText(); return;
    case Op::copyText: session.copyText(); return;
    case Op::cancelInjection: session.cancelInjection(); return;
    }
}

struct IgnoredCase
{
    SessionState state;
    Op op;
    QString loggedInstead;   // the one line the operation logs; empty for none
};

std::ostream& operator<<(std::ostream& out, const IgnoredCase& c)
{
    return out << toText(c.state).toStdString() << '_' << name(c.op);
}

// The operations each state must ignore.
std::vector<IgnoredCase> ignoredCases()
{
    using S = SessionState;
    const QList<std::pair<S, QList<Op>>> ignored = {
        {S::idle, {Op::pause, Op::resume, Op::stop, Op::cancelRecording, Op::cancelProcessing,
                   Op::injectText, Op::copyText, Op::cancelInjection}},
        {S::recording, {Op::resume, Op::cancelProcessing, Op::injectText, Op::copyText,
                        Op::cancelInjection}},
        {S::paused, {Op::pause, Op::cancelProcessing, Op::injectText, Op::copyText,
                     Op::cancelInjection}},
        {S::processing, {Op::toggle, Op::pause, Op::resume, Op::stop, Op::cancelRecording,
                         Op::injectText, Op::copyText, Op::cancelInjection}},
        {S::confirming, {Op::toggle, Op::pause, Op::resume, Op::stop, Op::cancelRecording,
                         Op::cancelProcessing}},
    };
    std::vector<IgnoredCase> cases;
    for (const auto& [state, ops] : ignored) {
        for (Op op : ops) {
            const bool warns = op == Op::toggle;
            cases.push_back({state, op,
                          warns ? "WARN SessionManager: ignored toggle, currently " + toText(state)
                                : QString()});
        }
    }
    return cases;
}

class SessionManagerIgnoredOperation : public SessionFixture,
                                       public testing::WithParamInterface<IgnoredCase>
{
protected:
    // Everything an operation could change, in one text.
    std::string snapshot()
    {
        QStringList parts{
            "state " + toText(session->state()),
            "current " + QString::fromStdString(describe(session->currentRecording())),
            "cleaned " + text(session->cleanedText()),
            "target " + (session->injectionTarget()
                             ? session->injectionTarget()->appName + "/" + session->injectionTarget()->detail
                             : QString("none")),
            "characters " + QString::number(session->characterCount()),
            "error " + text(session->errorMessage()),
            "injector target " + (session->textInjector().targetApp()
                                      ? session->textInjector().targetApp()->name : QString("none")),
            "clipboard '" + clipboardText() + "'",
            "writes " + field->writes.join(','),
            "pastes " + QString::number(keys.pastes()),
            "alerts " + QString::number(alerts.shown.size()),
            "requests " + QString::number(services.openAI.requests().size()),
        };
        for (const Recording& r : session->database().fetchAllRecordings(std::nullopt, true)) {
            parts << "row " + QString::fromStdString(describe(r));
            for (const Slice& s : session->database().fetchSlices(r.id, true))
                parts << "slice " + QString::fromStdString(describe(s));
        }
        return parts.join('\n').toStdString();
    }
};

}  // namespace

TEST_P(SessionManagerIgnoredOperation, ChangesNothing)
{
    const IgnoredCase c = GetParam();
    reach(c.state);
    if (HasFatalFailure())
        return;
    const std::string before = snapshot();
    freshLines();
    QSignalSpy stateSpy(session.get(), &SessionManager::stateChanged);
    QSignalSpy changedSpy(session.get(), &SessionManager::changed);

    apply(*session, c.op);

    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(stateSpy.count(), 0);
    EXPECT_EQ(changedSpy.count(), 0);
    EXPECT_EQ(freshLines(), c.loggedInstead.isEmpty() ? QStringList() : QStringList{c.loggedInstead});
}

INSTANTIATE_TEST_SUITE_P(StateTable, SessionManagerIgnoredOperation,
                         testing::ValuesIn(ignoredCases()),
                         [](const testing::TestParamInfo<IgnoredCase>& info) {
                             std::ostringstream name;
                             name << info.param;
                             return name.str();
                         });
