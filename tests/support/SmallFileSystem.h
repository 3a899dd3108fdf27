#pragma once

#include <QString>

// A small tmpfs mounted over a folder for the life of the object, and a
// ballast file that fills it to the last byte: a disk that is full. Needs the
// right to mount (root); mounted() says whether it worked and error() why not.
class SmallFileSystem
{
public:
    SmallFileSystem(const QString& folder, qint64 bytes);
    ~SmallFileSystem();
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;

    bool mounted() const { return m_mounted; }
    QString error() const { return m_error; }

    // Writes the ballast until the file system has no byte left; false when
    // the disk did not fill.
    bool fill();
    void removeBallast();
    void unmount();

private:
    QString m_folder;
    bool m_mounted = false;
    QString m_error;
};
