#pragma once

#include <QWidget>

#include "transcription/APITester.h"

class QPushButton;
class QVBoxLayout;
class SessionManager;
class Spinner;

// The settings screen's service test: a button that probes the services with
// the keys stored at that moment, a spinner while the probes run, and one row
// per probe as the tester publishes it (status dot, model, message, latency).
// The section owns its tester: a new section starts with no rows.
class ServiceTestSection : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kModelWidth = 130;
    static constexpr int kMessageLines = 2;
    // Shown while a probe waits for its answer.
    static inline const QColor kPendingColour{142, 142, 147};

    explicit ServiceTestSection(SessionManager& session, QWidget* parent = nullptr);

    const APITester& tester() const { return m_tester; }
    // A probe's time in seconds as its row shows it ("1.2s").
    static QString latencyText(double seconds);

private:
    void runAll();
    void showRunning();
    void showResults();
    QWidget* buildRow(const APITester::TestResult& result);

    SessionManager& m_session;
    APITester m_tester;
    QPushButton* m_button;
    Spinner* m_spinner;
    QVBoxLayout* m_rows;
};
