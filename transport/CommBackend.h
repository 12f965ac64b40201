#pragma once
// The calls TComm makes on an open serial device, behind one small interface.
//
// TComm keeps the port's logic (threads, chunking, notifications); a backend only talks to the
// device. The POSIX backend (termios, poll, eventfd) is the one the tool uses; tests supply their
// own to produce modem status bits, line events and open failures that a pseudo-terminal cannot.
//
// Threads: Open, Close, ApplyLineSettings, ApplyTimeouts and Purge come from the UI thread;
// ModemStatus and SetDtr from the UI thread or the serial link's worker while the port is open
// (so they must be safe beside the threads' calls); WaitReadable, Read and TakeLineEvents from
// the read thread; Write and Drain from the write thread; WriteNow and OutputQueueEmpty from
// whichever thread sends while the write thread is idle (TComm makes sure the two writers never
// overlap); Cancel from any thread. Open happens before the threads start and Close after both
// have ended, so the device handle itself needs no lock.

#include <QString>

#include <cstddef>
#include <cstdint>

namespace xv4 {

enum class TDtrControl : std::uint8_t { DtrEnable, DtrDisable, DtrHandshake };
enum class TRtsControl : std::uint8_t {
  RtsEnable,
  RtsDisable,
  RtsHandshake,
  RtsTransmissionAvailable,  // RTS raised only while sending
};
enum class TByteSize : std::uint8_t { _5, _6, _7, _8 };
enum class TParity : std::uint8_t { None, Odd, Even, Mark, Space };
enum class TStopBits : std::uint8_t { _1, _1_5, _2 };

// Line settings as the port's properties hold them.
struct CommLineSettings {
  std::uint32_t baudRate = 9600;
  bool parityCheck = false;
  bool outxCtsFlow = false;
  bool outxDsrFlow = false;
  TDtrControl dtrControl = TDtrControl::DtrEnable;
  bool dsrSensitivity = false;
  bool txContinueOnXoff = true;
  bool outxXonXoffFlow = true;
  bool inxXonXoffFlow = true;
  bool replaceWhenParityError = false;
  bool ignoreNullChar = false;
  TRtsControl rtsControl = TRtsControl::RtsEnable;
  std::uint16_t xonLimit = 500;
  std::uint16_t xoffLimit = 500;
  TByteSize byteSize = TByteSize::_8;
  TParity parity = TParity::None;
  TStopBits stopBits = TStopBits::_1;
  std::uint8_t xonChar = 17;   // DC1
  std::uint8_t xoffChar = 19;  // DC3
  std::uint8_t replacedChar = 0;

  bool operator==(const CommLineSettings&) const = default;
};

// Milliseconds. A received chunk ends when no byte has arrived for readInterval, when the total
// read time-out (multiplier x chunk size + constant, if not 0) has run out since its first byte,
// or when the chunk buffer is full. readInterval 0 hands every read on as it comes. The write
// time-outs are kept for the owner; the write thread always writes every byte.
struct CommTimeouts {
  std::uint32_t readInterval = 100;
  std::uint32_t readTotalMultiplier = 0;
  std::uint32_t readTotalConstant = 0;
  std::uint32_t writeTotalMultiplier = 0;
  std::uint32_t writeTotalConstant = 0;

  bool operator==(const CommTimeouts&) const = default;
};

// Modem status bits as ModemStatus reports them.
constexpr std::uint32_t kModemStatusCts = 0x10;
constexpr std::uint32_t kModemStatusDsr = 0x20;
constexpr std::uint32_t kModemStatusRing = 0x40;
constexpr std::uint32_t kModemStatusRlsd = 0x80;  // carrier detect

// OnModemStateChange bits.
constexpr std::uint32_t kModemEventRing = 4;  // ring indicator seen
constexpr std::uint32_t kModemEventRlsd = 8;  // carrier-detect line changed

// OnReceiveError flags (line errors since the last report).
constexpr std::uint32_t kLineErrorRxOver = 0x01;   // input buffer overflow
constexpr std::uint32_t kLineErrorOverrun = 0x02;  // character lost by the UART
constexpr std::uint32_t kLineErrorParity = 0x04;
constexpr std::uint32_t kLineErrorFrame = 0x08;
constexpr std::uint32_t kLineErrorBreak = 0x10;

// What happened on the line since the last TakeLineEvents.
struct CommLineEvents {
  std::uint32_t modemEvents = 0;  // kModemEvent* bits
  std::uint32_t lineErrors = 0;   // kLineError* bits
};

enum class CommOpenResult {
  Ok,
  CannotOpen,         // absent, no permission, or in use by anyone
  NotATty,            // the name opens something that is not a serial device
  BufferSetupFailed,  // driver queues cannot be sized
  EventFailed,        // the wake-up handle for closing cannot be made
};

enum class CommWait {
  Readable,   // bytes can be read
  LineEvent,  // TakeLineEvents has something
  TimedOut,
  Cancelled,  // Cancel() was called: the port is closing
  Hangup,     // the device went away (other side of a pty closed, adapter unplugged)
};

enum class CommIo {
  Ok,
  Cancelled,
  Hangup,  // the device went away or failed
};

class CommBackend {
 public:
  virtual ~CommBackend() = default;

  // Opens the device exclusively (a device in use elsewhere fails with CannotOpen).
  virtual CommOpenResult Open(const QString& devicePath) = 0;
  // Releases the device; harmless when nothing is open.
  virtual void Close() = 0;

  // Failures are reported but not acted upon: the port keeps its previous settings.
  virtual bool ApplyLineSettings(const CommLineSettings& settings) = 0;
  virtual bool ApplyTimeouts(const CommTimeouts& timeouts) = 0;
  // Drops what is waiting in the driver's input and/or output queue.
  virtual void Purge(bool input, bool output) = 0;
  // kModemStatus* bits; false when the device cannot report them.
  virtual bool ModemStatus(std::uint32_t* bits) = 0;
  // Raises or drops DTR directly; false when the device has no DTR line.
  virtual bool SetDtr(bool on) = 0;

  // Wakes every blocked call of the read and write threads; they and every later call return
  // Cancelled until the next Open.
  virtual void Cancel() = 0;

  // Read thread. Sleeps until bytes arrive, a line event is pending, the device hangs up,
  // Cancel() is called or timeoutMs passes (-1: no limit).
  virtual CommWait WaitReadable(int timeoutMs) = 0;
  // Read thread. Reads what is there without blocking; *count 0 means nothing was waiting.
  virtual CommIo Read(std::uint8_t* buffer, std::size_t capacity, std::size_t* count) = 0;
  // Read thread. Events gathered since the last call.
  virtual CommLineEvents TakeLineEvents() = 0;

  // Write thread. Writes at least one byte, sleeping while the device cannot take any.
  virtual CommIo Write(const std::uint8_t* data, std::size_t length, std::size_t* written) = 0;
  // Write thread. Returns once every written byte has left the device.
  virtual CommIo Drain() = 0;

  // Sending thread, never while Write or Drain runs. Writes what the device takes now without
  // sleeping; *written is 0 when it cannot take anything at the moment.
  virtual CommIo WriteNow(const std::uint8_t* data, std::size_t length, std::size_t* written) = 0;
  // Sending thread, as WriteNow. True only when the device can tell that every written byte has
  // already left it (a pseudo-terminal hands bytes on as they are written; a UART still holds
  // them in its queue and shift register). False when it cannot tell.
  virtual bool OutputQueueEmpty() = 0;
};

}  // namespace xv4
