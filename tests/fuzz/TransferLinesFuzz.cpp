// The PC-link session and the file transfer: what a station does with the lines and packs the
// other station sends. Nothing received may write a file outside the receive directory, make the
// station offer a file it was not asked to send, or put the owner's password in the debug list.
//
// Input: a settings byte (bit 0: TFMode 1, bit 1: the session runs, bits 2-3: the pack size 1,
// 16, 1024 or 4083), then steps separated by LF, each a kind byte and its text:
//   'L' a transfer line   'P' a file data pack carrying the text   'E' the transfer timer expires
//   'I' an identification 'O' a "LOGIN PASS" line   'H' a handshake line   'S' the session timer
#include "link/FileTransfer.h"
#include "link/PcLinkSession.h"
#include "platform/CodePage.h"
#include "tests/fuzz/FuzzSupport.h"

#include <QDir>
#include <QList>

namespace {

using namespace xv4;

constexpr char kPassword[] = "Pw-7fz";

class Host : public LinkLayerHost {
 public:
  std::uint32_t Ticks() const override { return now; }
  bool IsDebug() const override { return true; }
  void AddDebugMessage(const QString& message) override { debug << message; }
  QString RemoteName() const override { return remote; }
  void SetRemoteName(const QString& name) override { remote = name; }
  bool TransfersAllowed() const override { return !session || session->LoggedIn(); }
  void SendBytes(const QByteArray& bytes) override { sent += bytes; }
  void RaiseShakeHands(const QString&, const QString& stu, const QString&) override {
    XV4_FUZZ_CHECK(stu == QLatin1String("OK") || stu == QLatin1String("ERR"));
  }
  void RaiseTransFile(const QString&, const QString&, qint64 size, std::int16_t status,
                      const QString&) override {
    XV4_FUZZ_CHECK(size >= 0);
    XV4_FUZZ_CHECK(status >= FileTransfer::kOffered && status <= FileTransfer::kReceiveTimeout);
  }

  std::uint32_t now = 1;
  QString remote;
  QStringList debug;
  QByteArray sent;
  const PcLinkSession* session = nullptr;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Environment();
  fuzz::Input in(data, size);
  const std::uint8_t settings = in.Byte();
  const QByteArray rest = fuzz::ToByteArray(in.Rest());

  const QString root = fuzz::ScratchDir() + QStringLiteral("in");
  QDir(root).removeRecursively();
  QDir().mkpath(root);
  const QStringList outside = QDir(fuzz::ScratchDir()).entryList(QDir::AllEntries | QDir::Hidden);

  Host host;
  ProtocolTimer sessionTimer;
  ProtocolTimer transferTimer;
  PcLinkSession session(host, sessionTimer);
  FileTransfer transfer(host, transferTimer);
  static constexpr int kPackSizes[] = {1, 16, 1024, kMaxPackData};
  transfer.SetMode((settings & 1) != 0 ? 1 : 0);
  transfer.SetPackSize(kPackSizes[(settings >> 2) & 3]);
  transfer.SetReceiveRoot(root);
  session.SetPassword(QString::fromLatin1(kPassword));
  LinkActions after;
  if ((settings & 2) != 0) {
    host.session = &session;
    session.SetWanted(true, true);
  }

  std::uint16_t pack = 0;
  for (const QByteArray& step : rest.split('\n')) {
    if (step.isEmpty())
      continue;
    const QByteArray body = step.mid(1);
    const QString text = platform::FromAnsi(body);
    host.now += 50;
    switch (step[0]) {
      case 'L':
        transfer.TransferLine(text, after);
        break;
      case 'P': {
        std::array<std::uint8_t, kPackHeaderSize> header{};
        const QByteArray built = *BuildDataPack(u"00 01", FileDataPackText(++pack), 0, nullptr, 0);
        std::copy_n(reinterpret_cast<const std::uint8_t*>(built.constData()), kPackHeaderSize,
                    header.begin());
        transfer.FileDataPack(header, reinterpret_cast<const std::uint8_t*>(body.constData()),
                              static_cast<int>(std::min<qsizetype>(body.size(), 4097)), after);
        break;
      }
      case 'E':
        host.now += transferTimer.period;
        if (transferTimer.Running())
          transfer.TimerExpired(after);
        break;
      case 'I':
        session.IdentificationLine(text, after);
        break;
      case 'O':
        session.LoginPassLine(text, after);
        break;
      case 'H':
        session.ShakeLine(text, after);
        break;
      case 'S':
        host.now += sessionTimer.period;
        if (sessionTimer.Running())
          session.TimerExpired(after);
        break;
      default:
        break;
    }
    after.Run();
    transfer.SendNextPack(after);
    after.Run();
  }
  transfer.Abandon(QStringLiteral("end of input"));

  // Nothing appeared beside the receive directory, and nothing but lines was sent: this station
  // had no file to send.
  XV4_FUZZ_CHECK(QDir(fuzz::ScratchDir()).entryList(QDir::AllEntries | QDir::Hidden) == outside);
  XV4_FUZZ_CHECK(!host.sent.contains(static_cast<char>(kPackStart)) ||
                 rest.contains(static_cast<char>(kPackStart)));
  for (const QByteArray& line : host.sent.split('\n')) {
    XV4_FUZZ_CHECK(!line.startsWith("SEND_FILE|") && !line.startsWith("FINISHED_FILE|") &&
                   !line.startsWith("READY_TO_TRANS_FILE|"));
  }
  // The owner's password reaches the debug list only where the input itself put it.
  if (!rest.contains(kPassword)) {
    for (const QString& line : host.debug)
      XV4_FUZZ_CHECK(!line.contains(QLatin1String(kPassword), Qt::CaseInsensitive));
  }
  return 0;
}
