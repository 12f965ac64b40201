#pragma once
// Where the tool keeps its files.
//
// The application directory holds the settings, the language files, Option.ini, log.hex,
// zk16.hex and the LOG/ and debug/ folders. It is the directory of the executable, so a build
// tree or an unpacked folder is a self-contained installation; --data-dir DIR or the environment
// variable XV4_HOME points it elsewhere. Paths returned here end in '/'.
//
// Set once at start-up, before other threads exist; read from any thread afterwards.

#include <QString>

namespace xv4::platform {

QString ExecutablePath();
QString ExecutableDir();

// --data-dir (SetApplicationDir), else XV4_HOME, else the executable's directory.
QString ApplicationDir();
void SetApplicationDir(const QString& dir);

// Files that ship with the program and are only read (the translated language files): the copy
// in the application directory when there is one, else the one beside the executable, else the
// one in an installed share directory (../share/xv4tool). Returns the application-directory path
// when none exists.
QString ShippedFilePath(const QString& fileName);

}  // namespace xv4::platform
