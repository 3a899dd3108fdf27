// Debug console benchmark: one rebuild of the console's text with the
// logger's full list (1,000 entries of every level, log-sized messages), in a
// shown console of the main window's size, as a new line arrives at the end.
// Prints the median of the rebuild alone and of the rebuild with the repaint
// that follows it.
// Usage: debug_console_bench [runs]
#include <QApplication>
#include <QElapsedTimer>
#include <QUuid>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "store/Logger.h"
#include "support/TempHome.h"
#include "ui/DebugConsoleView.h"
#include "Median.h"

namespace {

QList<Logger::LogEntry> fullList(int offset)
{
    static const LogLevel levels[] = {LogLevel::info, LogLevel::debug, LogLevel::warning, LogLevel::error};
    const QDateTime start = QDateTime::currentDateTime().addSecs(-3600);
    QList<Logger::LogEntry> list;
    for (int i = 0; i < Logger::kMaxEntries; ++i) {
        const int n = i + offset;
        list << Logger::LogEntry{
            QUuid::createUuid(), start.addMSecs(n * 250), levels[n % 4],
            QStringLiteral("TranscriptionOrchestrator: slice %1 of recording %2 transcribed in %3 ms")
                .arg(n).arg(QUuid::createUuid().toString(QUuid::WithoutBraces)).arg(n % 900)};
    }
    return list;
}

}

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 31;

    TempHome home;
    Logger logger(home.path());
    DebugConsoleView console(logger);
    console.resize(520, 560);
    console.show();
    const QList<Logger::LogEntry> lists[] = {fullList(0), fullList(1)};
    logger.setEntries(lists[1]);
    QApplication::processEvents();

    std::vector<double> rebuild;
    std::vector<double> withPaint;
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer timer;
        timer.start();
        logger.setEntries(lists[run % 2]);
        // The console's rebuild is the one call it has queued.
        QCoreApplication::sendPostedEvents(&console, QEvent::MetaCall);
        rebuild.push_back(timer.nsecsElapsed() / 1e6);
        console.repaint();
        withPaint.push_back(timer.nsecsElapsed() / 1e6);
    }
    std::printf("debug console, %d entries, %d runs (platform %s)\n", int(Logger::kMaxEntries), runs,
                qPrintable(QGuiApplication::platformName()));
    std::printf("  rebuild:           median %.1f ms, min %.1f, max %.1f\n", median(rebuild),
                *std::min_element(rebuild.begin(), rebuild.end()),
                *std::max_element(rebuild.begin(), rebuild.end()));
    std::printf("  rebuild + repaint: median %.1f ms\n", median(withPaint));
    return 0;
}
