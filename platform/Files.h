#pragma once
// File-system helpers shared by the components.

#include <QByteArrayView>
#include <QString>

namespace xv4::platform {

// Creates every missing level of a directory path and returns true when the whole path exists
// as directories afterwards. An absolute path is walked from "/", a relative one from the
// current directory. Blanks around each level are trimmed and the walk stops at the first empty
// level. Fails when a level exists as a file or cannot be created.
bool CreateDirectoryPath(const QString& path);

// Size in bytes of the file at path, or -1 when there is no such file.
qint64 FileSizeOf(const QString& path);

// Replaces path with data through a temporary file in the same directory and a rename, so that
// readers see the old or the new content and never a partial one. With ownerOnly the file is
// readable and writable by its owner only (0600). On failure the old file is left untouched.
bool WriteFileAtomic(const QString& path, QByteArrayView data, bool ownerOnly,
                     QString* error = nullptr);

// Takes the group and other permissions off an existing file (chmod 0600).
void RestrictToOwner(const QString& path);

}  // namespace xv4::platform
