#pragma once
// Where a file offered by the other station is stored, or why the offer is refused.
//
// The offer's name and directory come from the other station, so they are checked before
// anything touches the disk: the directory is always taken below the receive root (backslashes
// read as separators, a drive such as "C:" dropped, a leading separator ignored), and the result
// must stay below that root. Plain functions; no I/O.

#include <QString>

#include <variant>

namespace xv4 {

struct ReceiveTarget {
  QString directory;  // root + the offered directory, without a trailing separator
  QString path;       // directory + "/" + name
};

// root: the receive root, an existing directory (a trailing separator is allowed). Refused, with
// the reason as text: an empty name, ".", "..", a name holding a separator, a name or directory
// holding control characters, and a directory whose ".." steps would leave the root.
std::variant<ReceiveTarget, QString> ResolveReceivePath(const QString& root, const QString& name,
                                                        const QString& directory);

}  // namespace xv4
