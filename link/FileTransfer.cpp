#include "link/FileTransfer.h"

#include "link/MdmLnk.h"
#include "link/ReceivePath.h"
#include "platform/AppDir.h"
#include "platform/Files.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>
#include <optional>
#include <vector>

namespace xv4 {
namespace {

const QString kCrLf = QStringLiteral("\r\n");
const QString kFileDataAddress = QStringLiteral("00 01");

// Timer states, periods and tries.
constexpr std::uint32_t kOfferPeriod = 2000;  // 'S': offer sent
constexpr int kOfferTries = 4;
constexpr std::uint32_t kAcceptPeriod = 2000;  // 'N': file created, acceptance sent
constexpr int kAcceptTries = 4;
constexpr std::uint32_t kReadyPeriod = 1000;  // 'R': ready line sent
constexpr int kReadyTries = 3;
constexpr std::uint32_t kDataPeriod = 3000;  // 'T' transmitting, 'D' receiving
constexpr int kDataTries = 5;
constexpr std::uint32_t kEndPeriod = 2000;  // 'F': end line sent
constexpr int kEndTries = 4;

// A size field: decimal digits, nothing else. A size that is not a number or is negative cannot
// be what a file holds.
std::optional<qint64> ParseSize(const QString& text) {
  const QString t = text.trimmed();
  if (t.isEmpty() || !std::all_of(t.begin(), t.end(), [](QChar c) { return c.isDigit(); }))
    return std::nullopt;
  bool ok = false;
  const qint64 value = t.toLongLong(&ok, 10);
  if (!ok)
    return std::nullopt;
  return value;
}

QString PercentText(qint64 done, qint64 total) {
  // An empty file is complete from the start.
  const double percent =
      total <= 0 ? 100.0 : static_cast<double>(done) * 100.0 / static_cast<double>(total);
  return QString::asprintf("%2d%%", static_cast<int>(std::clamp(percent, 0.0, 999.0)));
}

// Field k of a transfer line, the line taken with a "|" after it.
QString Field(const QString& line, int k) {
  return ExtractField(k, k + 1, QLatin1Char('|'), line + QLatin1Char('|'));
}

bool BreaksALine(const QString& text) {
  return text.contains(QLatin1Char('|')) || text.contains(QLatin1Char('\r')) ||
         text.contains(QLatin1Char('\n'));
}

}  // namespace

FileTransfer::FileTransfer(LinkLayerHost& host, ProtocolTimer& timer)
    : host_(host), timer_(timer) {}

FileTransfer::~FileTransfer() {
  DropReceive();
  CloseSend();
}

QString FileTransfer::ReceiveRoot() const {
  return receiveRoot_.isEmpty() ? platform::ApplicationDir() : receiveRoot_;
}

bool FileTransfer::Busy() const {
  return timer_.Running() || sendFile_ != nullptr || receiveFile_ != nullptr;
}

FileTransfer::Progress FileTransfer::CurrentProgress() const {
  Progress p;
  p.direction = direction_;
  if (direction_ == Progress::kSending) {
    p.name = sendRemotePath_;
    p.done = bytesSent_;
    p.total = sendSize_;
  } else if (direction_ == Progress::kReceiving) {
    p.name = receivePath_;
    p.done = bytesReceived_;
    p.total = expectedSize_;
  }
  p.packs = packs_;
  p.firstPackTick = firstPackTick_;
  p.lastPackTick = lastPackTick_;
  p.doneAfterFirstPack = doneAfterFirstPack_;
  p.startTick = startTick_;
  p.failure = failure_;
  return p;
}

void FileTransfer::MarkPack(qint64 doneAfter) {
  const std::uint32_t now = host_.Ticks();
  if (!packs_) {
    packs_ = true;
    firstPackTick_ = now;
    doneAfterFirstPack_ = doneAfter;
  }
  lastPackTick_ = now;
}

void FileTransfer::Connected() {
  packCounter_ = 0;
  lastPackText_.clear();
}

void FileTransfer::Raise(const QString& name, const QString& dir, qint64 size, Status status,
                         const QString& text, LinkActions& after) {
  LinkLayerHost* host = &host_;
  const QString ps = remark_ + text;
  after.Add([host, name, dir, size, status, ps] {
    host->RaiseTransFile(name, dir, size, static_cast<std::int16_t>(status), ps);
  });
}

void FileTransfer::CloseSend() {
  sendFile_.reset();
  sendState_ = -1;
}

void FileTransfer::DropReceive() {
  if (receiveFile_)
    receiveFile_->cancelWriting();  // the temporary file goes; the old file stays
  receiveFile_.reset();
  receiveState_ = -1;
}

QString FileTransfer::FinishedText() const {
  return QStringLiteral("FINISHED_FILE|") + sendName_ + QLatin1Char('|') + sendDir_ +
         QLatin1Char('|') + QString::number(sendSize_) + QLatin1Char('|') + kCrLf;
}

bool FileTransfer::StartSend(const QString& localFile, const QString& remotePath,
                             const QString& remark, LinkActions& after, QString* error) {
  const auto refuse = [&](const QString& why) {
    host_.AddDebugMessage(QStringLiteral("Cannot send ") + localFile + QStringLiteral(": ") + why);
    if (error != nullptr)
      *error = why;
    return false;
  };
  if (Busy())
    return refuse(QStringLiteral("another transfer is in progress"));
  if (!host_.TransfersAllowed())
    return refuse(QStringLiteral("the other station has not logged in"));
  if (packSize_ < 1 || packSize_ > kMaxPackData)
    return refuse(
        QStringLiteral("pack size %1 is not usable (1 to %2)").arg(packSize_).arg(kMaxPackData));
  if (mode_ != 0 && mode_ != 1)
    return refuse(QStringLiteral("acknowledgement mode %1 is not 0 or 1").arg(mode_));

  // The name and directory as the other station will store them: separators written as "\".
  QString path = remotePath;
  path.replace(QLatin1Char('/'), QLatin1Char('\\'));
  const qsizetype cut = path.lastIndexOf(QLatin1Char('\\'));
  const QString name = path.mid(cut + 1);
  const QString dir = cut < 0 ? QString() : path.left(cut);
  if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
    return refuse(QStringLiteral("the remote path \"%1\" names no file").arg(remotePath));
  // A "|", CR or LF would end a field or the line early.
  if (BreaksALine(path) || BreaksALine(remark))
    return refuse(QStringLiteral("a remote path or remark cannot hold '|', CR or LF"));

  auto file = std::make_unique<QFile>(localFile);
  if (!QFileInfo(localFile).isFile() || !file->open(QIODevice::ReadOnly))
    return refuse(file->errorString().isEmpty() ? QStringLiteral("not a readable file")
                                                : file->errorString());

  sendFile_ = std::move(file);
  sendName_ = name;
  sendDir_ = dir;
  sendRemotePath_ = remotePath;
  sendSize_ = sendFile_->size();
  bytesSent_ = 0;
  sendState_ = -1;
  remark_ = remark;
  direction_ = Progress::kSending;
  packs_ = false;
  startTick_ = host_.Ticks();
  failure_.clear();
  lastPack_.clear();
  timer_.text = QStringLiteral("SEND_FILE|") + name + QLatin1Char('|') + dir + QLatin1Char('|') +
                QString::number(sendSize_) + QLatin1Char('|') + remark + QLatin1Char('|') + kCrLf;
  host_.QueueSend(timer_.text, after);
  timer_.Arm('S', kOfferPeriod, kOfferTries, host_.Ticks());
  return true;
}

bool FileTransfer::SendDataPack(QStringView address, QStringView command, std::uint16_t value,
                                const std::uint8_t* data, int length, LinkActions& after) {
  const std::optional<QByteArray> pack = BuildDataPack(address, command, value, data, length);
  if (!pack) {
    host_.AddDebugMessage(QStringLiteral("data pack command error"));
    return false;
  }
  lastPack_ = *pack;
  host_.QueueSend(lastPack_, after);
  return true;
}

void FileTransfer::SendNextPack(LinkActions& after) {
  if (timer_.state != 'T' || sendState_ != 0 || !sendFile_)
    return;
  std::vector<std::uint8_t> data(static_cast<std::size_t>(packSize_));
  const qint64 count = sendFile_->read(reinterpret_cast<char*>(data.data()), packSize_);
  if (count < 0) {
    failure_ = QStringLiteral("cannot read the file: ") + sendFile_->errorString();
    host_.AddDebugMessage(QStringLiteral("to trans file data failed: ") + failure_);
    CloseSend();
    timer_.state = '0';
    Raise(sendName_, sendDir_, sendSize_, kSendTimeout,
          QStringLiteral("|trans file timeout,so failed!"), after);
    return;
  }
  bytesSent_ += count;
  MarkPack(bytesSent_);
  ++packCounter_;
  const QString text = FileDataPackText(packCounter_);
  lastPackText_ = text.toUpper();
  SendDataPack(kFileDataAddress, text, 0, data.data(), static_cast<int>(count), after);
  if (mode_ == 1)
    sendState_ = 1;
  host_.AddDebugMessage(QStringLiteral("Trans file size .. ") + QString::number(bytesSent_) +
                        QLatin1Char('(') + PercentText(bytesSent_, sendSize_) +
                        QStringLiteral(") bytes."));
  if (count < packSize_) {
    // The last pack (possibly empty). In TFMode 1 the end line follows its acknowledgement.
    sendFile_.reset();
    sendState_ = -1;
    if (mode_ == 0) {
      timer_.text = FinishedText();
      host_.QueueSend(timer_.text, after);
      timer_.Arm('F', kEndPeriod, kEndTries, host_.Ticks());
    }
  }
}

void FileTransfer::FileDataPack(const std::array<std::uint8_t, kPackHeaderSize>& header,
                                const std::uint8_t* data, int length, LinkActions& after) {
  const QString k = PackIdentity(header);
  if (timer_.state == 'D' && receiveFile_) {
    if (mode_ == 0 || k != lastPackText_) {
      MarkPack(bytesReceived_ + length);
      // Bytes after the last pack or beyond the announced size are not stored: the other station
      // cannot fill the disk past what it offered.
      if (receiveState_ != 0 || bytesReceived_ + length > expectedSize_) {
        if (!receiveFailed_)
          host_.AddDebugMessage(QStringLiteral("receive file data beyond its size %1: not stored")
                                    .arg(expectedSize_));
        receiveFailed_ = true;
      } else if (length > 0 &&
                 receiveFile_->write(reinterpret_cast<const char*>(data), length) != length) {
        if (!receiveFailed_)
          host_.AddDebugMessage(QStringLiteral("Cannot write ") + receivePath_ +
                                QStringLiteral(": ") + receiveFile_->errorString());
        receiveFailed_ = true;
      }
      bytesReceived_ += length;
    } else {
      host_.AddDebugMessage(QStringLiteral("receive datapack again command:") + k);
    }
    if (length < packSize_ && receiveState_ == 0) {
      // The last pack. The timer keeps running until the end line comes: in TFMode 1 it repeats
      // the last acknowledgement (which may have been lost), and a sender that never ends the
      // transfer makes it fail instead of leaving it open.
      host_.AddDebugMessage(QStringLiteral("finish receive file data!"));
      receiveState_ = -1;
    }
    timer_.counter = kDataTries;
    timer_.start = host_.Ticks();
    host_.AddDebugMessage(QStringLiteral("receive file data size .. ") +
                          QString::number(bytesReceived_) + QLatin1Char('(') +
                          PercentText(bytesReceived_, expectedSize_) + QStringLiteral(") bytes."));
  }
  if (mode_ == 1) {
    lastPackText_ = k;
    timer_.text = QStringLiteral("GOOD_WRITE_FILE|") + k + kCrLf;
    host_.QueueSend(timer_.text, after);
  }
}

void FileTransfer::TransferLine(const QString& line, LinkActions& after) {
  // Lines are told apart by their keyword, the field before the first "|": a name or remark
  // such as SENDER.TXT must not send a line down another rule.
  const QString keyword = Field(line, 0).trimmed().toUpper();
  if (keyword == QLatin1String("SEND_FILE")) {
    Offer(line, after);
  } else if (keyword == QLatin1String("RECEIVE_FILE")) {
    // Acceptance, on the sending side.
    if ((timer_.state != 'S' && timer_.state != 'R') || sendName_.isEmpty() ||
        Field(line, 1).compare(sendName_, Qt::CaseInsensitive) != 0)
      return;
    host_.AddDebugMessage(QStringLiteral("receive ACK for send_file:") + sendName_ +
                          QStringLiteral(" and ready to trans file"));
    timer_.text = QStringLiteral("READY_TO_TRANS_FILE|\r\n");
    host_.QueueSend(timer_.text, after);
    timer_.Arm('R', kReadyPeriod, kReadyTries, host_.Ticks());
  } else if (keyword == QLatin1String("READY_TO_TRANS_FILE")) {
    // The sender is about to send packs: only for a file this side has accepted.
    if (!receiveFile_ || (timer_.state != 'N' && timer_.state != 'D'))
      return;
    if (timer_.state == 'N')
      host_.AddDebugMessage(QStringLiteral("ready to receive file data"));
    timer_.Arm('D', kDataPeriod, kDataTries, host_.Ticks());
    receiveState_ = 0;
    timer_.text.clear();
  } else if (keyword == QLatin1String("GOOD_WRITE_FILE")) {
    if (timer_.state != 'T' || mode_ != 1)
      return;
    const QString acked = Field(line, 1);
    if (acked.compare(lastPackText_, Qt::CaseInsensitive) != 0) {
      host_.AddDebugMessage(QStringLiteral("S:%1<>last_write_ack:%2").arg(acked, lastPackText_));
      return;
    }
    if (sendState_ == -1) {
      timer_.text = FinishedText();
      host_.QueueSend(timer_.text, after);
      timer_.Arm('F', kEndPeriod, kEndTries, host_.Ticks());
    } else if (sendState_ == 1) {
      sendState_ = 0;
      timer_.counter = kDataTries;
      timer_.start = host_.Ticks();
    }
  } else if (keyword == QLatin1String("FINISHED_FILE")) {
    Finished(line, after);
  } else if (keyword == QLatin1String("OVER_TALK_FILE")) {
    // The result, on the sending side; a late copy after the result is ignored.
    if (timer_.state != 'F')
      return;
    timer_.state = '0';
    const bool ok = Field(line, 1).compare(sendName_, Qt::CaseInsensitive) == 0 &&
                    Field(line, 2) == QLatin1String("OK");
    host_.AddDebugMessage(
        QStringLiteral("send file: ") + sendName_ +
        (ok ? QStringLiteral(" finished...OK!") : QStringLiteral(" finished...ERR!")));
    if (!ok)
      failure_ = QStringLiteral("the other station reported an error");
    Raise(sendName_, sendDir_, sendSize_, ok ? kSentOk : kSentErr,
          ok ? QStringLiteral("|finished send file ok") : QStringLiteral("|finished send file err"),
          after);
  }
}

void FileTransfer::RefuseOffer(const QString& why, LinkActions& after) {
  host_.AddDebugMessage(QStringLiteral("Refused file ") + receiveName_ + QStringLiteral(": ") +
                        why);
  failure_ = QStringLiteral("refused: ") + why;
  DropReceive();
  Raise(receiveName_, receiveDir_, expectedSize_, kReceivedErr,
        QStringLiteral("|receive file ... ERR!"), after);
}

void FileTransfer::Offer(const QString& line, LinkActions& after) {
  if (sendFile_ || sendState_ != -1 ||
      (timer_.Running() && timer_.state != 'N' && timer_.state != 'D')) {
    // This station is sending: its one transfer timer is taken.
    host_.AddDebugMessage(QStringLiteral("Refused file ") + Field(line, 1) +
                          QStringLiteral(": a send is in progress"));
    return;
  }
  if (receiveFile_)
    host_.AddDebugMessage(QStringLiteral("offer of ") + Field(line, 1) +
                          QStringLiteral(" replaces the receive of ") + receiveName_);
  DropReceive();
  timer_.state = '0';
  receiveFailed_ = false;
  bytesReceived_ = 0;
  receiveName_ = Field(line, 1);
  receiveDir_ = Field(line, 2);
  const std::optional<qint64> size = ParseSize(Field(line, 3));
  expectedSize_ = size.value_or(0);
  remark_ = Field(line, 4);
  direction_ = Progress::kReceiving;
  packs_ = false;
  startTick_ = host_.Ticks();
  failure_.clear();
  lastPackText_.clear();  // a new file: its first pack cannot repeat the last file's last one
  lastResultName_.clear();
  lastResultLine_.clear();

  const auto resolved = ResolveReceivePath(ReceiveRoot(), receiveName_, receiveDir_);
  if (const auto* target = std::get_if<ReceiveTarget>(&resolved)) {
    receiveDir_ = target->directory;
    receivePath_ = target->path;
  } else {
    receivePath_ = receiveName_;
  }
  Raise(receiveName_, receiveDir_, expectedSize_, kOffered, QStringLiteral("|receive file name"),
        after);

  if (!host_.TransfersAllowed())
    return RefuseOffer(QStringLiteral("offered before the login"), after);
  if (!size)
    return RefuseOffer(
        QStringLiteral("size \"") + Field(line, 3) + QStringLiteral("\" is not a number of bytes"),
        after);
  if (packSize_ < 1 || packSize_ > kMaxPackData)
    return RefuseOffer(QStringLiteral("pack size %1 is not usable").arg(packSize_), after);
  if (const auto* why = std::get_if<QString>(&resolved))
    return RefuseOffer(*why, after);
  if (!platform::CreateDirectoryPath(receiveDir_)) {
    host_.AddDebugMessage(QStringLiteral("Create dir:") + receiveDir_ + QStringLiteral(" failed!"));
    return RefuseOffer(QStringLiteral("no directory"), after);
  }
  auto file = std::make_unique<QSaveFile>(receivePath_);
  if (!file->open(QIODevice::WriteOnly))
    return RefuseOffer(QStringLiteral("cannot create it: ") + file->errorString(), after);
  receiveFile_ = std::move(file);
  host_.AddDebugMessage(QStringLiteral("receive file name:") + receivePath_);
  timer_.text = QStringLiteral("RECEIVE_FILE|") + receiveName_ + QLatin1Char('|') + receiveDir_ +
                QLatin1Char('|') + kCrLf;
  host_.QueueSend(timer_.text, after);
  timer_.Arm('N', kAcceptPeriod, kAcceptTries, host_.Ticks());
}

void FileTransfer::Finished(const QString& line, LinkActions& after) {
  const QString name = Field(line, 1);
  if (!receiveFile_) {
    // The sender did not hear the answer to its end line: it gets the same answer again.
    if (!lastResultLine_.isEmpty() && name == lastResultName_)
      host_.QueueSend(lastResultLine_, after);
    return;
  }
  receiveState_ = -1;
  timer_.state = '0';
  bool ok = false;
  if (name != receiveName_ || ParseSize(Field(line, 3)) != expectedSize_) {
    failure_ = QStringLiteral("the end line names another file or size");
  } else if (receiveFailed_) {
    failure_ = QStringLiteral("the data could not be stored, or ran past the size");
  } else if (bytesReceived_ != expectedSize_) {
    failure_ = QStringLiteral("%1 of %2 bytes arrived").arg(bytesReceived_).arg(expectedSize_);
  } else if (!receiveFile_->commit()) {
    failure_ = QStringLiteral("cannot save it: ") + receiveFile_->errorString();
    host_.AddDebugMessage(QStringLiteral("Cannot save ") + receivePath_ + QStringLiteral(": ") +
                          receiveFile_->errorString());
  } else {
    ok = true;
  }
  DropReceive();  // after a commit there is nothing left to drop
  lastResultName_ = receiveName_;
  lastResultLine_ = QStringLiteral("OVER_TALK_FILE|") + receiveName_ + QLatin1Char('|') +
                    (ok ? QStringLiteral("OK") : QStringLiteral("ERR")) + QLatin1Char('|') + kCrLf;
  host_.QueueSend(lastResultLine_, after);
  Raise(receiveName_, receiveDir_, expectedSize_, ok ? kReceivedOk : kReceivedErr,
        ok ? QStringLiteral("|receive file ... OK!") : QStringLiteral("|receive file ... ERR!"),
        after);
}

void FileTransfer::TimerExpired(LinkActions& after) {
  const char state = timer_.state;
  if (--timer_.counter > 0) {
    switch (state) {
      case 'T':
        if (mode_ == 1) {
          host_.AddDebugMessage(QStringLiteral("send datapack again command:") + lastPackText_);
          if (sendState_ != 0)
            host_.QueueSend(lastPack_, after);
        } else {
          timer_.counter = kDataTries;  // streaming: no acknowledgement to wait for
        }
        break;
      case 'D':
        if (mode_ == 1)
          host_.QueueSend(timer_.text, after);  // the last acknowledgement
        break;
      default:
        host_.QueueSend(timer_.text, after);
        break;
    }
    timer_.start = host_.Ticks();
    return;
  }

  switch (state) {
    case 'S':
      host_.AddDebugMessage(QStringLiteral("ACK For receive <send_file:") + sendName_ +
                            QStringLiteral("> timeout"));
      failure_ = QStringLiteral("the other station did not accept the file");
      break;
    case 'N':
      host_.AddDebugMessage(QStringLiteral("after get file name ,Ack for trans timeout"));
      failure_ = QStringLiteral("the sender did not start sending");
      break;
    case 'D':
      host_.AddDebugMessage(QStringLiteral("to get file data timeout"));
      failure_ = QStringLiteral("the data stopped coming");
      break;
    case 'T':
      host_.AddDebugMessage(QStringLiteral("to trans file data timeout"));
      failure_ = QStringLiteral("the other station stopped acknowledging");
      break;
    case 'F':
      host_.AddDebugMessage(
          QStringLiteral("to besure finished file trans and get over answer timeout"));
      failure_ = QStringLiteral("the other station did not confirm the file");
      break;
    default:
      break;
  }
  if (state == 'R') {
    // The ready line has gone three times: transmitting starts.
    sendState_ = 0;
    timer_.Arm('T', kDataPeriod, kDataTries, host_.Ticks());
    timer_.text.clear();
    return;
  }
  timer_.state = '0';
  host_.SetRemoteName(QString());
  if (state == 'N' || state == 'D') {
    DropReceive();
    bytesReceived_ = 0;
    packCounter_ = 0;
    Raise(receiveName_, receiveDir_, expectedSize_, kReceiveTimeout,
          QStringLiteral("|receive file timeout,so failed!"), after);
  } else if (state == 'S' || state == 'T' || state == 'F') {
    // Also an offer nobody accepted and an end line nobody answered: the sender learns that its
    // file did not arrive.
    CloseSend();
    if (state == 'T')
      packCounter_ = 0;
    Raise(sendName_, sendDir_, sendSize_, kSendTimeout,
          QStringLiteral("|trans file timeout,so failed!"), after);
  }
  sendState_ = -1;
  receiveState_ = -1;
}

void FileTransfer::Abandon(const QString& why) {
  if (!Busy())
    return;
  host_.AddDebugMessage(QStringLiteral("transfer abandoned: ") + why);
  failure_ = why;
  DropReceive();
  CloseSend();
  timer_.state = '0';
}

}  // namespace xv4
