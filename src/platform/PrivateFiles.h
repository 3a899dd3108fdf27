#pragma once

#include <QFileDevice>
#include <QString>

// Folders and files that only their owner may open: what Talvex keeps holds
// what the user said and what the focused field showed. Folders get 0700,
// files 0600, whatever the process's umask.
class PrivateFiles
{
public:
    static constexpr QFileDevice::Permissions kFilePermissions =
        QFileDevice::ReadOwner | QFileDevice::WriteOwner;

    // Makes `path` (and its missing parents) a folder of mode 0700; false when
    // it is no folder afterwards.
    static bool makeFolder(const QString& path);
    // Creates `path` as an empty file of mode 0600; an existing file keeps its
    // content and gets mode 0600. False when neither works.
    static bool createFile(const QString& path);
    // Gives `folder` and every folder below it mode 0700, and every file in
    // them 0600; symbolic links and what they point to are left alone.
    static void restrictTree(const QString& folder);
};
