#pragma once
// What xv4link prints: one line per event on standard output (connected, login, file offered,
// file done), progress, notes and errors on standard error. Progress is a redrawn bar on a
// terminal and a line per tenth otherwise.
//
// Main thread only. Failures to write are ignored (a closed pipe must not stop a transfer).

#include "link/FileTransfer.h"

#include <QString>

#include <cstdint>
#include <cstdio>

namespace xv4::station {

// The end of a transfer as a line: "file done OK: PATH, SIZE bytes in T s (data at R MB/s)", or
// "file done ERR: PATH, SIZE bytes: WHY". doneTick: the tick of the end (same clock as the
// progress' ticks).
QString FileDoneLine(bool ok, const QString& path, qint64 size,
                     const FileTransfer::Progress& progress, std::uint32_t doneTick,
                     const QString& why);

// The data rate of a transfer in bytes per second, from its packs; 0 when it cannot be told
// (fewer than two packs, or no time between them).
double DataRate(const FileTransfer::Progress& progress);

class StationOutput {
 public:
  StationOutput(std::FILE* out, std::FILE* err, bool interactive);

  // One event line on standard output, flushed at once (scripts read it as it comes).
  void Event(const QString& line);
  // "xv4link: TEXT" on standard error.
  void Note(const QString& text);
  // A debug line of the link.
  void Debug(const QString& line);
  // The transfer's progress; `what` names it ("sending fonts/zk16.hex").
  void Progress(const QString& what, qint64 done, qint64 total);
  // Ends a progress line left open on the terminal.
  void EndProgress();

 private:
  void Write(std::FILE* to, const QString& text);

  std::FILE* out_;
  std::FILE* err_;
  bool interactive_;
  bool lineOpen_ = false;  // a redrawn progress line without its line end is on the terminal
  QString lastWhat_;
  int lastTenth_ = -1;
  int lastPercent_ = -1;
};

}  // namespace xv4::station
