#pragma once
// What every fuzz harness shares: the process set-up the components expect, a reader that cuts
// one input into the pieces a harness needs, the check that stops a run on a broken invariant,
// and scratch files for parsers that read files.
//
// One harness per parser, each a LLVMFuzzerTestOneInput. The same harness runs under libFuzzer
// (make fuzz) and, linked with ReplayMain.cpp, replays its seed corpus as a ctest test. Inputs are
// handled one after another on the thread that called LLVMFuzzerTestOneInput (the UI thread of
// the components).

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <span>

// Stops the run with a message when an invariant of the parser does not hold: libFuzzer keeps
// the input as a crash artifact, the replay test fails.
#define XV4_FUZZ_CHECK(condition)                               \
  do {                                                          \
    if (!(condition))                                           \
      ::xv4::fuzz::CheckFailed(#condition, __FILE__, __LINE__); \
  } while (false)

namespace xv4::fuzz {

[[noreturn]] void CheckFailed(const char* condition, const char* file, int line);

// Sets up, once per process, what the components need: an application object (timers, socket
// notifiers), an application directory of its own in a temporary folder (the link and the form
// write files there) and a quiet message handler. Call at the start of every input.
void Environment();

// The application directory set up by Environment(), ending in '/'.
QString ScratchDir();

// Writes bytes to a file of that name in the scratch directory, replacing it; returns its path.
QString WriteScratchFile(const QString& name, std::span<const std::uint8_t> bytes);

// Cuts an input into pieces. Every read succeeds: past the end it gives zeros and empty pieces,
// so any input is valid.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool Empty() const { return pos_ >= size_; }
  std::uint8_t Byte();
  // One length byte, or 0xFF and a 16-bit length (most significant byte first), then that many
  // bytes (fewer when the input ends first).
  std::span<const std::uint8_t> Chunk();
  // Everything not read yet.
  std::span<const std::uint8_t> Rest();

 private:
  std::span<const std::uint8_t> Take(std::size_t count);

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

inline QByteArray ToByteArray(std::span<const std::uint8_t> bytes) {
  return QByteArray(reinterpret_cast<const char*>(bytes.data()),
                    static_cast<qsizetype>(bytes.size()));
}

}  // namespace xv4::fuzz
