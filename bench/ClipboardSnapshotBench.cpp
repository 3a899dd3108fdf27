// Clipboard snapshot benchmark: the snapshot a paste takes of another
// program's clipboard (tests/tools/ClipboardOwner.cpp in a process of its
// own), through the bounded X11 reader, against the former way that asked
// the toolkit's clipboard for every format it listed, pseudo-targets
// included, each on the main thread with the toolkit's own wait.
// Usage (on an X display with QT_QPA_PLATFORM=xcb):
//   clipboard_bench <path of talvex_clipboard_owner> [runs]
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QMimeData>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

#include "platform/x11/X11ClipboardReader.h"
#include "session/ClipboardSnapshot.h"
#include "store/Logger.h"

namespace {

// The toolkit's read of every format listed, as the snapshot did before.
void toolkitRead(const QClipboard& clipboard)
{
    const QMimeData* data = clipboard.mimeData();
    if (!data)
        return;
    for (const QString& format : data->formats())
        data->data(format);
}

double medianMs(int runs, const std::function<void()>& run)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        run();
        times.push_back(timer.nsecsElapsed() / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: clipboard_bench <talvex_clipboard_owner> [runs]\n");
        return 2;
    }
    const QString ownerPath = QString::fromLocal8Bit(argv[1]);
    const int runs = argc > 2 ? std::atoi(argv[2]) : 10;
    QTemporaryDir logs;
    Logger logger(logs.path());
    X11ClipboardReader reader;
    QClipboard& clipboard = *QApplication::clipboard();

    const struct {
        const char* name;
        QStringList formats;
        int runs;
    } cases[] = {
        {"text as a browser offers it (5 text formats, html)",
         {"UTF8_STRING=text:Hello world", "STRING=text:Hello world", "TEXT=text:Hello world",
          "text/plain;charset=utf-8=text:Hello world", "text/html=text:<b>Hello</b> world"},
         runs},
        {"an image of 8 MB (incremental transfer) and its text",
         {"UTF8_STRING=text:image", "image/png=incr:8000000"}, std::max(1, runs / 2)},
        {"text and one format whose owner never answers",
         {"UTF8_STRING=text:Hello", "text/html=text:<b>Hello</b>", "application/x-hung=silent"}, 1},
    };
    for (const auto& c : cases) {
        // Owned by us first: losing it makes the toolkit drop what it knew
        // of the earlier owner's formats.
        clipboard.setText(QStringLiteral("bench"));
        QProcess owner;
        owner.start(ownerPath, c.formats);
        if (!owner.waitForReadyRead(5000)) {
            std::fprintf(stderr, "the clipboard owner did not start\n");
            return 1;
        }
        // Until the toolkit has seen that it lost the clipboard.
        while (clipboard.ownsClipboard())
            QCoreApplication::processEvents();
        const std::optional<ClipboardContent> content = reader.read({});
        std::printf("%s: %d formats kept, %d left out (owner alive: %d)\n", c.name,
                    content ? int(content->formats.size()) : -1, content ? int(content->leftOut.size()) : -1,
                    owner.state() == QProcess::Running);
        if (content)
            for (const QString& line : content->leftOut)
                std::printf("  left out: %s\n", qPrintable(line));
        const double bounded = medianMs(c.runs, [&] { ClipboardSnapshot::take(clipboard, &reader, logger); });
        const double before = medianMs(c.runs, [&] { toolkitRead(clipboard); });
        if (const QMimeData* data = clipboard.mimeData()) {
            qsizetype bytes = 0;
            for (const QString& format : data->formats())
                bytes += data->data(format).size();
            std::printf("  the toolkit lists %s (%lld bytes)\n", qPrintable(data->formats().join(", ")),
                        qlonglong(bytes));
        }
        std::printf("%-55s  snapshot %9.1f ms   toolkit read (before) %9.1f ms   (median of %d)\n", c.name,
                    bounded, before, c.runs);
        owner.kill();
        owner.waitForFinished();
    }
    return 0;
}
