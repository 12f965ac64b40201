#pragma once
// TComm: one serial port with a read thread and a write thread.
//
// Owns its backend (the device), the two threads while the port is open, and the notification
// target through which the threads reach the owner. The owner's thread (the UI thread) calls
// every member; SendData may also be called from another thread while the port is open. All
// five events run on the owner's thread, in the order they were reported, whenever that thread
// processes its events.
//
// OpenPort() throws ECommsError and leaves the port closed; runtime line errors arrive as events
// (OnReceiveError, OnRequestHangup) and never as exceptions. ClosePort() never throws.

#include "transport/CommBackend.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
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
  // Stops both threads and closes the port; does nothing when closed. Notifications that the
  // threads posted before are still delivered afterwards.
  void ClosePort();
  bool IsOpen() const { return open_; }

  // Hands the bytes to the port and returns at once, without sleeping. While the write thread
  // is idle the bytes are written from the calling thread, as far as the device takes them now;
  // the rest is copied and queued for the write thread. False (nothing sent) when the port is
  // closed, its write thread has stopped or length is 0. Completion is reported collectively by
  // OnSendDataEmpty, always as a posted event. Any thread.
  bool SendData(const void* buffer, std::uint16_t length);

  // Modem status bits (kModemStatus*) of the open port; false when closed or not reported.
  bool GetModemStatus(std::uint32_t* bits) const;
  // Raises or drops DTR on the open port, whatever DtrControl says; false when closed.
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
  void StopThreads();
  void ReadLoop();
  void WriteLoop();
  CommIo WriteBlockWhole(const QByteArray& bytes);
  void DeliverChunk(const std::uint8_t* data, std::size_t count);
  void PostHangup();
  void HandleNotification(const platform::Notification& n);

  QString commName_ = QStringLiteral("COM2");
  CommLineSettings line_;
  CommTimeouts timeouts_;

  std::unique_ptr<CommBackend> backend_;
  std::unique_ptr<platform::NotifyTarget> notify_;
  bool open_ = false;

  // Read by the read thread while the owner may change them: the chunking time-outs and the NUL
  // filter.
  std::atomic<std::uint32_t> readInterval_{100};
  std::atomic<std::uint32_t> readTotalMultiplier_{0};
  std::atomic<std::uint32_t> readTotalConstant_{0};
  std::atomic<bool> dropNulls_{false};
  // Set by whichever thread reports the first hang-up of an open.
  std::atomic<bool> hangupPosted_{false};

  // The write side. writeMutex_ guards everything in this group; SendData, ClosePort and the
  // write thread meet only here.
  struct WriteBlock {
    std::uint64_t seq;
    QByteArray bytes;
  };
  std::mutex writeMutex_;
  std::condition_variable writeWake_;
  std::deque<WriteBlock> writeQueue_;
  std::uint64_t queuedSeq_ = 0;   // sequence number of the last block SendData took
  bool writerAccepting_ = false;  // the write thread runs and takes blocks
  bool writerStop_ = false;
  bool writerBusy_ = false;  // the write thread is in Write or Drain, outside the lock
  // Bytes were handed to the device (or the port has just opened) and their drained report is
  // still to be made, by the write thread, tagged with reportSeq_.
  bool reportOwed_ = false;
  std::uint64_t reportSeq_ = 0;

  std::thread readThread_;
  std::thread writeThread_;
};

}  // namespace xv4
