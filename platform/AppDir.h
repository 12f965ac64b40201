#pragma once
// Where the tool keeps its files.
//
// Two kinds of copy:
// - A portable one (a build tree, an unpacked folder): everything lives in the directory of the
//   executable, the application directory.
// - An installed one, recognised by its executable sitting in a bin/ directory with
//   ../share/xv4tool/ beside it (never by whether the directory is writable: root can write
//   /usr/bin). Its settings go to $XDG_CONFIG_HOME/xv4tool (default ~/.config/xv4tool) and
//   what it records to $XDG_STATE_HOME/xv4tool (default ~/.local/state/xv4tool).
// --data-dir DIR (SetApplicationDir) or the environment variable XV4_HOME names one directory
// for everything, whichever the copy.
//
// ApplicationDir(): Config.cfg, Option.ini, Chinese.LNG, zk16.hex (settings and the files the
// user hands to the tool). StateDir(): log.hex, LOG/, debug/. Both are the same directory except
// in an installed copy without --data-dir or XV4_HOME. Paths returned here end in '/'.
//
// Set once at start-up, before other threads exist; read from any thread afterwards.

#include <QProcessEnvironment>
#include <QString>

namespace xv4::platform {

QString ExecutablePath();
QString ExecutableDir();

// --data-dir (SetApplicationDir), else XV4_HOME, else the executable's directory in a portable
// copy, else the per-user configuration directory.
QString ApplicationDir();
void SetApplicationDir(const QString& dir);

// Where log.hex, LOG/ and debug/ go: ApplicationDir(), except in an installed copy without
// --data-dir or XV4_HOME (the per-user state directory).
QString StateDir();

// True when the executable's directory is a bin/ with ../share/xv4tool/ beside it.
bool IsInstalledLayout(const QString& executableDir);

// The choice behind ApplicationDir() and StateDir(), from its inputs: the directory given by
// --data-dir (empty: none), the executable's directory and the environment (XV4_HOME,
// XDG_CONFIG_HOME, XDG_STATE_HOME, HOME; relative XDG paths are ignored, as the XDG rules ask).
struct DataDirs {
  QString config;
  QString state;
  bool perUser = false;  // the XDG directories of an installed copy
};
DataDirs ChooseDataDirs(const QString& chosenDir, const QString& executableDir,
                        const QProcessEnvironment& env);

// An installed copy creates its per-user directories (readable by their owner only, since
// Config.cfg holds a WiFi password) before it writes there. Does nothing for a portable copy or
// a named directory. Returns false with a text naming the directory when one cannot be created.
bool CreatePerUserDirs(QString* error);

// Files that ship with the program and are only read (the translated language files): the copy
// in the application directory when there is one, else the one beside the executable, else the
// one in an installed share directory (../share/xv4tool). Returns the application-directory path
// when none exists.
QString ShippedFilePath(const QString& fileName);

}  // namespace xv4::platform
