#include "appcore/Operations.h"

#include "appcore/LanguageTexts.h"
#include "appcore/ParamBlocks.h"
#include "link/BaudRate.h"
#include "platform/AppDir.h"
#include "platform/Files.h"
#include "protocol/DeviceRecord.h"
#include "protocol/ValdMBus.h"

#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>
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

void CloseLink(TValdMBusComm& comm) {
  try {
    comm.SetActive(false);
  } catch (...) {
    // Closing a port that is already gone must not hide the operation's own outcome.
  }
}

// log.hex: the parameter blocks as sent, written when the parameter download ends, whichever
// way it ends.
class ParamLogWriter {
 public:
  explicit ParamLogWriter(OperationUi& ui) : ui_(ui) {}
  ~ParamLogWriter() {
    QString error;
    const QString path = platform::ApplicationDir() + kParamLogName;
    if (!platform::WriteFileAtomic(path, bytes_, false, &error))
      ui_.MessageBox(platform::MessageKind::Warning,
                     QStringLiteral("Cannot write %1: %2").arg(path, error));
  }
  ParamLogWriter(const ParamLogWriter&) = delete;
  ParamLogWriter& operator=(const ParamLogWriter&) = delete;
  QByteArray* Bytes() { return &bytes_; }

 private:
  OperationUi& ui_;
  QByteArray bytes_;
};

}  // namespace

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

Operations::Operations(TValdMBusComm& comm, OperationUi& ui) : comm_(comm), ui_(ui) {}

void Operations::Abort() {
  comm_.Abort();
}

std::optional<QString> Operations::CheckConnection(const OperationSettings& s) const {
  if (s.commMode != 0)
    return std::nullopt;
  if (const QString error = AddressInputError(s.ipAddress); !error.isEmpty())
    return error;
  // A number outside the UDP port range would be cut to 16 bits on the way to the socket and
  // reach another port (70000 becomes 4464). Text that is not a number stands for 5013.
  if (const std::optional<std::int32_t> port = ParseDecimal(s.ipPort);
      port && (*port < 1 || *port > 65535)) {
    return QStringLiteral("Invalid port %1: the printer's port is a number from 1 to 65535.")
        .arg(*port);
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
  // The window has no modem settings: a modem link could never reach the printer from it.
  comm_.SetisModem(false);
}

bool Operations::OpenLink() {
  try {
    comm_.SetActive(true);
    return true;
  } catch (...) {
    return false;  // the session has shown why
  }
}

OpResult Operations::Fail(const QString& step) {
  // A cause on this side of the line (the serial port hung up) is named after the step's text.
  const QString reason = comm_.LastFailure();
  const QString text = reason.isEmpty() ? step : step + QStringLiteral(" (") + reason + ')';
  const bool cancelled = ui_.Cancelled();
  ui_.ShowFinalStatus(text);  // dropped when the user has cancelled
  CloseLink(comm_);
  return {cancelled ? OpStatus::Cancelled : OpStatus::Failed, text};
}

OpResult Operations::Refuse(const QString& text) {
  ui_.MessageBox(platform::MessageKind::Error, text);
  return {OpStatus::BadInput, text};
}

OpResult Operations::Crashed(const char* what) {
  const QString text = QString::fromLocal8Bit(what);
  ui_.Close();
  CloseLink(comm_);
  ui_.MessageBox(platform::MessageKind::Error, text);
  return {OpStatus::Failed, text};
}

OpResult Operations::CommTest(const OperationSettings& s) {
  if (const auto error = CheckConnection(s))
    return Refuse(*error);
  ApplyConnection(s);
  if (!OpenLink())
    return {OpStatus::LinkNotOpened, {}};
  try {
    ui_.Show();
    ui_.SetStatus(0, MessageText(Msg::Connect));
    if (!comm_.Connect(comm_.MachineNo, 0, true))
      return Fail(MessageText(Msg::ConnectFail));
    ui_.SetStatus(0, MessageText(Msg::CommTest));
    comm_.DataBlock.fill(0x00);
    if (!comm_.WriteRecord(kCmdData, kWordTestRecord))
      return Fail(MessageText(Msg::CommTestFail));
    ui_.SetStatus(0, MessageText(Msg::CommTestOk));
    ui_.SetStatus(0, MessageText(Msg::Disconnect));
    if (!comm_.EndSession(comm_.MachineNo, 0))
      return Fail(MessageText(Msg::DisconnectFail));
    commTested_ = true;
    ui_.Close();
    CloseLink(comm_);
    return {OpStatus::Success, MessageText(Msg::CommTestOk)};
  } catch (const std::exception& e) {
    return Crashed(e.what());
  }
}

OpResult Operations::OpenDrawer(const OperationSettings& s) {
  if (s.commMode == 0)
    return SendRawTcp(s.ipAddress, drawerPort_, DrawerCommand());

  // RS232: once a test has succeeded in this run, the command goes out under whatever the last
  // operation put into the session.
  if (!commTested_)
    CommTest(s);
  bool opened = true;
  try {
    comm_.SetActive(true);
  } catch (...) {
    opened = false;
  }
  const QByteArray command = DrawerCommand();
  try {
    comm_.SendRaw(reinterpret_cast<const std::uint8_t*>(command.constData()),
                  static_cast<std::uint16_t>(command.size()));
    if (opened && comm_.Mode() == tmRS232) {
      // The link hands the bytes to its write thread; closing the port at once could drop them
      // before they are on the line. Wait for the link's send-done (bounded, in case the line
      // is held up by flow control).
      QTimer limit;
      limit.setSingleShot(true);
      QObject::connect(&limit, &QTimer::timeout, [this] { comm_.Abort(); });
      limit.start(kDrawerDrainLimitMs);
      comm_.WaitReply(0);
    }
  } catch (const std::exception& e) {
    CloseLink(comm_);
    ui_.MessageBox(platform::MessageKind::Error, QString::fromLocal8Bit(e.what()));
    return {OpStatus::Failed, QString::fromLocal8Bit(e.what())};
  }
  CloseLink(comm_);
  return {opened ? OpStatus::Success : OpStatus::LinkNotOpened, {}};
}

OpResult Operations::SendRawTcp(const QString& host, int port, const QByteArray& bytes) {
  tcpClient_.SetHost(TrimBlanks(host));
  tcpClient_.SetPort(port);
  try {
    tcpClient_.Connect(kTcpConnectTimeoutMs);
    tcpClient_.Send(bytes.constData(), bytes.size());
    tcpClient_.Disconnect();
  } catch (const std::exception& e) {
    tcpClient_.Disconnect();
    const QString text = QString::fromLocal8Bit(e.what());
    ui_.MessageBox(platform::MessageKind::Error, text);
    return {OpStatus::Failed, text};
  }
  return {OpStatus::Success, {}};
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
  return RunDownload(Download::Params, s, dataFile);
}

OpResult Operations::DownloadData(const OperationSettings& s, const QString& dataFile) {
  return RunDownload(Download::Data, s, dataFile);
}

OpResult Operations::RunDownload(Download kind, const OperationSettings& s,
                                 const QString& dataFile) {
  const bool params = kind == Download::Params;
  if (BluetoothNameTooLong(s))
    return Refuse(QStringLiteral("Length > 31"));

  // From here on every way out of the parameter download writes log.hex.
  std::optional<ParamLogWriter> log;
  if (params)
    log.emplace(ui_);

  if (const auto error = CheckConnection(s))
    return Refuse(*error);
  const QString inputError =
      CheckParamInput(s, params ? ParamVariant::ParamDownload : ParamVariant::DataDownload);
  if (!inputError.isEmpty())
    return Refuse(inputError);

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
  if (!OpenLink())
    return {OpStatus::LinkNotOpened, {}};
  try {
    return DownloadBody(kind, s, file, log ? log->Bytes() : nullptr);
  } catch (const std::exception& e) {
    return Crashed(e.what());
  }
}

OpResult Operations::DownloadBody(Download kind, const OperationSettings& s, const QByteArray& file,
                                  QByteArray* paramLog) {
  const bool params = kind == Download::Params;
  const QString writeFail = MessageText(params ? Msg::DownloadParamFail : Msg::DownloadDataFail);

  ui_.Show();
  ui_.SetStatus(0, MessageText(Msg::Connect));
  if (!comm_.Connect(comm_.MachineNo, 0, true))
    return Fail(MessageText(Msg::ConnectFail));

  ui_.SetStatus(0, MessageText(params ? Msg::DownloadParam : Msg::DownloadData));
  comm_.DataBlock.fill(0x00);
  if (!comm_.WriteRecord(kCmdData, kWordTestRecord))
    return Fail(writeFail);

  DeviceValues device;
  if (!s.machineNoRowVisible) {
    // Machine-number read: the request's data is F9 01 00 and 0xFF; the reply's bytes 4..7
    // hold the number as the printer keeps it.
    comm_.DataBlock.fill(0xFF);
    comm_.DataBlock[0] = 0xF9;
    comm_.DataBlock[1] = 0x01;
    comm_.DataBlock[2] = 0x00;
    if (!comm_.ReadRecord(kCmdSession, kWordInformation))
      return Fail(params ? writeFail : QStringLiteral("Download Data err"));
    std::copy(comm_.DataBlock.begin() + 4, comm_.DataBlock.begin() + 8, device.machineNo.begin());
  }

  if (!comm_.ReadDeviceInfo(comm_.MachineNo))
    return Fail(MessageText(Msg::UploadInfoFail));
  device.info = comm_.DataBlock;
  const NameBuffer name = UsesDeviceName(s) ? DeviceName(device.info) : TypedName(s);

  const int records = RecordCount(file.size());
  const int count = params ? std::min(records, kParamRecords) : records;
  ui_.SetMargin(params ? kParamRecords : count);
  const ParamVariant variant = params ? ParamVariant::ParamDownload : ParamVariant::DataDownload;
  for (int i = 0; i < count; ++i) {
    ui_.SetProgress(i + 1);
    LoadRecord(comm_, file, i);
    if (i >= kParamRecordA && i <= kParamRecordBlank) {
      DataBytes block;
      block.fill(0xFF);
      if (i == kParamRecordA)
        block = BuildParamBlockA(s, device, name, variant);
      else if (i == kParamRecordB)
        block = params ? BuildParamBlockB(s) : BuildDataBlockB(s);
      comm_.DataBlock = block;
      if (paramLog != nullptr && i != kParamRecordBlank)
        paramLog->append(reinterpret_cast<const char*>(block.data()), kDataSize);
    }
    if (!comm_.WriteRecord(kCmdData, static_cast<std::uint16_t>(i)))
      return Fail(params ? MessageText(Msg::UploadInfoFail) : writeFail);
  }

  ui_.SetStatus(0, MessageText(Msg::Disconnect));
  if (!comm_.EndSession(comm_.MachineNo, 0))
    return Fail(MessageText(Msg::DisconnectFail));
  ui_.Close();
  CloseLink(comm_);
  const QString done = MessageText(params ? Msg::DownloadParamOk : Msg::DownloadDataOk);
  ui_.SuccessMessage(done);
  return {OpStatus::Success, done};
}

OpResult Operations::DownloadProgram(const OperationSettings& s, const QString& programFile) {
  if (const auto error = CheckConnection(s))
    return Refuse(*error);
  QString path = programFile;
  if (path.isEmpty()) {
    // No title of its own: the dialog keeps the one an earlier download gave it.
    const std::optional<QString> chosen = ui_.ChooseFile(dialogTitle_);
    if (!chosen)
      return {OpStatus::Cancelled, {}};
    path = *chosen;
  }
  QByteArray file;
  if (const auto error = ReadWholeFile(path, &file))
    return Refuse(*error);
  if (file.isEmpty())
    return Refuse(QStringLiteral("The program file %1 is empty. Nothing was sent.").arg(path));

  ApplyConnection(s);
  if (!OpenLink())
    return {OpStatus::LinkNotOpened, {}};
  try {
    return ProgramBody(file);
  } catch (const std::exception& e) {
    return Crashed(e.what());
  }
}

OpResult Operations::ProgramBody(const QByteArray& file) {
  ui_.Show();
  ui_.SetStatus(0, MessageText(Msg::Connect));
  if (!comm_.Connect(comm_.MachineNo, 0, true))
    return Fail(MessageText(Msg::ConnectFail));

  const int count = RecordCount(file.size());
  ui_.SetMargin(count);
  ui_.SetStatus(0, MessageText(Msg::UpdataInfo));
  // The printer takes record 0 once as the opening record of an update, then again as the first
  // record of the run.
  ui_.SetProgress(1);
  LoadRecord(comm_, file, 0);
  if (!comm_.WriteRecord(kCmdProgram, 0))
    return Fail(MessageText(Msg::UpdataFail));
  for (int i = 0; i < count; ++i) {
    ui_.SetProgress(i + 1);
    LoadRecord(comm_, file, i);
    if (!comm_.WriteRecord(kCmdProgram, static_cast<std::uint16_t>(i)))
      return Fail(MessageText(Msg::UpdataFail));
  }
  // The program download ends without an end-of-session record.
  ui_.Close();
  CloseLink(comm_);
  const QString done = MessageText(Msg::UpdataOk);
  ui_.SuccessMessage(done);
  return {OpStatus::Success, done};
}

}  // namespace xv4
