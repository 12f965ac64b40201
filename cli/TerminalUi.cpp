#include "cli/TerminalUi.h"

#include "platform/Time.h"

namespace xv4::cli {
namespace {
constexpr std::uint32_t kRedrawIntervalMs = 100;
}

TerminalUi::TerminalUi(std::FILE* out, std::FILE* err, bool interactive, bool quiet)
    : out_(out), err_(err), interactive_(interactive), quiet_(quiet) {}

void TerminalUi::Cancel() {
  cancelled_ = true;
}

void TerminalUi::Print(std::FILE* to, const QString& text) {
  const QByteArray bytes = text.toLocal8Bit();
  std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), to);
  std::fputc('\n', to);
  std::fflush(to);
}

void TerminalUi::EndLine() {
  if (!lineOpen_)
    return;
  std::fputc('\n', err_);
  std::fflush(err_);
  lineOpen_ = false;
}

void TerminalUi::Redraw(bool force) {
  const std::uint32_t now = platform::GetTickCount();
  if (!force && now - lastDraw_ < kRedrawIntervalMs && current_ != total_)
    return;
  lastDraw_ = now;
  lastDrawn_ = current_;
  QString line = QStringLiteral("\r") + status_;
  if (total_ > 0) {
    const int shown = current_ < 0 ? 0 : (current_ > total_ ? total_ : current_);
    const int filled = static_cast<int>(static_cast<qint64>(shown) * barWidth_ / total_);
    line += QStringLiteral("  %1/%2 [%3%4] %5%")
                .arg(current_)
                .arg(total_)
                .arg(QString(filled, QLatin1Char('#')))
                .arg(QString(barWidth_ - filled, QLatin1Char('-')))
                .arg(static_cast<qint64>(shown) * 100 / total_, 3);
  }
  line += QStringLiteral("\x1b[K");
  const QByteArray bytes = line.toLocal8Bit();
  std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), err_);
  std::fflush(err_);
  lineOpen_ = true;
}

void TerminalUi::Show() {
  shown_ = true;
  total_ = 0;
  current_ = 0;
  lastPlainStep_ = -1;
  status_.clear();
}

void TerminalUi::SetStatus(int kind, const QString& text) {
  if (cancelled_)
    return;  // as the dialog drops what comes after Cancel
  if (kind == 1) {
    ShowFinalStatus(text, {});
    return;
  }
  status_ = text;
  if (quiet_)
    return;
  if (interactive_) {
    Redraw(true);
  } else {
    Print(err_, text);
  }
}

void TerminalUi::ShowFinalStatus(const QString& text, const QString& detail) {
  if (cancelled_)
    return;
  EndLine();
  Print(err_, QStringLiteral("xv4ctl: ") + FinalMessage(text, detail));
  shown_ = false;
}

void TerminalUi::SetMargin(int total) {
  total_ = total;
  current_ = 0;
  lastPlainStep_ = -1;
  if (!quiet_ && interactive_ && shown_)
    Redraw(true);
}

void TerminalUi::SetProgress(int current) {
  current_ = current;
  if (quiet_ || !shown_)
    return;
  if (interactive_) {
    Redraw(false);
    return;
  }
  // Plain output: one line per tenth of the way.
  if (total_ <= 0)
    return;
  const int step = static_cast<int>(static_cast<qint64>(current) * 10 / total_);
  if (step > lastPlainStep_) {
    lastPlainStep_ = step;
    Print(err_, QStringLiteral("%1/%2").arg(current).arg(total_));
  }
}

void TerminalUi::Close() {
  if (interactive_ && !quiet_ && shown_ && total_ > 0 && lastDrawn_ != current_)
    Redraw(true);
  EndLine();
  shown_ = false;
}

void TerminalUi::MessageBox(platform::MessageKind /*kind*/, const QString& text,
                            const QString& detail) {
  EndLine();
  Print(err_, QStringLiteral("xv4ctl: ") + FinalMessage(text, detail));
}

void TerminalUi::SuccessMessage(const QString& text, const QString& detail) {
  EndLine();
  if (!quiet_ && !silentOutput_)
    Print(out_, FinalMessage(text, detail));
}

QString TerminalUi::FieldText(const QString& key, const QString& value) const {
  // Control characters are shown escaped: a CR would send the terminal's cursor back over the
  // message.
  QString escaped;
  bool control = false;
  for (const QChar c : value) {
    if (c.unicode() < 0x20 || c.unicode() == 0x7F) {
      control = true;
      escaped += c == QLatin1Char('\r') ? QStringLiteral("\\r")
                 : c == QLatin1Char('\n')
                     ? QStringLiteral("\\n")
                     : QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
    } else {
      escaped += c;
    }
  }
  const QString shown = value.isEmpty() || value.contains(QLatin1Char(' ')) || control
                            ? QStringLiteral("\"%1\"").arg(escaped)
                            : value;
  const auto it = fieldOptions_.find(key);
  if (it == fieldOptions_.end())
    return QStringLiteral("%1=%2 (%3)").arg(key, shown, unsetFieldSource_);
  if (it->second == QLatin1String("--set"))
    return QStringLiteral("--set %1=%2").arg(key, shown);
  return QStringLiteral("%1 %2").arg(it->second, shown);
}

std::optional<QString> TerminalUi::ChooseFile(const QString& /*title*/) {
  // The command line always names its files; there is nobody to ask.
  return std::nullopt;
}

}  // namespace xv4::cli
