#include "appcore/Operations.h"

#include "appcore/LanguageTexts.h"
#include "appcore/ParamBlocks.h"
#include "link/BaudRate.h"
#include "link/ModemLayer.h"
#include "platform/AppDir.h"
#include "platform/Files.h"
#include "platform/Time.h"
#include "protocol/DeviceRecord.h"
#include "protocol/ValdMBus.h"
#include "transport/Comm.h"
#include "transport/SerialPorts.h"

#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <stdexcept>

namespace xv4 {
namespace {

constexpr std::uint8_t kCmdSession = 14;
constexpr std::uint16_t kWordInformation = 16;
constexpr std::uint8_t kCmdData = 63;
constexpr std::uint16_t kWordTestRecord = 124;
constexpr std::uint8_t kCmdProgram = 15;

constexpr int kDefaultRemotePort = 5013;
constexpr std::int32_t kDefaultMachineNo = 1234;

const QString kDataFileName = QStringLiteral("zk16.hex");
const QString kDrawerAfterFailedTest =
    QStringLiteral("The communication test failed; the drawer command was sent anyway.");
const QString kParamLogName = QStringLiteral("log.hex");

int RecordCount(qint64 bytes) {
  return static_cast<int>(std::min<qint64>((bytes + kDataSize - 1) / kDataSize, INT32_MAX));
}

// Copies record i of the file into the DataBlock. Bytes past the end of the file keep what the
// DataBlock held before, so the last record of a file that is not a multiple of 256 bytes ends
// with the previous record's bytes.
void LoadRecord(TValdMBusComm& comm, const QByteArray& file, int i) {
  const qint64 offset = static_cast<qint64>(i) * kDataSize;
  const qint64 n = std::min<qint64>(kDataSize, file.size() - offset);
  if (n > 0)
    std::memcpy(comm.DataBlock.data(), file.constData() + offset, static_cast<size_t>(n));
}

// log.hex: the parameter blocks as sent, written when the parameter download ends, whichever
// way it ends. Owner-only: block B holds the WiFi password and SSID.
class ParamLogWriter {
 public:
  explicit ParamLogWriter(OperationUi& ui) : ui_(ui) {}
  ~ParamLogWriter() {
    QString error;
    const QString path = platform::StateDir() + kParamLogName;
    if (!platform::WriteFileAtomic(path, bytes_, true, &error))
      ui_.MessageBox(platform::MessageKind::Warning,
                     QStringLiteral("Cannot write %1: %2").arg(path, error), {});
  }
  ParamLogWriter(const ParamLogWriter&) = delete;
  ParamLogWriter& operator=(const ParamLogWriter&) = delete;
  QByteArray* Bytes() { return &bytes_; }

 private:
  OperationUi& ui_;
  QByteArray bytes_;
};

QString Seconds(std::uint32_t ms) {
  return QString::number(ms / 1000.0, 'f', 1);
}

QString NetworkTarget(const QString& host, int port) {
  return QStringLiteral("%1:%2").arg(TrimBlanks(host)).arg(port);
}

// A COM name with the device it stands for: "COM1 (/dev/ttyS0)".
QString PortText(const QString& portName) {
  const QString device = TComm::DevicePathOf(portName);
  return device == portName ? device : QStringLiteral("%1 (%2)").arg(portName, device);
}

QString SerialTarget(const QString& portName, TBaudRate rate) {
  return QStringLiteral("%1 at %2 baud").arg(PortText(portName)).arg(BaudRateBps(rate));
}

bool UsesModem(const OperationSettings& s) {
  return s.commMode != 0 && !s.phoneNumber.isEmpty();
}

}  // namespace

QString FinalMessage(const QString& text, const QString& detail) {
  if (detail.isEmpty())
    return text;
  if (text.isEmpty() || detail.contains(text))
    return detail;
  return text + QLatin1Char('\n') + detail;
}

QString OperationUi::FieldText(const QString& key, const QString& value) const {
  return QStringLiteral("%1 %2").arg(key, value);
}

std::optional<int> SessionLocalPort(QString* error) {
  const QByteArray text = qgetenv("XV4_LOCAL_PORT");
  if (text.isEmpty())
    return TValdMBusComm::kLocalPort;
  bool ok = false;
  const int port = text.toInt(&ok);
  if (!ok || port < 0 || port > 65535) {
    *error = QStringLiteral("XV4_LOCAL_PORT must be a port number, not '%1'")
                 .arg(QString::fromLocal8Bit(text));
    return std::nullopt;
  }
  return port;
}

QByteArray Operations::DrawerCommand() {
  return QByteArray("\x1B\x70\x00\x18\x18", 5);
}

Operations::Operations(TValdMBusComm& comm, OperationUi& ui)
    : comm_(comm), ui_(ui), modem_(comm.Link()) {
  // A carrier lost in the middle of an exchange ends its wait at once; the exchanges after it
  // are not started (Exchange).
  modem_.OnLineDropped = [this] { comm_.Abort(); };
}

void Operations::Abort() {
  abortRequested_ = true;
  comm_.Abort();
}

QString Operations::TargetOf(const OperationSettings& s, bool drawer) const {
  if (s.commMode == 0) {
    return NetworkTarget(
        s.ipAddress, drawer ? drawerPort_ : ParseDecimal(s.ipPort).value_or(kDefaultRemotePort));
  }
  const QString serial = SerialTarget(s.portName, BaudRateFromOrdinal(s.baudIndex + 1));
  if (UsesModem(s))
    return QStringLiteral("%1 through the modem on %2").arg(s.phoneNumber, serial);
  return serial;
}

std::optional<InputError> Operations::CheckConnection(const OperationSettings& s) const {
  if (s.commMode != 0) {
    // The number goes into the modem's command line: a CR or AT text in it would send commands
    // of its own.
    if (UsesModem(s) && !IsValidPhoneNumber(s.phoneNumber)) {
      return InputError{QStringLiteral("Invalid phone number"), QStringLiteral("PhoneNumber"),
                        s.phoneNumber,
                        QStringLiteral("a number holds digits, * # , ; + - ( ) and blanks, and "
                                       "the dial modifiers W P T ! @; at most %1 characters")
                            .arg(kMaxPhoneNumber)};
    }
    return std::nullopt;
  }
  if (auto error = AddressFieldError(QStringLiteral("IPAddrEd"), s.ipAddress))
    return error;
  // A number outside the UDP port range would be cut to 16 bits on the way to the socket and
  // reach another port (70000 becomes 4464). Text that is not a number stands for 5013.
  if (const std::optional<std::int32_t> port = ParseDecimal(s.ipPort);
      port && (*port < 1 || *port > 65535)) {
    return InputError{
        QStringLiteral("Invalid port %1: the printer's port is a number from 1 to 65535.")
            .arg(*port),
        QStringLiteral("IPPortEd"),
        s.ipPort,
        {}};
  }
  return std::nullopt;
}

void Operations::ApplyConnection(const OperationSettings& s) {
  if (s.commMode == 0) {
    comm_.SetMode(tmTCPIP);
    comm_.SetRemoteHost(s.ipAddress);
    comm_.SetRemotePort(ParseDecimal(s.ipPort).value_or(kDefaultRemotePort));
    // The printer's address as a number: the network transactions send to the address it holds.
    comm_.MachineNo = static_cast<std::int32_t>(AddressToNumber(s.ipAddress, true));
    return;
  }
  comm_.SetCommName(s.portName);
  comm_.SetBaudRate(BaudRateFromOrdinal(s.baudIndex + 1));
  comm_.MachineNo = ParseDecimal(s.machineId).value_or(kDefaultMachineNo);
  comm_.SetMode(tmRS232);
  // Without a phone number (the window has no modem settings) the printer is on the line itself.
  comm_.SetisModem(UsesModem(s));
  comm_.SetPhoneNumber(s.phoneNumber);
}

std::optional<OpResult> Operations::OpenLink(const OperationSettings& s) {
  const bool modem = s.commMode != 0 && comm_.isModem();
  if (modem) {
    abortRequested_ = false;
    modem_.Attach();  // the open starts the modem's initialisation
  }
  try {
    comm_.SetActive(true);
  } catch (...) {
    modem_.Detach();
    return LinkNotOpened(s);  // the session has shown why
  }
  if (!modem)
    return std::nullopt;
  return DialPrinter(s);
}

std::optional<OpResult> Operations::DialPrinter(const OperationSettings& s) {
  ui_.Show();
  ui_.SetStatus(0, QStringLiteral("Dialing %1...").arg(s.phoneNumber));
  const std::uint32_t start = platform::GetTickCount();
  const ModemCall::Outcome outcome =
      modem_.Dial([this] { return abortRequested_ || ui_.Cancelled(); });
  if (outcome == ModemCall::Outcome::Connected)
    return std::nullopt;
  const QString took = Seconds(platform::GetTickCount() - start);
  if (outcome == ModemCall::Outcome::Cancelled) {
    CloseLink();
    return OpResult{
        OpStatus::Cancelled,
        {},
        QStringLiteral("Cancelled while dialing %1 after %2 s").arg(s.phoneNumber, took)};
  }
  const QString dialing =
      QStringLiteral("Dialing %1 on %2").arg(s.phoneNumber, PortText(s.portName));
  QString text;
  QString detail;
  switch (outcome) {
    case ModemCall::Outcome::Busy:
      text = QStringLiteral("The printer's line is busy");
      detail = QStringLiteral("%1: BUSY after %2 s (the line is in use; try again later)")
                   .arg(dialing, took);
      break;
    case ModemCall::Outcome::NoAnswer:
      text = QStringLiteral("The printer's modem does not answer");
      detail = QStringLiteral(
                   "%1: NO ANSWER after %2 s (is the printer's modem on, and does it answer "
                   "calls?)")
                   .arg(dialing, took);
      break;
    case ModemCall::Outcome::NoDialTone:
      text = QStringLiteral("No dial tone");
      detail = QStringLiteral("%1: NO DIALTONE after %2 s (is the modem's telephone cable in?)")
                   .arg(dialing, took);
      break;
    case ModemCall::Outcome::NoCarrier:
      text = QStringLiteral("No connection to the printer's modem");
      detail = QStringLiteral(
                   "%1: NO CARRIER after %2 s (the call was taken but no connection came up; is "
                   "the number the printer's modem?)")
                   .arg(dialing, took);
      break;
    case ModemCall::Outcome::NoResult:
      text = QStringLiteral("The modem gave no result for the call");
      detail = QStringLiteral("%1: nothing from the modem within %2 s (is the number right?)")
                   .arg(dialing, took);
      break;
    default:
      text = QStringLiteral("The modem does not answer");
      detail = QStringLiteral(
                   "Initialising the modem on %1: no OK within %2 s (is a modem attached to the "
                   "port and switched on?)")
                   .arg(PortText(s.portName), took);
      break;
  }
  ui_.ShowFinalStatus(text, detail);
  CloseLink();
  return OpResult{OpStatus::LinkNotOpened, text, detail};
}

void Operations::CloseLink() {
  modem_.HangUp();
  try {
    comm_.SetActive(false);
  } catch (...) {
    // Closing a port that is already gone must not hide the operation's own outcome.
  }
  modem_.Detach();
}

void Operations::Begin(const QString& target) {
  target_ = target;
  started_ = platform::GetTickCount();
  records_ = 0;
}

OpResult Operations::Finish(OpResult r) const {
  if (r.target.isEmpty())
    r.target = target_;
  r.records = records_;
  r.elapsedMs = static_cast<int>(platform::GetTickCount() - started_);
  return r;
}

template <class Transaction>
bool Operations::Exchange(bool handshakeBudget, Transaction&& transaction) {
  if (modem_.LineDropped())
    return false;  // nothing more reaches the printer
  exchangeTries_ = handshakeBudget && comm_.Mode() == tmRS232 ? TValdMBusComm::kSerialHandshakeSends
                                                              : comm_.RetryCount() + 1;
  exchangeStarted_ = platform::GetTickCount();
  const bool ok = transaction();
  if (ok)
    ++records_;
  return ok;
}

// What the last try of a failed exchange met. A cause on this side of the line that the session
// names (the serial port hung up) comes first: it says more than the missing answer.
QString Operations::WhatTheSessionSaw(bool acknowledgement) const {
  if (const QString reason = comm_.LastFailure(); !reason.isEmpty())
    return reason;
  if (comm_.ReplyByte() == NakByte)
    return QStringLiteral("refused by the printer (0x55)");
  if (!acknowledgement && comm_.Mode() == tmRS232 && comm_.ChecksumError())
    return QStringLiteral("answers with a wrong checksum (line noise or a wrong speed?)");
  if (comm_.ReceiveState() == 0)
    return QStringLiteral("only incomplete or garbled answers");
  return acknowledgement ? QStringLiteral("no acknowledgement") : QStringLiteral("no answer");
}

QString Operations::TriesText() const {
  return QStringLiteral("%1 %2 in %3 s")
      .arg(exchangeTries_)
      .arg(exchangeTries_ == 1 ? QStringLiteral("try") : QStringLiteral("tries"))
      .arg(Seconds(platform::GetTickCount() - exchangeStarted_));
}

QString Operations::ExchangeFailure(const QString& what, const QString& hint) const {
  if (modem_.LineDropped()) {
    return QStringLiteral("%1 failed: the modem line dropped (NO CARRIER) after %2 s")
        .arg(what, Seconds(platform::GetTickCount() - started_));
  }
  QString line =
      QStringLiteral("%1 failed after %2: %3").arg(what, TriesText(), WhatTheSessionSaw(false));
  if (!hint.isEmpty())
    line += QStringLiteral(" (%1)").arg(hint);
  return line;
}

QString Operations::RecordFailure(const QString& operation, int record, int total) const {
  if (modem_.LineDropped()) {
    return QStringLiteral(
               "%1 to %2 stopped at record %3 of %4: the modem line dropped (NO "
               "CARRIER) after %5 s")
        .arg(operation, target_)
        .arg(record)
        .arg(total)
        .arg(Seconds(platform::GetTickCount() - started_));
  }
  return QStringLiteral(
             "%1 to %2 stopped at record %3 of %4: %5 after %6 (did the printer "
             "restart, or lose its connection?)")
      .arg(operation, target_)
      .arg(record)
      .arg(total)
      .arg(WhatTheSessionSaw(true), TriesText());
}

QString Operations::ConnectFailure(bool handshakeDone) const {
  if (handshakeDone) {
    // A serial handshake walks the line speeds; the read that follows goes at the chosen one.
    return ExchangeFailure(
        QStringLiteral("Reading the model information from %1").arg(target_),
        comm_.Mode() == tmTCPIP
            ? QStringLiteral("the printer acknowledged the handshake")
            : QStringLiteral("the printer acknowledged the handshake: is %1 baud its speed?")
                  .arg(BaudRateBps(comm_.BaudRate())));
  }
  const QString hint =
      comm_.Mode() == tmTCPIP
          ? QStringLiteral("is the printer on, and is %1 its port?").arg(comm_.RemotePort())
          : QStringLiteral("is the printer on and its cable in, and is %1 its machine number?")
                .arg(comm_.MachineNo);
  return ExchangeFailure(QStringLiteral("Connecting to %1").arg(target_), hint);
}

QString Operations::Succeeded() const {
  return QStringLiteral("%1 records exchanged with %2 in %3 s")
      .arg(records_)
      .arg(target_, Seconds(platform::GetTickCount() - started_));
}

OpResult Operations::Fail(const QString& text, const QString& detail) {
  const bool cancelled = ui_.Cancelled();
  ui_.ShowFinalStatus(text, detail);  // dropped when the user has cancelled
  CloseLink();
  if (cancelled) {
    return {
        OpStatus::Cancelled, text,
        QStringLiteral("Cancelled after %1 s").arg(Seconds(platform::GetTickCount() - started_))};
  }
  return {OpStatus::Failed, text, detail};
}

OpResult Operations::Refuse(const QString& text) {
  ui_.MessageBox(platform::MessageKind::Error, text, {});
  return {OpStatus::BadInput, text};
}

OpResult Operations::Refuse(const InputError& error) {
  QString detail =
      QStringLiteral("%1: %2").arg(ui_.FieldText(error.field, error.value), error.text);
  if (!error.hint.isEmpty())
    detail += QStringLiteral(" (%1)").arg(error.hint);
  ui_.MessageBox(platform::MessageKind::Error, error.text, detail);
  OpResult r{OpStatus::BadInput, error.text, detail};
  r.field = error.field;
  return r;
}

OpResult Operations::LinkNotOpened(const OperationSettings& s) {
  // The session has shown its own message; this one says why and what to do.
  const QString detail =
      QStringLiteral("Cannot open %1: %2")
          .arg(PortText(s.portName), SerialOpenFailureReason(TComm::DevicePathOf(s.portName)));
  ui_.MessageBox(platform::MessageKind::Error, {}, detail);
  return {OpStatus::LinkNotOpened, {}, detail};
}

OpResult Operations::Crashed(const char* what) {
  const QString text = QString::fromLocal8Bit(what);
  ui_.Close();
  CloseLink();
  ui_.MessageBox(platform::MessageKind::Error, text, {});
  return {OpStatus::Failed, text};
}

bool Operations::Connect(OpResult* failed) {
  ui_.SetStatus(0, MessageText(Msg::Connect));
  // The session's Connect, in its two steps, so that the failure can say which one failed.
  if (!Exchange(true, [this] { return comm_.Handshake(comm_.MachineNo, 0); })) {
    *failed = Fail(MessageText(Msg::ConnectFail), ConnectFailure(false));
    return false;
  }
  if (!Exchange(false, [this] { return comm_.ReadModelInfo(); })) {
    *failed = Fail(MessageText(Msg::ConnectFail), ConnectFailure(true));
    return false;
  }
  return true;
}

OpResult Operations::CommTest(const OperationSettings& s) {
  Begin(TargetOf(s));
  return Finish(RunCommTest(s));
}

OpResult Operations::RunCommTest(const OperationSettings& s) {
  if (const auto error = CheckConnection(s))
    return Refuse(*error);
  ApplyConnection(s);
  if (auto failed = OpenLink(s))
    return *failed;
  try {
    ui_.Show();
    OpResult failed;
    if (!Connect(&failed))
      return failed;
    ui_.SetStatus(0, MessageText(Msg::CommTest));
    comm_.DataBlock.fill(0x00);
    if (!Exchange(false, [this] { return comm_.WriteRecord(kCmdData, kWordTestRecord); })) {
      return Fail(MessageText(Msg::CommTestFail),
                  ExchangeFailure(QStringLiteral("The test record to %1").arg(target_),
                                  QStringLiteral("the printer answered the handshake")));
    }
    ui_.SetStatus(0, MessageText(Msg::CommTestOk));
    ui_.SetStatus(0, MessageText(Msg::Disconnect));
    if (!Exchange(false, [this] { return comm_.EndSession(comm_.MachineNo, 0); })) {
      return Fail(MessageText(Msg::DisconnectFail),
                  ExchangeFailure(QStringLiteral("Ending the session with %1").arg(target_),
                                  QStringLiteral("the test record was acknowledged")));
    }
    commTested_ = true;
    ui_.Close();
    CloseLink();
    return {OpStatus::Success, MessageText(Msg::CommTestOk), Succeeded()};
  } catch (const std::exception& e) {
    return Crashed(e.what());
  }
}

OpResult Operations::OpenDrawer(const OperationSettings& s) {
  if (s.commMode == 0) {
    Begin(TargetOf(s, true));
    // The TCP client would expand a shorthand address (127.1) or look up a name: the drawer
    // takes the same dotted addresses as every other operation.
    if (auto error = AddressFieldError(QStringLiteral("IPAddrEd"), TrimBlanks(s.ipAddress)))
      return Finish(Refuse(*error));
    return Finish(RunSendRawTcp(s.ipAddress, drawerPort_, DrawerCommand()));
  }

  // RS232: a communication test first, once per run; the command goes out whatever its outcome.
  Begin(TargetOf(s));
  if (const auto error = CheckConnection(s))
    return Finish(Refuse(*error));
  const OpStatus test = commTested_ ? OpStatus::Success : RunCommTest(s).status;
  // The test may not have run, or may have stopped before it read the window: the command goes to
  // the port and speed in the window, not to the last session's printer.
  ApplyConnection(s);
  if (auto failed = OpenLink(s))
    return Finish(*failed);
  const QByteArray command = DrawerCommand();
  QString notSent;  // why the command did not leave the port
  try {
    comm_.SendRaw(reinterpret_cast<const std::uint8_t*>(command.constData()),
                  static_cast<std::uint16_t>(command.size()));
    // The link hands the bytes to its write thread; closing the port at once could drop them
    // before they are on the line. Wait for the link's send-done (bounded, in case the line is
    // held up by flow control).
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, [this] { comm_.Abort(); });
    limit.start(kDrawerDrainLimitMs);
    comm_.WaitReply(0);
    // A port that hung up, or one that still holds the bytes when it is closed, never sent them.
    if (!comm_.LastSendLeft()) {
      notSent = comm_.LastFailure().isEmpty()
                    ? QStringLiteral("serial port %1 did not send it within %2 s")
                          .arg(comm_.CommName())
                          .arg(kDrawerDrainLimitMs / 1000)
                    : comm_.LastFailure();
    }
  } catch (const std::exception& e) {
    notSent = QString::fromLocal8Bit(e.what());
  }
  if (!notSent.isEmpty()) {
    CloseLink();
    const QString detail =
        QStringLiteral("Cash drawer: the command to %1 was not sent").arg(target_);
    ui_.MessageBox(platform::MessageKind::Error, notSent, detail);
    return Finish({OpStatus::Failed, notSent, detail});
  }
  CloseLink();
  const QString sent = QStringLiteral("Cash drawer: command sent to %1").arg(target_);
  if (test == OpStatus::Cancelled)
    return Finish({OpStatus::Cancelled, {}, sent});
  if (test != OpStatus::Success) {
    return Finish({OpStatus::Failed, kDrawerAfterFailedTest,
                   sent + QStringLiteral(", after a failed communication test")});
  }
  return Finish({OpStatus::Success, {}, sent});
}

OpResult Operations::SendRawTcp(const QString& host, int port, const QByteArray& bytes) {
  Begin(NetworkTarget(host, port));
  return Finish(RunSendRawTcp(host, port, bytes));
}

OpResult Operations::RunSendRawTcp(const QString& host, int port, const QByteArray& bytes) {
  tcpClient_.SetHost(TrimBlanks(host));
  tcpClient_.SetPort(port);
  const QString where = NetworkTarget(host, port);
  QString text;
  QString detail;
  try {
    tcpClient_.Connect(kTcpConnectTimeoutMs);
    const std::int64_t sent = tcpClient_.Send(bytes.constData(), bytes.size());
    tcpClient_.Disconnect();
    if (sent == bytes.size())
      return {OpStatus::Success, {}, QStringLiteral("Cash drawer: command sent to %1").arg(where)};
    // The connection broke before the command went out: not a success.
    detail = QStringLiteral("Cash drawer: the connection to %1 broke before the command went out")
                 .arg(where);
  } catch (const ESocketError& e) {
    tcpClient_.Disconnect();
    text = QString::fromLocal8Bit(e.what());
    if (e.Code() == ECONNREFUSED) {
      detail = QStringLiteral(
                   "Cash drawer: %1 refused the connection (is %2 the printer's raw "
                   "printing port, and is the address right?)")
                   .arg(where)
                   .arg(port);
    } else if (e.Code() == 0) {
      detail = QStringLiteral(
                   "Cash drawer: %1 did not take the connection within %2 s (is the "
                   "printer on, and is the address right?)")
                   .arg(where, Seconds(kTcpConnectTimeoutMs));
    } else {
      detail = QStringLiteral("Cash drawer: %1: %2").arg(where, SocketErrorText(e.Code()));
    }
  } catch (const std::exception& e) {
    tcpClient_.Disconnect();
    text = QString::fromLocal8Bit(e.what());
    detail = QStringLiteral("Cash drawer: %1: %2").arg(where, text);
  }
  ui_.MessageBox(platform::MessageKind::Error, text, detail);
  return {OpStatus::Failed, text, detail};
}

std::optional<QString> Operations::ResolveDataFile(const QString& given) {
  if (!given.isEmpty())
    return given;
  const QString standard = platform::ApplicationDir() + kDataFileName;
  if (QFileInfo::exists(standard))
    return standard;
  dialogTitle_ = MessageText(Msg::OpenFont);
  return ui_.ChooseFile(dialogTitle_);
}

namespace {

// Reads a whole data or program file (at most 16 MiB can be numbered); an error text on failure.
std::optional<QString> ReadWholeFile(const QString& path, QByteArray* content) {
  QFileInfo info(path);
  if (!info.exists())
    return QStringLiteral("File not found: %1").arg(path);
  if (!info.isFile())
    return QStringLiteral("Not a file: %1").arg(path);
  const qint64 limit = static_cast<qint64>(Operations::kMaxRecords) * kDataSize;
  if (info.size() > limit) {
    return QStringLiteral(
               "%1 holds %2 records of 256 bytes; the record number is 16 bits wide, so at most "
               "65536 records (16 MiB) can be sent. Nothing was sent.")
        .arg(path)
        .arg(RecordCount(info.size()));
  }
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly))
    return QStringLiteral("Cannot read %1: %2").arg(path, file.errorString());
  *content = file.read(limit + 1);
  if (content->size() > limit) {
    return QStringLiteral("%1 grew beyond 65536 records while it was read. Nothing was sent.")
        .arg(path);
  }
  return std::nullopt;
}

}  // namespace

OpResult Operations::DownloadParams(const OperationSettings& s, const QString& dataFile) {
  Begin(TargetOf(s));
  return Finish(RunDownload(Download::Params, s, dataFile));
}

OpResult Operations::DownloadData(const OperationSettings& s, const QString& dataFile) {
  Begin(TargetOf(s));
  return Finish(RunDownload(Download::Data, s, dataFile));
}

OpResult Operations::RunDownload(Download kind, const OperationSettings& s,
                                 const QString& dataFile) {
  const bool params = kind == Download::Params;
  if (BluetoothNameTooLong(s)) {
    return Refuse(InputError{QStringLiteral("Length > 31"), QStringLiteral("edtlanyani"), s.btName,
                             QStringLiteral("the Bluetooth name holds at most 31 bytes; a "
                                            "Chinese character takes two")});
  }

  // From here on every way out of the parameter download writes log.hex.
  std::optional<ParamLogWriter> log;
  if (params)
    log.emplace(ui_);

  if (const auto error = CheckConnection(s))
    return Refuse(*error);
  if (const auto error =
          FindParamInputError(s, params ? ParamVariant::ParamDownload : ParamVariant::DataDownload))
    return Refuse(*error);

  const std::optional<QString> path = ResolveDataFile(dataFile);
  if (!path)
    return {OpStatus::Cancelled, {}};
  QByteArray file;
  if (const auto error = ReadWholeFile(*path, &file))
    return Refuse(*error);
  const int records = RecordCount(file.size());
  if (params && records < kMinParamFileRecords) {
    return Refuse(QStringLiteral("%1 holds %2 records of 256 bytes; the parameters travel as "
                                 "records 121 and 122, so the file needs at least 123 records "
                                 "(31488 bytes). Nothing was sent.")
                      .arg(*path)
                      .arg(records));
  }
  if (records == 0)
    return Refuse(QStringLiteral("The data file %1 is empty. Nothing was sent.").arg(*path));

  ApplyConnection(s);
  if (auto failed = OpenLink(s))
    return *failed;
  try {
    return DownloadBody(kind, s, file, log ? log->Bytes() : nullptr);
  } catch (const std::exception& e) {
    return Crashed(e.what());
  }
}

std::optional<DeviceValues> Operations::ReadDeviceValues(bool readMachineNo,
                                                         const QString& machineNoFail,
                                                         OpResult* failed) {
  DeviceValues device;
  if (readMachineNo) {
    // Machine-number read: the request's data is F9 01 00 and 0xFF; the reply's bytes 4..7
    // hold the number as the printer keeps it.
    comm_.DataBlock.fill(0xFF);
    comm_.DataBlock[0] = 0xF9;
    comm_.DataBlock[1] = 0x01;
    comm_.DataBlock[2] = 0x00;
    if (!Exchange(false, [this] { return comm_.ReadRecord(kCmdSession, kWordInformation); })) {
      *failed = Fail(
          machineNoFail,
          ExchangeFailure(QStringLiteral("Reading the machine number from %1").arg(target_), {}));
      return std::nullopt;
    }
    std::copy(comm_.DataBlock.begin() + 4, comm_.DataBlock.begin() + 8, device.machineNo.begin());
  }
  if (!Exchange(true, [this] { return comm_.ReadDeviceInfo(comm_.MachineNo); })) {
    *failed =
        Fail(MessageText(Msg::UploadInfoFail),
             ExchangeFailure(
                 QStringLiteral("Reading the printer's information from %1").arg(target_), {}));
    return std::nullopt;
  }
  device.info = comm_.DataBlock;
  return device;
}

OpResult Operations::DownloadBody(Download kind, const OperationSettings& s, const QByteArray& file,
                                  QByteArray* paramLog) {
  const bool params = kind == Download::Params;
  const QString writeFail = MessageText(params ? Msg::DownloadParamFail : Msg::DownloadDataFail);

  ui_.Show();
  OpResult failed;
  if (!Connect(&failed))
    return failed;

  ui_.SetStatus(0, MessageText(params ? Msg::DownloadParam : Msg::DownloadData));
  comm_.DataBlock.fill(0x00);
  if (!Exchange(false, [this] { return comm_.WriteRecord(kCmdData, kWordTestRecord); })) {
    return Fail(writeFail, ExchangeFailure(QStringLiteral("The test record to %1").arg(target_),
                                           QStringLiteral("the printer answered the handshake")));
  }

  const std::optional<DeviceValues> device = ReadDeviceValues(
      !s.machineNoRowVisible, params ? writeFail : QStringLiteral("Download Data err"), &failed);
  if (!device)
    return failed;
  const NameBuffer name = UsesDeviceName(s) ? DeviceName(device->info) : TypedName(s);

  const int records = RecordCount(file.size());
  const int count = params ? std::min(records, kParamRecords) : records;
  const int total = params ? kParamRecords : count;
  ui_.SetMargin(total);
  const ParamVariant variant = params ? ParamVariant::ParamDownload : ParamVariant::DataDownload;
  for (int i = 0; i < count; ++i) {
    ui_.SetProgress(i + 1);
    LoadRecord(comm_, file, i);
    if (i >= kParamRecordA && i <= kParamRecordBlank) {
      DataBytes block;
      block.fill(0xFF);
      if (i == kParamRecordA)
        block = BuildParamBlockA(s, *device, name, variant);
      else if (i == kParamRecordB)
        block = params ? BuildParamBlockB(s) : BuildDataBlockB(s);
      comm_.DataBlock = block;
      if (paramLog != nullptr && i != kParamRecordBlank)
        paramLog->append(reinterpret_cast<const char*>(block.data()), kDataSize);
    }
    if (!Exchange(false, [this, i] {
          return comm_.WriteRecord(kCmdData, static_cast<std::uint16_t>(i));
        })) {
      return Fail(params ? MessageText(Msg::UploadInfoFail) : writeFail,
                  RecordFailure(params ? QStringLiteral("Parameter download")
                                       : QStringLiteral("Data download"),
                                i, total));
    }
  }

  ui_.SetStatus(0, MessageText(Msg::Disconnect));
  if (!Exchange(false, [this] { return comm_.EndSession(comm_.MachineNo, 0); })) {
    return Fail(MessageText(Msg::DisconnectFail),
                ExchangeFailure(QStringLiteral("Ending the session with %1").arg(target_),
                                QStringLiteral("every record was acknowledged; restart the "
                                               "printer and check its settings")));
  }
  ui_.Close();
  CloseLink();
  const QString done = MessageText(params ? Msg::DownloadParamOk : Msg::DownloadDataOk);
  const QString detail = Succeeded();
  ui_.SuccessMessage(done, detail);
  return {OpStatus::Success, done, detail};
}

OpResult Operations::DownloadProgram(const OperationSettings& s, const QString& programFile) {
  Begin(TargetOf(s));
  if (const auto error = CheckConnection(s))
    return Finish(Refuse(*error));
  QString path = programFile;
  if (path.isEmpty()) {
    // No title of its own: the dialog keeps the one an earlier download gave it.
    const std::optional<QString> chosen = ui_.ChooseFile(dialogTitle_);
    if (!chosen)
      return Finish({OpStatus::Cancelled, {}});
    path = *chosen;
  }
  QByteArray file;
  if (const auto error = ReadWholeFile(path, &file))
    return Finish(Refuse(*error));
  if (file.isEmpty())
    return Finish(
        Refuse(QStringLiteral("The program file %1 is empty. Nothing was sent.").arg(path)));

  ApplyConnection(s);
  if (auto failed = OpenLink(s))
    return Finish(*failed);
  try {
    return Finish(ProgramBody(file));
  } catch (const std::exception& e) {
    return Finish(Crashed(e.what()));
  }
}

OpResult Operations::ProgramBody(const QByteArray& file) {
  ui_.Show();
  OpResult failed;
  if (!Connect(&failed))
    return failed;

  const int count = RecordCount(file.size());
  ui_.SetMargin(count);
  ui_.SetStatus(0, MessageText(Msg::UpdataInfo));
  // The printer takes record 0 once as the opening record of an update, then again as the first
  // record of the run.
  ui_.SetProgress(1);
  LoadRecord(comm_, file, 0);
  const QString operation = QStringLiteral("Program download");
  if (!Exchange(false, [this] { return comm_.WriteRecord(kCmdProgram, 0); }))
    return Fail(MessageText(Msg::UpdataFail), RecordFailure(operation, 0, count));
  for (int i = 0; i < count; ++i) {
    ui_.SetProgress(i + 1);
    LoadRecord(comm_, file, i);
    if (!Exchange(false, [this, i] {
          return comm_.WriteRecord(kCmdProgram, static_cast<std::uint16_t>(i));
        })) {
      return Fail(MessageText(Msg::UpdataFail), RecordFailure(operation, i, count));
    }
  }
  // The program download ends without an end-of-session record.
  ui_.Close();
  CloseLink();
  const QString done = MessageText(Msg::UpdataOk);
  const QString detail = Succeeded();
  ui_.SuccessMessage(done, detail);
  return {OpStatus::Success, done, detail};
}

OpResult Operations::ReadInfo(const OperationSettings& s) {
  Begin(TargetOf(s));
  if (const auto error = CheckConnection(s))
    return Finish(Refuse(*error));
  ApplyConnection(s);
  if (auto failed = OpenLink(s))
    return Finish(*failed);
  try {
    return Finish(InfoBody());
  } catch (const std::exception& e) {
    return Finish(Crashed(e.what()));
  }
}

OpResult Operations::InfoBody() {
  ui_.Show();
  OpResult failed;
  if (!Connect(&failed))
    return failed;
  const std::optional<DeviceValues> device =
      ReadDeviceValues(true, MessageText(Msg::UploadInfoFail), &failed);
  if (!device)
    return failed;
  ui_.SetStatus(0, MessageText(Msg::Disconnect));
  if (!Exchange(false, [this] { return comm_.EndSession(comm_.MachineNo, 0); })) {
    return Fail(MessageText(Msg::DisconnectFail),
                ExchangeFailure(QStringLiteral("Ending the session with %1").arg(target_), {}));
  }
  ui_.Close();
  CloseLink();
  OpResult r{OpStatus::Success, {}, Succeeded()};
  r.device = *device;
  return r;
}

}  // namespace xv4
