#pragma once

#include <QByteArray>
#include <QTemporaryFile>

// Sends what the process writes to its standard output and error (printf,
// std::cout, qDebug, a logger's echo) into a temporary file for its lifetime,
// so that a test can read it back. Written out to the real output again when
// it ends, so that a failing test still shows it.
class OutputCapture
{
public:
    OutputCapture();
    ~OutputCapture();
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    // Everything written to either since the capture began.
    QByteArray text();

private:
    QTemporaryFile m_file;
    int m_savedOut = -1;
    int m_savedErr = -1;
};
