// File transfer between two stations: two xv4link processes on the ends of an xv4sim line, the
// data rate measured by the receiving station (from its first data pack to its last: the pty
// buffers let a writer run ahead of what has arrived).
//
//  1. Unpaced pseudo-terminals joined by a null-modem cable (--direct), 1 MiB in 4083-byte packs,
//     in both acknowledgement modes, beside the bound of one pack per 50 ms pass that TFMode 0
//     keeps to, and beside ZMODEM (sz/rz of Debian's lrzsz, when installed) over the same kind of
//     line, timed from the start of sz until the file is whole where rz writes it.
//  2. A modem pair paced at 115200 bit/s (11,520 bytes/s on the wire), 256 KiB, both modes.
//
// Usage: bench_link [--quick]   (--quick: 256 KiB and 64 KiB instead, for a look)

#include "tests/support/StationProcesses.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>

namespace {

using xv4::test::SimLine;
using xv4::test::StationProcess;

constexpr int kPackSize = 4083;
constexpr double kPassSeconds = 0.050;
constexpr double kWireBytesPerSecond = 115200.0 / 10.0;
constexpr double kStreamBar = 0.90;  // TFMode 0 against one pack per pass
constexpr double kAckedBar = 1e6;    // TFMode 1 unpaced, bytes per second
constexpr double kWireBar = 0.90;    // both modes against the paced wire
constexpr int kLimitMs = 600000;

struct Outcome {
  bool ok = false;
  double rate = 0;     // bytes per second at the receiver, data phase
  double seconds = 0;  // the whole transfer as the receiver saw it
  QString detail;
};

bool WriteFile(const QString& path, qint64 size) {
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly))
    return false;
  QByteArray block(64 * 1024, '\0');
  quint32 x = 2463534242u;
  for (qint64 done = 0; done < size;) {
    for (char& c : block) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      c = static_cast<char>(x);
    }
    const qint64 n = std::min<qint64>(block.size(), size - done);
    if (f.write(block.constData(), n) != n)
      return false;
    done += n;
  }
  return true;
}

// "file done OK: PATH, N bytes in T s (data at R MB/s)" of the receiving station.
Outcome ParseDone(const QString& out) {
  static const QRegularExpression re(QStringLiteral(
      R"(file done OK: .*, \d+ bytes in ([0-9.]+) s \(data at ([0-9.e+-]+) MB/s\))"));
  const QRegularExpressionMatch m = re.match(out);
  Outcome o;
  if (!m.hasMatch()) {
    o.detail = out.trimmed();
    return o;
  }
  o.ok = true;
  o.seconds = m.captured(1).toDouble();
  o.rate = m.captured(2).toDouble() * 1e6;
  return o;
}

// One file from side A to side B of a fresh xv4sim line.
Outcome Transfer(const QString& bin, const QString& work, bool modems, int ackMode, qint64 size) {
  Outcome fail;
  SimLine line;
  QStringList simArgs =
      modems ? QStringList{"--modem-pair", "--line-bps", "115200", "--modem-delay", "100", "-q"}
             : QStringList{"--null-modem", "-q"};
  if (!line.Start(bin, simArgs, &fail.detail))
    return fail;
  const QString file = work + QStringLiteral("/send.bin");
  if (!WriteFile(file, size)) {
    fail.detail = QStringLiteral("cannot write ") + file;
    return fail;
  }
  const QStringList common = {"--data-dir",  work,
                              "--ack-mode",  QString::number(ackMode),
                              "--pack-size", QString::number(kPackSize)};
  StationProcess receiver;
  receiver.Start(bin,
                 common + QStringList{"--serial", line.Path(1), modems ? "--answer" : "--direct",
                                      "--receive-dir", work + QStringLiteral("/inbox")});
  if (modems && !receiver.WaitFor(QStringLiteral("waiting for a call"), 30000, true)) {
    fail.detail = receiver.Err();
    return fail;
  }
  StationProcess sender;
  QStringList senderLine = modems ? QStringList{"--dial", "5551234"} : QStringList{"--direct"};
  sender.Start(bin, common + QStringList{"--serial", line.Path(0)} + senderLine +
                        QStringList{"--send", file, "bench.bin"});
  const int receiverExit = receiver.Wait(kLimitMs);
  sender.Wait(30000);
  if (receiverExit != 0) {
    fail.detail = receiver.Out() + receiver.Err();
    return fail;
  }
  return ParseDone(receiver.Out());
}

// sz to rz over a fresh null-modem line; nothing when lrzsz is not installed.
std::optional<Outcome> Zmodem(const QString& bin, const QString& work, qint64 size) {
  const QString sz = QStandardPaths::findExecutable(QStringLiteral("sz"));
  const QString rz = QStandardPaths::findExecutable(QStringLiteral("rz"));
  if (sz.isEmpty() || rz.isEmpty())
    return std::nullopt;
  Outcome o;
  SimLine line;
  if (!line.Start(bin, {"--null-modem", "-q"}, &o.detail))
    return o;
  const QString file = work + QStringLiteral("/zsend.bin");
  const QString inbox = work + QStringLiteral("/zinbox");
  QDir().mkpath(inbox);
  if (!WriteFile(file, size))
    return o;
  QProcess receiver;
  receiver.setWorkingDirectory(inbox);
  receiver.start(QStringLiteral("sh"),
                 {"-c", QStringLiteral("exec '%1' -y -q <'%2' >'%2'").arg(rz, line.Path(1))});
  receiver.waitForStarted();
  QElapsedTimer clock;
  QProcess sender;
  sender.start(QStringLiteral("sh"),
               {"-c", QStringLiteral("exec '%1' -q '%2' <'%3' >'%3'").arg(sz, file, line.Path(0))});
  clock.start();
  // Measured where the file lands: until it is whole on disk. rz's own exit can come much later
  // (it waits for the sender's last "OO", which a sender that has already gone may not deliver).
  const QString got = inbox + QStringLiteral("/zsend.bin");
  bool whole = false;
  while (!whole && clock.elapsed() < kLimitMs && receiver.state() != QProcess::NotRunning) {
    whole = QFileInfo(got).size() == size;
    if (!whole)
      QThread::usleep(500);
  }
  whole = whole || QFileInfo(got).size() == size;
  const double seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
  for (QProcess* p : {&sender, &receiver}) {
    p->terminate();
    p->waitForFinished(5000);
  }
  o.ok = whole;
  o.seconds = seconds;
  o.rate = static_cast<double>(size) / seconds;
  if (!o.ok)
    o.detail = QString::fromLocal8Bit(receiver.readAllStandardError());
  return o;
}

const char* Verdict(bool met) {
  return met ? "met" : "MISSED";
}

void PrintRate(const char* what, const Outcome& o) {
  if (!o.ok) {
    std::printf("%-44s FAILED: %s\n", what, o.detail.left(300).toLocal8Bit().constData());
    return;
  }
  std::printf("%-44s %10.0f bytes/s  (%.2f s in all)\n", what, o.rate, o.seconds);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const bool quick = app.arguments().contains(QStringLiteral("--quick"));
  const QString bin = xv4::test::ProgramDir(QCoreApplication::applicationDirPath());
  QTemporaryDir work;
  if (!work.isValid()) {
    std::fprintf(stderr, "bench_link: no temporary directory\n");
    return 1;
  }
  const qint64 directSize = quick ? 256 * 1024 : 1024 * 1024;
  const qint64 pacedSize = quick ? 64 * 1024 : 256 * 1024;

  std::printf(
      "Unpaced pseudo-terminals over xv4sim --null-modem, %lld bytes in %d-byte packs,\n"
      "rates at the receiving station from its first data pack to its last:\n",
      static_cast<long long>(directSize), kPackSize);
  const double bound = kPackSize / kPassSeconds;
  std::printf("%-44s %10.0f bytes/s\n", "one pack per 50 ms pass (bound of TFMode 0)", bound);
  const Outcome stream = Transfer(bin, work.path(), false, 0, directSize);
  PrintRate("TFMode 0 (packs stream)", stream);
  const Outcome acked = Transfer(bin, work.path(), false, 1, directSize);
  PrintRate("TFMode 1 (each pack acknowledged)", acked);
  const std::optional<Outcome> zmodem = Zmodem(bin, work.path(), directSize);
  if (!zmodem)
    std::printf("%-44s skipped: sz/rz not installed (make bench installs lrzsz)\n", "ZMODEM");
  else
    PrintRate("ZMODEM (sz to rz, whole transfer)", *zmodem);

  std::printf("\nxv4sim --modem-pair paced at 115200 bit/s, %lld bytes in %d-byte packs:\n",
              static_cast<long long>(pacedSize), kPackSize);
  std::printf("%-44s %10.0f bytes/s\n", "the wire (10 bit times per byte)", kWireBytesPerSecond);
  const Outcome pacedStream = Transfer(bin, work.path(), true, 0, pacedSize);
  PrintRate("TFMode 0", pacedStream);
  const Outcome pacedAcked = Transfer(bin, work.path(), true, 1, pacedSize);
  PrintRate("TFMode 1", pacedAcked);

  std::printf("\n");
  const double streamRatio = stream.ok ? stream.rate / bound : 0;
  std::printf("TFMode 0 / one pack per pass:        %6.3f  (bar >= %.2f: %s)\n", streamRatio,
              kStreamBar, Verdict(streamRatio >= kStreamBar));
  std::printf("TFMode 1 unpaced:                    %6.2f MB/s  (bar >= %.1f MB/s: %s)\n",
              acked.ok ? acked.rate / 1e6 : 0.0, kAckedBar / 1e6,
              Verdict(acked.ok && acked.rate >= kAckedBar));
  if (zmodem && zmodem->ok && acked.ok)
    std::printf("TFMode 1 / ZMODEM:                   %6.3f  (reported, no bar)\n",
                acked.rate / zmodem->rate);
  const double pacedStreamRatio = pacedStream.ok ? pacedStream.rate / kWireBytesPerSecond : 0;
  const double pacedAckedRatio = pacedAcked.ok ? pacedAcked.rate / kWireBytesPerSecond : 0;
  std::printf("paced TFMode 0 / wire:               %6.3f  (bar >= %.2f: %s)\n", pacedStreamRatio,
              kWireBar, Verdict(pacedStreamRatio >= kWireBar));
  std::printf("paced TFMode 1 / wire:               %6.3f  (bar >= %.2f: %s)\n", pacedAckedRatio,
              kWireBar, Verdict(pacedAckedRatio >= kWireBar));
  return stream.ok && acked.ok && pacedStream.ok && pacedAcked.ok ? 0 : 1;
}
