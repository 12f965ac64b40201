#pragma once
// TComm: one serial port with a read thread and a write thread.
//
// Owns its backend (the device), the two threads while the port is open, and the notification
// target through which the threads reach the owner. The owner's thread (the UI thread) calls
// every member; SendData may also be called from another thread while the port is open. All
// five events run on the owner's thread, in the order they were reported, whenever that thread
// processes its events; each open is a generation of its own, and what an earlier open reported
// never reaches the events once the port has been opened again.
//
// OpenPort() throws ECommsError and leaves the port closed; runtime line errors arrive as events
// (OnReceiveError, OnRequestHangup) and never as exceptions. ClosePort() never throws and never
// takes longer than its limit (10 s).

#include "transport/CommBackend.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>

namespace xv4 {

namespace platform {
class NotifyTarget;
struct Notification;
}  // namespace platform

class ECommsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Received bytes: valid only during the call; the byte after the last one is always 0.
using TReceiveDataEvent =
    std::function<void(QObject* sender, const std::uint8_t* buffer, std::uint16_t bufferLength)>;
using TReceiveErrorEvent = std::function<void(QObject* sender, std::uint32_t eventMask)>;
using TModemStateChangeEvent = std::function<void(QObject* sender, std::uint32_t modemEvent)>;
using TCommNotifyEvent = std::function<void(QObject* sender)>;

class TComm : public QObject {
 public:
  // Notification codes the threads post to the owner's thread.
  static constexpr int kNotifyReceiveData = 1025;
  static constexpr int kNotifyReceiveError = 1026;
  static constexpr int kNotifyRequestHangup = 1027;
  static constexpr int kNotifyModemState = 1028;
  static constexpr int kNotifySendDataEmpty = 1029;

  // Largest block one OnReceiveData carries.
  static constexpr std::size_t kReadChunk = 2048;
  // How long ClosePort waits for the threads to end.
  static constexpr std::chrono::milliseconds kCloseLimit{10000};

  // Without a backend the port uses the operating system's serial devices.
  explicit TComm(QObject* owner = nullptr, std::unique_ptr<CommBackend> backend = nullptr);
  // Closes the port if the owner has not done so.
  ~TComm() override;
  TComm(const TComm&) = delete;
  TComm& operator=(const TComm&) = delete;

  // Replaces the backend; only while the port is closed (ignored otherwise).
  void SetBackend(std::unique_ptr<CommBackend> backend);
  CommBackend* Backend() const { return backend_.get(); }

  // Opens CommName, applies the time-outs and the line settings and starts both threads. Does
  // nothing when already open. Throws ECommsError with the reason; nothing stays acquired.
  void OpenPort();
  // Wakes both threads, waits for them and closes the device; does nothing when closed. The
  // wait ends at the close limit: a thread still inside a device call then (a driver that
  // ignores the wake-up) is left to finish on its own and closes the device when it is done;
  // it reports nothing more, and the next OpenPort needs a new device (the operating system's
  // ports get one; a port with a test backend gets one through SetBackend). Notifications that
  // this open posted before are still delivered afterwards, until the port is opened again.
  void ClosePort();
  bool IsOpen() const { return open_; }
  // Tests shorten the close limit.
  void SetCloseLimit(std::chrono::milliseconds limit) { closeLimit_ = limit; }
  // Threads that ClosePort left behind and that have not ended yet. Any thread.
  int ThreadsLeftBehind() const { return leftBehind_->load(); }

  // Hands the bytes to the port and returns at once, without sleeping. While the write thread
  // is idle the bytes are written from the calling thread, as far as the device takes them now;
  // the rest is copied and queued for the write thread. False (nothing sent) when the port is
  // closed, its write thread has stopped, the device refused the bytes (it hung up; reported as
  // OnRequestHangup too) or length is 0. Completion is reported collectively by OnSendDataEmpty,
  // always as a posted event. Any thread.
  bool SendData(const void* buffer, std::uint16_t length);

  // Each read that a port's read thread makes takes the next number of one sequence shared by
  // every port of the program. ReadSequence(): the number of the latest read so far (any
  // thread). ChunkSequence(): inside OnReceiveData, the number of the last read of the chunk
  // being delivered. A chunk whose number is at most an earlier ReadSequence() had been read by
  // then.
  static std::uint64_t ReadSequence();
  std::uint64_t ChunkSequence() const { return chunkSequence_; }

  // Modem status bits (kModemStatus*) of the open port; false when closed or not reported (a
  // pseudo-terminal has no status lines). Also from another thread while the port stays open.
  bool GetModemStatus(std::uint32_t* bits) const;
  // Raises or drops DTR on the open port, whatever DtrControl says; false when closed or when
  // the device has no DTR line. Also from another thread while the port stays open.
  bool SetDtrLine(bool on);

  // "COMn" names /dev/ttyS(n-1); a name starting with '/' is a device path used as it is;
  // anything else is returned unchanged (and will normally fail to open).
  static QString DevicePathOf(const QString& commName);

  // Properties. A line setting or time-out that changes while the port is open is applied at
  // once (the complete line settings, or all five time-outs); setting the current value does
  // not touch the port. CommName takes effect at the next OpenPort.
  const QString& CommName() const { return commName_; }
  void SetCommName(const QString& name) { commName_ = name; }

  std::uint32_t BaudRate() const { return line_.baudRate; }
  void SetBaudRate(std::uint32_t v) { SetLine(&CommLineSettings::baudRate, v); }
  bool ParityCheck() const { return line_.parityCheck; }
  void SetParityCheck(bool v) { SetLine(&CommLineSettings::parityCheck, v); }
  bool Outx_CtsFlow() const { return line_.outxCtsFlow; }
  void SetOutx_CtsFlow(bool v) { SetLine(&CommLineSettings::outxCtsFlow, v); }
  bool Outx_DsrFlow() const { return line_.outxDsrFlow; }
  void SetOutx_DsrFlow(bool v) { SetLine(&CommLineSettings::outxDsrFlow, v); }
  TDtrControl DtrControl() const { return line_.dtrControl; }
  void SetDtrControl(TDtrControl v) { SetLine(&CommLineSettings::dtrControl, v); }
  bool DsrSensitivity() const { return line_.dsrSensitivity; }
  void SetDsrSensitivity(bool v) { SetLine(&CommLineSettings::dsrSensitivity, v); }
  bool TxContinueOnXoff() const { return line_.txContinueOnXoff; }
  void SetTxContinueOnXoff(bool v) { SetLine(&CommLineSettings::txContinueOnXoff, v); }
  bool Outx_XonXoffFlow() const { return line_.outxXonXoffFlow; }
  void SetOutx_XonXoffFlow(bool v) { SetLine(&CommLineSettings::outxXonXoffFlow, v); }
  bool Inx_XonXoffFlow() const { return line_.inxXonXoffFlow; }
  void SetInx_XonXoffFlow(bool v) { SetLine(&CommLineSettings::inxXonXoffFlow, v); }
  bool ReplaceWhenParityError() const { return line_.replaceWhenParityError; }
  void SetReplaceWhenParityError(bool v) { SetLine(&CommLineSettings::replaceWhenParityError, v); }
  bool IgnoreNullChar() const { return line_.ignoreNullChar; }
  void SetIgnoreNullChar(bool v) { SetLine(&CommLineSettings::ignoreNullChar, v); }
  TRtsControl RtsControl() const { return line_.rtsControl; }
  void SetRtsControl(TRtsControl v) { SetLine(&CommLineSettings::rtsControl, v); }
  std::uint16_t XonLimit() const { return line_.xonLimit; }
  void SetXonLimit(std::uint16_t v) { SetLine(&CommLineSettings::xonLimit, v); }
  std::uint16_t XoffLimit() const { return line_.xoffLimit; }
  void SetXoffLimit(std::uint16_t v) { SetLine(&CommLineSettings::xoffLimit, v); }
  TByteSize ByteSize() const { return line_.byteSize; }
  void SetByteSize(TByteSize v) { SetLine(&CommLineSettings::byteSize, v); }
  TParity Parity() const { return line_.parity; }
  void SetParity(TParity v) { SetLine(&CommLineSettings::parity, v); }
  TStopBits StopBits() const { return line_.stopBits; }
  void SetStopBits(TStopBits v) { SetLine(&CommLineSettings::stopBits, v); }
  std::uint8_t XonChar() const { return line_.xonChar; }
  void SetXonChar(std::uint8_t v) { SetLine(&CommLineSettings::xonChar, v); }
  std::uint8_t XoffChar() const { return line_.xoffChar; }
  void SetXoffChar(std::uint8_t v) { SetLine(&CommLineSettings::xoffChar, v); }
  std::uint8_t ReplacedChar() const { return line_.replacedChar; }
  void SetReplacedChar(std::uint8_t v) { SetLine(&CommLineSettings::replacedChar, v); }

  std::uint32_t ReadIntervalTimeout() const { return timeouts_.readInterval; }
  void SetReadIntervalTimeout(std::uint32_t v) { SetTimeout(&CommTimeouts::readInterval, v); }
  std::uint32_t ReadTotalTimeoutMultiplier() const { return timeouts_.readTotalMultiplier; }
  void SetReadTotalTimeoutMultiplier(std::uint32_t v) {
    SetTimeout(&CommTimeouts::readTotalMultiplier, v);
  }
  std::uint32_t ReadTotalTimeoutConstant() const { return timeouts_.readTotalConstant; }
  void SetReadTotalTimeoutConstant(std::uint32_t v) {
    SetTimeout(&CommTimeouts::readTotalConstant, v);
  }
  std::uint32_t WriteTotalTimeoutMultiplier() const { return timeouts_.writeTotalMultiplier; }
  void SetWriteTotalTimeoutMultiplier(std::uint32_t v) {
    SetTimeout(&CommTimeouts::writeTotalMultiplier, v);
  }
  std::uint32_t WriteTotalTimeoutConstant() const { return timeouts_.writeTotalConstant; }
  void SetWriteTotalTimeoutConstant(std::uint32_t v) {
    SetTimeout(&CommTimeouts::writeTotalConstant, v);
  }

  // Events; an empty one is skipped.
  TReceiveDataEvent OnReceiveData;
  TReceiveErrorEvent OnReceiveError;
  TModemStateChangeEvent OnModemStateChange;
  // A thread met a failure it cannot recover from (the device hung up) and has ended; reported
  // once per open. The port stays open until the owner calls ClosePort.
  TCommNotifyEvent OnRequestHangup;
  // The write queue ran dry and the written bytes have left the port: once right after
  // OpenPort, then once after every burst of SendData calls.
  TCommNotifyEvent OnSendDataEmpty;

 private:
  friend class TMdmLnkTestAccess;  // plays the read thread for the link's tests
  // What the threads of one open share with the owner (Comm.cpp). The threads hold it too, so
  // a thread left behind by ClosePort never touches the TComm.
  struct Io;

  template <typename T>
  void SetLine(T CommLineSettings::*field, T value) {
    if (line_.*field == value)
      return;
    line_.*field = value;
    if (open_)
      ApplyCommState();
  }
  template <typename T>
  void SetTimeout(T CommTimeouts::*field, T value) {
    if (timeouts_.*field == value)
      return;
    timeouts_.*field = value;
    if (open_)
      ApplyTimeouts();
  }

  void ApplyCommState();
  void ApplyTimeouts();
  // Wakes the threads and waits for them until the close limit; false when one was left behind.
  bool StopThreads();
  void HandleNotification(const platform::Notification& n);

  QString commName_ = QStringLiteral("COM2");
  CommLineSettings line_;
  CommTimeouts timeouts_;

  bool systemBackend_ = false;  // made here, so a fresh one can replace a device left behind
  // The device for the next open (shared with the threads of the open that uses it).
  std::shared_ptr<CommBackend> backend_;
  std::unique_ptr<platform::NotifyTarget> notify_;
  std::shared_ptr<Io> io_;        // the latest open's, kept after the close for its late reports
  std::uint64_t generation_ = 0;  // of the latest open; notifications carry theirs
  std::uint64_t chunkSequence_ = 0;
  bool open_ = false;
  std::chrono::milliseconds closeLimit_ = kCloseLimit;
  std::shared_ptr<std::atomic<int>> leftBehind_ = std::make_shared<std::atomic<int>>(0);

  std::thread readThread_;
  std::thread writeThread_;
};

}  // namespace xv4
