#pragma once
// The device session: the one component through which the tool talks to a printer.
//
// Owns the serial link (used in tmRS232), the UDP endpoint (used in tmTCPIP; bound to local
// port 5001 from creation to destruction) and the reply timer. Sends records, waits for the
// printer's acknowledgement or reply record while the event loop keeps running, repeats a
// request within its retry budget and keeps an optional traffic log.
//
// UI thread only. Its waits handle events, so UI handlers (a Cancel button calling Abort) run
// inside them; no second exchange may be started from such a handler: the session has one set
// of exchange buffers. The only call from another thread is the link's OnAnswerOK.
//
// Failures: transactions return false when the printer did not answer as required; when the
// cause lies on this side of the line (the serial port hung up) LastFailure() names it.
// Exceptions leave only SetActive(true) (the serial port cannot be opened, or the local UDP port
// is taken; a message box has been shown), SetRemotePort (std::out_of_range) and network sends
// (UDPSockError "Null Remote Address" / "Host Lookup Canceled", and std::runtime_error "Invalid
// buffer" for a send the endpoint cannot take).
//
// An acknowledgement is one byte without a record number, so the session keeps an answer to one
// request from being taken for another's: what arrived before a request leaves is thrown away
// (UDP: the socket is emptied right before the send; serial: the link passes on nothing it had
// read by then), while an answer that arrives after the send counts, even before the serial
// drain report; after an exchange that sent its request more than once, the next request waits
// until the last send's reply window has run out and the line has then been quiet for one
// RetryInterval (that part at most one RetryInterval per extra send), dropping what arrives; a
// 259-byte datagram is a reply record, never an acknowledgement or a refusal, whatever its data
// holds; and only the transport of Mode is listened to. What remains possible: a printer that
// answers more than two RetryIntervals after a request, or whose late answers come more than one
// RetryInterval apart, can still have a late acknowledgement of a repeated record taken for the
// next record; and a second acknowledgement that arrives only after the next record has left
// counts for that record.

#include "link/BaudRate.h"
#include "link/SerialLink.h"
#include "protocol/DeviceRecord.h"
#include "transport/UdpEndpoint.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

namespace xv4 {

enum TMode : std::uint8_t { tmRS232, tmTCPIP };
enum TBroadCastScaleType : std::uint8_t { tbs1024, tbs5120 };
// 0..10.
using TRetryCount = std::uint8_t;

// One station of a serial broadcast.
struct TBroadcastEntry {
  std::int32_t MachineNo = 0;
  std::uint8_t Status = 0;
};

class TValdMBusComm : public QObject {
 public:
  // WaitReply results.
  static constexpr int WaitAborted = -3;      // Abort during the wait
  static constexpr int WaitTimedOut = -2;     // no complete reply in time
  static constexpr int WaitRefused = -1;      // NakByte
  static constexpr int WaitAcknowledged = 1;  // AckByte (serial broadcast: also a time-out)
  static constexpr int WaitRecord = 2;        // a complete reply record

  static constexpr int kBroadcastStations = 56;
  static constexpr int kMaxRetryCount = 10;
  static constexpr int kLocalPort = 5001;
  // SendRaw's network send buffer: a longer send is refused.
  static constexpr int kSendBufferSize = 313;
  // The serial handshake and device-information request try this many times, walking the line
  // speeds when no modem is attached.
  static constexpr int kSerialHandshakeSends = 11;

  // owner: Qt parent (may be null). link: the serial link to own; null creates the real one.
  // localPort: the UDP port to bind; the printer protocol uses 5001, tests pass 0.
  explicit TValdMBusComm(QObject* owner = nullptr, std::unique_ptr<SerialLink> link = nullptr,
                         int localPort = kLocalPort);
  ~TValdMBusComm() override;
  TValdMBusComm(const TValdMBusComm&) = delete;
  TValdMBusComm& operator=(const TValdMBusComm&) = delete;

  // --- Properties ---------------------------------------------------------------------------

  // Serial port name (COM1, /dev/ttyUSB0, ...), handed to the link by SetActive(true).
  QString CommName() const { return commName_; }
  void SetCommName(const QString& name) { commName_ = name; }
  // True while the serial port is open (never set in network mode).
  bool isActive() const { return isActive_; }
  // Line speed of the serial link; set on the link at once. Default tbr9600.
  TBaudRate BaudRate() const { return baudRate_; }
  void SetBaudRate(TBaudRate rate);
  // Serial broadcast mode: handshakes carry BroadcastList, every write goes out once and a
  // time-out counts as success. Default false; nothing in the tool sets it.
  bool BroadCast() const { return broadCast_; }
  void SetBroadCast(bool on) { broadCast_ = on; }
  TBroadCastScaleType BroadCastScaleType() const { return broadCastScaleType_; }
  void SetBroadCastScaleType(TBroadCastScaleType type) { broadCastScaleType_ = type; }
  // The single wait of a broadcast send, milliseconds. Default 200.
  int BroadCastInterval() const { return broadCastInterval_; }
  void SetBroadCastInterval(int ms) { broadCastInterval_ = ms; }
  // The wait for a reply to each send, milliseconds. Default 800.
  int RetryInterval() const { return retryInterval_; }
  void SetRetryInterval(int ms) { retryInterval_ = ms; }
  // Repetitions after the first send of a write or read; 0..10 (larger values are taken as 10).
  // Default 6.
  TRetryCount RetryCount() const { return retryCount_; }
  void SetRetryCount(int count);
  // Number the modem dials; set on the link at once. Default empty.
  QString PhoneNumber() const { return phoneNumber_; }
  void SetPhoneNumber(const QString& number);
  // A modem is attached: the link runs its modem layer and the handshake keeps the line speed.
  // Set on the link at once. Default true.
  bool isModem() const { return isModem_; }
  void SetisModem(bool on);
  // Transport of every later call. Default tmRS232.
  TMode Mode() const { return mode_; }
  void SetMode(TMode mode) { mode_ = mode; }
  // Printer's UDP port; set on the endpoint at once. Default 5001. A port outside 1..65535 throws
  // std::out_of_range and keeps the previous one.
  int RemotePort() const { return remotePort_; }
  void SetRemotePort(int port);
  // Printer's address for network sends; set on the endpoint at once. Handshake and
  // ReadDeviceInfo replace the endpoint's destination by the address in their machine number.
  QString RemoteHost() const { return remoteHost_; }
  void SetRemoteHost(const QString& host);

  // Raised on the link's worker thread when the modem answered OK.
  TNotifyEvent OnMdmAnswerOK;

  // --- Fields the application fills and reads ----------------------------------------------

  // Serial: the printer's machine number. Network: the printer's IPv4 address as a number
  // (AddressToNumber), from which the transactions take the datagram destination.
  std::int32_t MachineNo = 0;
  // Data of the next record sent (every WriteRecord, ReadRecord's request) and of the last
  // record received (ReadRecord).
  std::array<std::uint8_t, kDataSize> DataBlock{};
  // Traffic log lines; written to LOG/yyyy-mm-dd@hh-nn-ss.LOG by SetActive(false).
  QStringList TrafficLog;
  // While true every send, receipt and repetition is logged. Default false.
  bool LogTraffic = false;
  std::array<TBroadcastEntry, kBroadcastStations> BroadcastList{};
  // Local date and time for handshake records and log file names.
  std::function<QDateTime()> Clock = [] { return QDateTime::currentDateTime(); };

  // --- Link -------------------------------------------------------------------------------

  // Serial mode: hands CommName to the link, writes the link options, (re)opens the port with
  // the link's worker and, with a modem, initialises it. On failure shows "Error opening
  // <CommName>!" and rethrows; isActive keeps its value. Network mode: the socket is bound from
  // creation; when its port was taken then, the bind is tried again, and if the port is still
  // taken shows "UDP port N is in use (is another xv4tool or xv4ctl running?)" and throws
  // UDPSockError: the printer's answers could reach the other program. Both modes: clears
  // TrafficLog.
  // false: closes the serial port (serial mode) and writes a non-empty TrafficLog to the LOG
  // folder of the application directory, readable by its owner only; a log that cannot be
  // written is reported in a warning message box.
  void SetActive(bool active);

  // Sends bytes over the transport of Mode. Network: one datagram of exactly length bytes; more
  // than kSendBufferSize bytes are refused with std::runtime_error("Invalid buffer") and nothing
  // is sent; what was waiting in the socket is dropped first. Serial: hands the bytes to the
  // link (the wait for its send-done starts at the next WaitReply; a send the link refuses makes
  // that wait fail at once, and LastFailure says why). Used directly for the serial cash-drawer
  // command.
  void SendRaw(const std::uint8_t* buffer, std::uint16_t length);

  // Waits, handling events, for the reply to the last send: serial mode first waits until the
  // link has sent everything (a send the link refused, or one that does not drain within the
  // time the line needs, is WaitTimedOut), then timeoutMs for the reply. Clears a pending Abort
  // first. Returns one of the Wait* codes.
  int WaitReply(int timeoutMs);

  // Ends the running wait with WaitAborted and makes its exchange give up. Safe from any
  // handler that runs inside a wait.
  void Abort() { failed_ = true; }

  // --- Exchanges (the transactions use these) -----------------------------------------------

  // Sends the record in RequestArea (with its checksum in serial mode) until it is acknowledged:
  // up to RetryCount + 1 sends, each waiting RetryInterval; serial broadcast: one send waiting
  // BroadCastInterval. True when acknowledged.
  bool ExchangeWrite();
  // Sends the request in ReadRequestArea until a reply record with the request's first three
  // bytes arrives (serial: with a valid checksum): up to RetryCount + 1 sends.
  bool ExchangeRead();
  // One send of ReadRequestArea, remembering its header for the receive parsers.
  void SendReadRequest();
  // RequestArea (record and checksum) to FrameBuffer, and back (sets ChecksumError on a bad
  // checksum, never clears it).
  void PackFrame();
  void UnpackFrame();

  // --- Transactions ------------------------------------------------------------------------

  // Handshake, then (serial, or readModel) ReadModelInfo. True when both succeed.
  bool Connect(std::int32_t number, std::uint8_t argument, bool readModel);
  // Command 14 word 1 with machine number, local date and time and flags. Network: sends to the
  // address encoded in number. Serial: up to 11 sends, walking the line speeds unless isModem.
  bool Handshake(std::int32_t number, std::uint8_t argument);
  // Command 14 word 16 with data byte 2 = 16; DataBlock receives the printer's information.
  bool ReadModelInfo();
  // Network: command 14 word 16 to the address encoded in number; DataBlock receives the reply.
  // Serial: the number is unused; up to 11 sends like the handshake; the reply is recognised by
  // the header of the last read request and DataBlock is left as it is.
  bool ReadDeviceInfo(std::int32_t number);
  // Sends command, word and DataBlock; true when acknowledged. DataBlock is unchanged.
  bool WriteRecord(std::uint8_t command, std::uint16_t word);
  // Sends command, word and DataBlock as a request; DataBlock then holds the reply's data (after
  // a failure: whatever was received, not meaningful).
  bool ReadRecord(std::uint8_t command, std::uint16_t word);
  // Command 14 word 2 with machine number and parameter. Network: a write with the full retry
  // budget. Serial: up to 3 sends 100 ms apart, always true.
  bool EndSession(std::int32_t number, std::uint8_t parameter);

  // --- Handlers (wired to the link, the endpoint and the timer) -------------------------------

  void LinkDataReceived(QObject* sender, const std::uint8_t* buffer, std::uint16_t bufferLength);
  void LinkSendDone(QObject* sender);
  void LinkFailed(QObject* sender);
  // Runs on the link's worker thread; touches nothing but OnMdmAnswerOK.
  void LinkAnswerOK(QObject* sender);
  void DatagramReceived(QObject* sender, int numberBytes, const QString& fromIP, int port);

  // --- Inspection --------------------------------------------------------------------------

  TUdpEndpoint& Endpoint() { return *endpoint_; }
  SerialLink& Link() { return *link_; }
  std::span<const std::uint8_t, kFrameWithTrailer> FrameBuffer() const { return frameBuffer_; }
  std::span<std::uint8_t, kRecordWithChecksum> RequestArea() { return requestArea_; }
  std::span<std::uint8_t, kRecordWithChecksum> ReadRequestArea() { return readRequestArea_; }
  // Set by Abort and by an exchange that gives up; cleared at the start of each wait.
  bool Failed() const { return failed_; }
  // Why the last exchange failed when the cause lies on this side of the line ("serial port
  // COM3 hung up"); empty when the printer simply did not answer. Cleared when an exchange
  // begins.
  QString LastFailure() const { return lastFailure_; }
  // Serial: whether the bytes of the last send have left the port (the link took them and
  // reported them drained). Network: true once sent.
  bool LastSendLeft() const { return !Serial() || (sendDone_ && !sendRefused_); }
  bool ChecksumError() const { return checksumError_; }
  // -1 nothing received in this wait, 0 receiving, 1 reply complete.
  int ReceiveState() const { return receiveState_; }
  int ReceivePos() const { return receivePos_; }
  std::uint8_t ReplyByte() const { return replyByte_; }

 private:
  friend class TValdMBusCommTestAccess;

  bool Serial() const { return mode_ == tmRS232; }
  void OpenNetwork();
  void ResetReceiver();
  // Every exchange begins here: clears LastFailure and lets the late answers of the exchange
  // before pass (false: aborted meanwhile). EndExchange notes how many sends it made.
  bool BeginExchange();
  void EndExchange(int sends);
  bool LetLateAnswersPass();
  void NoteLateArrival();
  QString RefusalText(LinkSend result) const;
  void SendFrame();
  int BroadcastOnce();
  bool SerialRetryLoop(bool expectRecord);
  void PutDateTime(std::span<std::uint8_t, 6> out);
  void FillBroadcast(std::span<std::uint8_t, kRecordWithChecksum> area);
  void ScanForAck(const std::uint8_t* bytes, int length);
  void LogLine(const QString& line);
  void LogRetry(int n);
  void LogBytes(const char* title, const std::uint8_t* bytes, int length);
  void WriteTrafficLog();

  // Their events call into the session: the destructor frees them before anything else.
  std::unique_ptr<SerialLink> link_;
  std::unique_ptr<TUdpEndpoint> endpoint_;
  QTimer replyTimer_;

  QString commName_;
  bool isActive_ = false;
  TBaudRate baudRate_ = tbr9600;
  bool broadCast_ = false;
  TBroadCastScaleType broadCastScaleType_ = tbs1024;
  int broadCastInterval_ = 200;
  int retryInterval_ = 800;
  TRetryCount retryCount_ = 6;
  QString phoneNumber_;
  bool isModem_ = true;
  TMode mode_ = tmRS232;
  int remotePort_ = kLocalPort;
  QString remoteHost_;
  int localPort_ = kLocalPort;

  // Outgoing frame and trailer; also the incoming serial frame (0..300) or network reply record
  // (0..258).
  std::array<std::uint8_t, kFrameWithTrailer> frameBuffer_{};
  // Outgoing record and checksum; UnpackFrame decodes the serial reply here.
  std::array<std::uint8_t, kRecordWithChecksum> requestArea_{};
  std::array<std::uint8_t, kRecordWithChecksum> readRequestArea_{};
  std::array<std::uint8_t, kSendBufferSize> sendBuffer_{};
  // Where DatagramReceived reads each datagram: as large as the endpoint's receive buffer.
  std::array<std::uint8_t, TUdpEndpoint::kReceiveBufferSize> datagram_{};

  bool expectRecord_ = false;
  std::array<std::uint8_t, 3> expectedHeader_{};
  int receiveState_ = -1;
  int receivePos_ = 0;
  std::uint8_t replyByte_ = 0;
  bool timedOut_ = false;
  bool failed_ = false;
  bool sendDone_ = true;
  bool sending_ = false;      // inside the link's SendBytes
  bool sendRefused_ = false;  // the link did not take the last send: nothing went out
  bool linkFailed_ = false;   // the port hung up since it was opened
  int drainLimitMs_ = 0;
  bool checksumError_ = false;
  QString lastFailure_;

  // Late answers. replyWindowStart_: when the latest wait started its reply time. After an
  // exchange with more than one send, lateSends_ extra sends may still be answered, counted from
  // the reply window that began at lateFrom_; the next exchange lets them pass first, while
  // discarding_ is set, noting each arrival in lastArrival_ (and arrived_, to wake the wait).
  using SteadyClock = std::chrono::steady_clock;
  SteadyClock::time_point replyWindowStart_{};
  int lateSends_ = 0;
  SteadyClock::time_point lateFrom_{};
  SteadyClock::time_point lastArrival_{};
  bool discarding_ = false;
  bool arrived_ = false;
};

}  // namespace xv4
