#include "support/OutputCapture.h"

#include <QFile>
#include <cstdio>
#include <iostream>
#include <unistd.h>

namespace {

void flushAll()
{
    std::cout.flush();
    std::cerr.flush();
    std::fflush(stdout);
    std::fflush(stderr);
}

}  // namespace

OutputCapture::OutputCapture()
{
    if (!m_file.open())
        return;
    flushAll();
    m_savedOut = ::dup(STDOUT_FILENO);
    m_savedErr = ::dup(STDERR_FILENO);
    ::dup2(m_file.handle(), STDOUT_FILENO);
    ::dup2(m_file.handle(), STDERR_FILENO);
}

OutputCapture::~OutputCapture()
{
    if (m_savedOut < 0)
        return;
    const QByteArray captured = text();
    ::dup2(m_savedOut, STDOUT_FILENO);
    ::dup2(m_savedErr, STDERR_FILENO);
    ::close(m_savedOut);
    ::close(m_savedErr);
    if (!captured.isEmpty())
        [[maybe_unused]] const ssize_t written = ::write(STDOUT_FILENO, captured.constData(), size_t(captured.size()));
}

QByteArray OutputCapture::text()
{
    flushAll();
    QFile reader(m_file.fileName());
    if (!reader.open(QIODevice::ReadOnly))
        return {};
    return reader.readAll();
}
