#include "station/StationOutput.h"

#include <algorithm>

namespace xv4::station {
namespace {

constexpr int kBarWidth = 30;

int PercentOf(qint64 done, qint64 total) {
  if (total <= 0)
    return 100;  // an empty file is complete from the start
  return static_cast<int>(std::clamp<double>(
      static_cast<double>(done) * 100.0 / static_cast<double>(total), 0.0, 100.0));
}

}  // namespace

double DataRate(const FileTransfer::Progress& p) {
  // From the end of the first pack to the end of the last: the packs after the first.
  const std::uint32_t ms = p.lastPackTick - p.firstPackTick;
  const qint64 bytes = p.done - p.doneAfterFirstPack;
  if (!p.packs || ms == 0 || bytes <= 0)
    return 0;
  return static_cast<double>(bytes) * 1000.0 / ms;
}

QString FileDoneLine(bool ok, const QString& path, qint64 size,
                     const FileTransfer::Progress& progress, std::uint32_t doneTick,
                     const QString& why) {
  QString line = QStringLiteral("file done %1: %2, %3 bytes")
                     .arg(ok ? QStringLiteral("OK") : QStringLiteral("ERR"), path)
                     .arg(size);
  if (!ok)
    return why.isEmpty() ? line : line + QStringLiteral(": ") + why;
  const double seconds = static_cast<double>(doneTick - progress.startTick) / 1000.0;
  line += QStringLiteral(" in %1 s").arg(seconds, 0, 'f', 1);
  if (const double rate = DataRate(progress); rate > 0)
    line += QStringLiteral(" (data at %1 MB/s)")
                .arg(rate >= 1e6 ? QString::number(rate / 1e6, 'f', 2)
                                 : QString::number(rate / 1e6, 'g', 4));
  return line;
}

StationOutput::StationOutput(std::FILE* out, std::FILE* err, bool interactive)
    : out_(out), err_(err), interactive_(interactive) {}

void StationOutput::Write(std::FILE* to, const QString& text) {
  const QByteArray bytes = text.toLocal8Bit();
  std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), to);
  std::fflush(to);
}

void StationOutput::EndProgress() {
  if (lineOpen_) {
    Write(err_, QStringLiteral("\n"));
    lineOpen_ = false;
  }
}

void StationOutput::Event(const QString& line) {
  EndProgress();
  Write(out_, line + QLatin1Char('\n'));
}

void StationOutput::Note(const QString& text) {
  EndProgress();
  Write(err_, QStringLiteral("xv4link: ") + text + QLatin1Char('\n'));
}

void StationOutput::Debug(const QString& line) {
  EndProgress();
  Write(err_, QStringLiteral("debug: ") + line + QLatin1Char('\n'));
}

void StationOutput::Progress(const QString& what, qint64 done, qint64 total) {
  const int percent = PercentOf(done, total);
  if (what != lastWhat_) {
    lastWhat_ = what;
    lastTenth_ = -1;
    lastPercent_ = -1;
  }
  if (interactive_) {
    if (percent == lastPercent_ && lineOpen_)
      return;
    lastPercent_ = percent;
    const int filled = percent * kBarWidth / 100;
    const QString bar = QString(filled, QLatin1Char('#')) + QString(kBarWidth - filled, '-');
    Write(err_, QStringLiteral("\r%1 [%2] %3% %4 of %5 bytes\x1b[K")
                    .arg(what, bar)
                    .arg(percent, 3)
                    .arg(done)
                    .arg(total));
    lineOpen_ = true;
    return;
  }
  const int tenth = percent / 10;
  if (tenth == lastTenth_)
    return;
  lastTenth_ = tenth;
  Write(err_,
        QStringLiteral("%1: %2 of %3 bytes (%4%)\n").arg(what).arg(done).arg(total).arg(percent));
}

}  // namespace xv4::station
