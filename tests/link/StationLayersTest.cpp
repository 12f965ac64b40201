// The PC-link session and the file transfer as state machines, driven through a fake link with a
// test clock: what goes on the wire, which events are raised, what lands on disk.
#include "link/FileTransfer.h"
#include "link/PcLinkSession.h"
#include "platform/CodePage.h"
#include "tests/support/SerialTestUtil.h"
#include "tests/support/TempDir.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace xv4 {
namespace {

struct TransEvent {
  QString name;
  QString dir;
  qint64 size;
  int status;
  QString ps;
};

// The link as a layer sees it: a clock the test moves, and records of what was sent and raised.
class FakeHost : public LinkLayerHost {
 public:
  std::uint32_t Ticks() const override { return now; }
  bool IsDebug() const override { return debug; }
  void AddDebugMessage(const QString& message) override { debugLines.append(message); }
  QString RemoteName() const override { return remote; }
  void SetRemoteName(const QString& name) override { remote = name; }
  bool TransfersAllowed() const override { return allowed; }
  void SendBytes(const QByteArray& bytes) override { sent += bytes; }
  void RaiseShakeHands(const QString& remotePc, const QString& inStu, const QString&) override {
    shakes.append(inStu + QLatin1Char(' ') + remotePc);
  }
  void RaiseTransFile(const QString& fileName, const QString& fileDir, qint64 fileSize,
                      std::int16_t status, const QString& ps) override {
    events.push_back({fileName, fileDir, fileSize, status, ps});
  }

  // Everything sent since the last call.
  QByteArray TakeSent() { return std::exchange(sent, QByteArray()); }
  std::vector<int> Statuses() const {
    std::vector<int> s;
    for (const TransEvent& e : events)
      s.push_back(e.status);
    return s;
  }

  std::uint32_t now = 100000;
  bool debug = true;
  bool allowed = true;
  QString remote;
  QStringList debugLines;
  QStringList shakes;
  std::vector<TransEvent> events;
  QByteArray sent;
};

// Runs a layer call the way the link does: decide, then act.
void Act(const std::function<void(LinkActions&)>& step) {
  LinkActions after;
  step(after);
  after.Run();
}

TEST(PcLinkSessionTest, AnsweringSideLetsInTheWholePasswordOnlyAndNeverLogsIt) {
  struct Case {
    const char* given;
    const char* master;
    bool accepted;
  };
  const Case cases[] = {
      {"s3cret", "", true},   {"S3CRET", "", true}, {"s3c", "", false},
      {"s", "", false},       {"", "", false},      {"TIQ", "", false},
      {"s3cretX", "", false}, {"tiq", "TIQ", true}, {"pass word", "pass word", true},
  };
  for (const Case& c : cases) {
    FakeHost host;
    ProtocolTimer timer;
    PcLinkSession session(host, timer);
    session.SetComputerName(QStringLiteral("station a"));
    session.SetPassword(QStringLiteral("s3cret"));
    session.SetMasterPassword(QString::fromLatin1(c.master));
    session.SetWanted(true, false);
    session.Connected(/*calling=*/false);
    EXPECT_EQ(timer.state, 'P');
    EXPECT_TRUE(host.TakeSent().isEmpty()) << "the prompt waits for the timer";
    host.now += timer.period;
    Act([&](LinkActions& a) { session.TimerExpired(a); });
    EXPECT_EQ(host.TakeSent(), "LOGIN PASSWORD:\r\n");

    const QString line = QStringLiteral("THIS IS PC/stationb/tag/ ") + QString::fromLatin1(c.given);
    Act([&](LinkActions& a) { session.IdentificationLine(line, a); });
    if (c.accepted) {
      EXPECT_EQ(host.TakeSent(),
                "LOGIN PASSWORD OK/station-a//\r\nPC/station-a///\x20SHAKE HANDS\r\n")
          << c.given;
      EXPECT_EQ(host.shakes, QStringList{"OK stationb"});
      EXPECT_TRUE(session.LoggedIn());
      EXPECT_EQ(timer.state, 'H');
      EXPECT_EQ(session.Password(), "s3cret");  // the owner's password is not replaced
    } else {
      EXPECT_EQ(host.TakeSent(), "LOGIN PASSWORD ERROR\r\nLOGIN PASSWORD:\r\n") << c.given;
      EXPECT_EQ(host.shakes, QStringList{"ERR UNKNOWN"});
      EXPECT_FALSE(session.LoggedIn());
      EXPECT_EQ(timer.state, 'P');
      EXPECT_EQ(timer.period, 20000u);
    }
    const QString given = QString::fromLatin1(c.given);
    for (const QString& d : host.debugLines) {
      EXPECT_FALSE(d.contains(QLatin1String("s3cret"), Qt::CaseInsensitive)) << d.toStdString();
      if (!given.isEmpty()) {
        EXPECT_FALSE(d.contains("tag/ " + given, Qt::CaseInsensitive)) << d.toStdString();
      }
    }
  }

  // The hex dump of received bytes hides the password of an identification, wherever the chunks
  // of the stream are cut, and nothing else.
  const QByteArray stream = "junk\r\nthis is pc/b// my secret\r\nPC/B/// SHAKE HANDS\r\n";
  QByteArray masked;
  IdentificationMasker masker;
  for (char c : stream)
    masked += masker.Secret(static_cast<std::uint8_t>(c)) ? '*' : c;
  EXPECT_EQ(masked, "junk\r\nthis is pc/b// *********\r\nPC/B/// SHAKE HANDS\r\n");
  EXPECT_EQ(PcLinkSession::MaskIdentification("THIS IS PC/b// my secret"), "THIS IS PC/b// ***");
}

TEST(PcLinkSessionTest, CallingSideLogsInKeepsAliveAndGoesOfflineOnSilence) {
  FakeHost host;
  ProtocolTimer timer;
  PcLinkSession session(host, timer);
  session.SetComputerName(QString());  // a name that cannot be read
  session.SetPassword(QStringLiteral("kiv"));

  // Without the session a prompt gets no password.
  Act([&](LinkActions& a) { session.LoginPassLine(QStringLiteral("LOGIN PASSWORD:"), a); });
  EXPECT_TRUE(host.TakeSent().isEmpty());

  session.SetWanted(true, false);
  session.Connected(/*calling=*/true);
  EXPECT_EQ(timer.state, 'W');
  host.now += 3000;
  Act([&](LinkActions& a) { session.TimerExpired(a); });
  EXPECT_TRUE(host.TakeSent().isEmpty()) << "waiting for the prompt sends nothing";

  Act([&](LinkActions& a) { session.LoginPassLine(QStringLiteral("LOGIN PASSWORD:"), a); });
  EXPECT_EQ(host.TakeSent(), "THIS IS PC/UnKnown kiv\r\n");
  EXPECT_EQ(timer.state, 'I');
  host.now += 3000;
  Act([&](LinkActions& a) { session.TimerExpired(a); });
  EXPECT_EQ(host.TakeSent(), "THIS IS PC/UnKnown kiv\r\n") << "resent every 3 s";

  Act([&](LinkActions& a) {
    session.LoginPassLine(QStringLiteral("LOGIN PASSWORD OK/hostA/t/"), a);
  });
  EXPECT_TRUE(session.LoggedIn());
  EXPECT_EQ(host.remote, "hostA");
  Act([&](LinkActions& a) { session.ShakeLine(QStringLiteral("PC/hostA/t// SHAKE HANDS"), a); });
  EXPECT_EQ(host.TakeSent(), "PC/UnKnown/ SHAKE HANDS\r\n");
  EXPECT_EQ(host.shakes, (QStringList{"OK hostA", "OK HOSTA"}));
  EXPECT_EQ(timer.state, 'H');
  EXPECT_EQ(timer.period, 5000u);

  // Keep-alive: a handshake line every 5 s; each one received restores the ten tries.
  for (int i = 0; i < 25; ++i) {
    host.now += 5000;
    Act([&](LinkActions& a) { session.TimerExpired(a); });
    EXPECT_EQ(host.TakeSent(), "PC/UnKnown/ SHAKE HANDS\r\n");
    if (i % 5 == 0)
      Act([&](LinkActions& a) {
        session.ShakeLine(QStringLiteral("PC/hostA/t// SHAKE HANDS"), a);
      });
  }
  EXPECT_EQ(timer.state, 'H');
  EXPECT_FALSE(host.debugLines.contains("ENQ timeout,offline..."));

  // Ten periods without one: the session ends (the last line still goes out once).
  int expiries = 0;
  while (timer.Running() && expiries < 20) {
    host.now += 5000;
    Act([&](LinkActions& a) { session.TimerExpired(a); });
    ++expiries;
  }
  EXPECT_EQ(expiries, 6);  // 4 tries were left from the last handshake line
  EXPECT_TRUE(host.debugLines.contains("ENQ timeout,offline..."));
  EXPECT_FALSE(session.LoggedIn());
  EXPECT_TRUE(host.remote.isEmpty());
}

// Two stations' transfer layers joined by a fake line: bytes sent by one are split into lines and
// packs for the other, as the link's byte dispatcher does. The test clock moves 50 ms per pass.
class Station {
 public:
  Station(std::int16_t mode, int packSize, const QString& root) {
    transfer.SetMode(mode);
    transfer.SetPackSize(packSize);
    transfer.SetReceiveRoot(root);
  }

  void Receive(const QByteArray& bytes) {
    for (char c : bytes) {
      const auto b = static_cast<std::uint8_t>(c);
      if (parser.Active()) {
        if (parser.Feed(b) == DataPackParser::Result::Pack && parser.Command() == kPackFileData) {
          Act([&](LinkActions& a) {
            transfer.FileDataPack(parser.Header(), parser.Data(), parser.DataLength(), a);
          });
        }
      } else if (b == kPackStart) {
        line.clear();
        parser.Start(b);
      } else if (b == '\r' || b == '\n') {
        if (line.contains("_FILE|")) {
          const QString text = platform::FromAnsi(line);
          Act([&](LinkActions& a) { transfer.TransferLine(text, a); });
        }
        line.clear();
      } else {
        line += c;
      }
    }
  }

  void Pass() {
    if (timer.Running() && host.now - timer.start >= timer.period)
      Act([&](LinkActions& a) { transfer.TimerExpired(a); });
    Act([&](LinkActions& a) { transfer.SendNextPack(a); });
  }

  FakeHost host;
  ProtocolTimer timer;
  FileTransfer transfer{host, timer};
  DataPackParser parser;
  QByteArray line;
};

// Passes until both stations are idle (or the limit); `wire` may change bytes in transit.
void RunPasses(Station& a, Station& b, int maxPasses = 100000,
               const std::function<void(QByteArray&)>& wire = {}) {
  for (int pass = 0; pass < maxPasses; ++pass) {
    a.Pass();
    b.Pass();
    QByteArray ab = a.host.TakeSent();
    QByteArray ba = b.host.TakeSent();
    if (wire)
      wire(ab);
    b.Receive(ab);
    a.Receive(ba);
    a.host.now += 50;
    b.host.now += 50;
    if (!a.transfer.Busy() && !b.transfer.Busy() && a.host.sent.isEmpty() && b.host.sent.isEmpty())
      return;
  }
}

using test::Pattern;
using test::ReadFile;
using test::WriteFile;

TEST(FileTransferTest, FilesArriveWholeInBothModesEvenWithCorruptedPacks) {
  QTemporaryDir from;
  QTemporaryDir to;
  constexpr int kPack = 64;
  for (std::int16_t mode : {0, 1}) {
    for (qint64 size : {0, 1, kPack - 1, kPack, 3 * kPack, 1000}) {
      const QByteArray content = Pattern(size);
      const QString local = from.filePath(QStringLiteral("f%1").arg(size));
      ASSERT_TRUE(WriteFile(local, content));
      Station sender(mode, kPack, from.path());
      Station receiver(mode, kPack, to.path());
      QString error;
      bool started = false;
      Act([&](LinkActions& a) {
        started = sender.transfer.StartSend(local, QStringLiteral("d\\sub/f.bin"),
                                            QStringLiteral("r"), a, &error);
      });
      ASSERT_TRUE(started) << error.toStdString();
      // TFMode 1 survives a wire that spoils every third data pack it carries (the first copy
      // only): the receiver drops it on its CRC, the sender resends it.
      int packs = 0;
      RunPasses(sender, receiver, 100000, [&](QByteArray& bytes) {
        if (mode == 1 && bytes.size() > 13 && static_cast<std::uint8_t>(bytes[0]) == kPackStart &&
            ++packs % 3 == 1)
          bytes[12] = static_cast<char>(bytes[12] ^ 0x40);
      });
      EXPECT_EQ(sender.host.Statuses(), std::vector<int>{FileTransfer::kSentOk})
          << "mode " << mode << " size " << size;
      EXPECT_EQ(receiver.host.Statuses(),
                (std::vector<int>{FileTransfer::kOffered, FileTransfer::kReceivedOk}))
          << "mode " << mode << " size " << size;
      EXPECT_EQ(ReadFile(to.filePath(QStringLiteral("d/sub/f.bin"))), content)
          << "mode " << mode << " size " << size;
      if (mode == 1 && size > kPack) {
        EXPECT_TRUE(sender.host.debugLines.join('\n').contains("send datapack again command:"));
      }
    }
  }
  // Nothing but the file is left in the directory: no temporary files.
  EXPECT_EQ(QDir(to.filePath("d/sub")).entryList(QDir::Files | QDir::Hidden), QStringList{"f.bin"});
}

TEST(FileTransferTest, UnsafeOrEarlyOffersAreRefusedAndAFailedReceiveKeepsTheOldFile) {
  QTemporaryDir root;
  Station receiver(1, 64, root.path());
  ASSERT_TRUE(WriteFile(root.filePath("keep.txt"), "old content"));

  const auto offer = [&](const QString& line) {
    receiver.host.events.clear();
    receiver.Receive(platform::ToAnsi(line) + "\r\n");
    return receiver.host.TakeSent();
  };
  // Refused: no acceptance, a debug line, status 22 after the offer's 20.
  for (const char* bad : {"SEND_FILE|x|..\\..\\etc|5|r|", "SEND_FILE|..|d|5|r|",
                          "SEND_FILE|a/b|d|5|r|", "SEND_FILE|x|C:\\..\\..|5|r|",
                          "SEND_FILE|x|d|12x|r|", "SEND_FILE|x|d|-5|r|", "SEND_FILE||d|5|r|"}) {
    EXPECT_TRUE(offer(QString::fromLatin1(bad)).isEmpty()) << bad;
    EXPECT_EQ(receiver.host.Statuses(),
              (std::vector<int>{FileTransfer::kOffered, FileTransfer::kReceivedErr}))
        << bad;
  }
  receiver.host.allowed = false;  // the session runs and nobody has logged in
  EXPECT_TRUE(offer("SEND_FILE|ok.txt|in|5|r|").isEmpty());
  EXPECT_TRUE(receiver.host.debugLines.last().contains("before the login"));
  receiver.host.allowed = true;
  EXPECT_EQ(QDir(root.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList{"keep.txt"});

  // A drive in the directory is taken as relative; names holding line keywords are plain names.
  EXPECT_EQ(offer("SEND_FILE|SENDER.TXT|C:\\over_talk\\|11|FINISHED|"),
            "RECEIVE_FILE|SENDER.TXT|" + QFile::encodeName(root.filePath("over_talk")) + "|\r\n");
  EXPECT_EQ(receiver.timer.state, 'N');
  offer("READY_TO_TRANS_FILE|");
  EXPECT_EQ(receiver.timer.state, 'D');

  // An offer replacing keep.txt whose data stops coming: the old file stays, no temporary file
  // is left, status 23.
  offer("SEND_FILE|keep.txt||11|r|");
  offer("READY_TO_TRANS_FILE|");
  const QByteArray part = *BuildDataPack(u"00 01", FileDataPackText(1), 0,
                                         reinterpret_cast<const std::uint8_t*>("new"), 3);
  receiver.Receive(part);
  EXPECT_EQ(receiver.host.TakeSent(), "GOOD_WRITE_FILE|F0 00 00 01\r\n");
  receiver.host.events.clear();
  for (int i = 0; i < 1000 && receiver.transfer.Busy(); ++i) {
    receiver.host.now += 50;
    receiver.Pass();
  }
  EXPECT_EQ(receiver.host.Statuses(), std::vector<int>{FileTransfer::kReceiveTimeout});
  EXPECT_EQ(ReadFile(root.filePath("keep.txt")), "old content");
  EXPECT_EQ(QDir(root.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"keep.txt"});

  // An end line that does not match what came: ERR, status 22, old file kept. The same end line
  // again gets the same answer and no second event.
  offer("SEND_FILE|keep.txt||3|r|");
  offer("READY_TO_TRANS_FILE|");
  receiver.Receive(part);
  receiver.host.TakeSent();
  receiver.host.events.clear();
  EXPECT_EQ(offer("FINISHED_FILE|keep.txt||4|"), "OVER_TALK_FILE|keep.txt|ERR|\r\n");
  EXPECT_EQ(receiver.host.Statuses(), std::vector<int>{FileTransfer::kReceivedErr});
  EXPECT_EQ(offer("FINISHED_FILE|keep.txt||4|"), "OVER_TALK_FILE|keep.txt|ERR|\r\n");
  EXPECT_TRUE(receiver.host.events.empty());
  EXPECT_EQ(ReadFile(root.filePath("keep.txt")), "old content");

  // The sender refuses what cannot travel in a line, and unusable settings.
  Station sender(1, 64, root.path());
  const QString local = root.filePath("keep.txt");
  QString error;
  const auto start = [&](const QString& remote, const QString& remark) {
    bool ok = false;
    Act([&](LinkActions& a) { ok = sender.transfer.StartSend(local, remote, remark, a, &error); });
    return ok;
  };
  EXPECT_FALSE(start("a|b", "r"));
  EXPECT_FALSE(start("ab", "r\r\n"));
  EXPECT_FALSE(start("dir/", "r"));
  EXPECT_TRUE(start("ab", "r"));
  EXPECT_FALSE(start("ab", "r")) << "a second send waits for the first";
  EXPECT_TRUE(error.contains("in progress"));
  Station zero(1, 0, root.path());
  Act([&](LinkActions& a) { EXPECT_FALSE(zero.transfer.StartSend(local, "ab", "r", a, &error)); });
  EXPECT_TRUE(sender.host.sent.startsWith("SEND_FILE|ab||11|r|\r\n"));

  // A sender whose offer nobody answers learns it: status 13.
  for (int i = 0; i < 400 && sender.transfer.Busy(); ++i) {
    sender.host.now += 50;
    sender.Pass();
  }
  EXPECT_EQ(sender.host.Statuses(), std::vector<int>{FileTransfer::kSendTimeout});
}

}  // namespace
}  // namespace xv4
