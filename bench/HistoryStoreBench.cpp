// History list read benchmark: the store's list of one owner's recordings
// (newest first, deleted ones left out) over a store of many recordings with
// long texts, against SQLite's own time for the same statement stepped over
// the same rows with every column read. Both run in the same process on the
// same file, so the ratio holds on any machine.
// Usage: history_store_bench [recordings] [runs]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "HistoryStore.h"
#include "Median.h"

using namespace historybench;

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int recordings = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 9;

    QTemporaryDir folder;
    DatabaseManager db(folder.path());
    populate(db, recordings);
    sqlite3* raw = openReadOnly(folder.path());
    if (!raw)
        return 1;

    std::vector<double> store, sqlite;
    // Kept until the next read has replaced it, as a list on screen is.
    QList<Recording> shown;
    int stepped = 0;
    // Alternated, so that both see the same cache and machine load.
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer timer;
        timer.start();
        QList<Recording> read = db.fetchAllRecordings(kUser, false);
        store.push_back(timer.nsecsElapsed() / 1e6);
        shown = std::move(read);
        sqlite.push_back(sqliteOwnTime(raw, stepped));
    }

    sqlite3_close(raw);

    const double storeMs = median(store);
    const double sqliteMs = median(sqlite);
    std::printf("History list read over %d recordings (~900 characters of text each), median of %d runs:\n",
                recordings, runs);
    std::printf("  SQLite stepping the same statement (%d rows): %8.1f ms\n", stepped, sqliteMs);
    std::printf("  store fetchAllRecordings (%lld recordings):    %8.1f ms\n",
                static_cast<long long>(shown.size()), storeMs);
    std::printf("  ratio: %.2f\n", storeMs / sqliteMs);
    return shown.size() == stepped ? 0 : 1;
}
