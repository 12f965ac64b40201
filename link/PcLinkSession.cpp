#include "link/PcLinkSession.h"

#include "link/MdmLnk.h"

#include <QSysInfo>

namespace xv4 {
namespace {

const QString kPrompt = QStringLiteral("LOGIN PASSWORD:\r\n");
const QString kRefused = QStringLiteral("LOGIN PASSWORD ERROR\r\nLOGIN PASSWORD:\r\n");
const QString kCrLf = QStringLiteral("\r\n");
constexpr char kIdentificationMark[] = "THIS IS PC/";
constexpr int kIdentificationMarkLength = sizeof kIdentificationMark - 1;

// Prompting: the first prompt after 2 s, then one every 20 s.
constexpr std::uint32_t kPromptFirst = 2000;
constexpr std::uint32_t kPromptAgain = 20000;
constexpr std::uint32_t kWaitPeriod = 3000;      // calling side, waiting for the prompt
constexpr std::uint32_t kIdentifyPeriod = 3000;  // identification sent
constexpr std::uint32_t kShakePeriod = 5000;     // keep-alive
constexpr int kMaxComputerName = 15;

// The text after the third blank: the password of an identification line. A password may hold
// blanks of its own; the line's CR is not part of it.
QString GivenPassword(const QString& line) {
  qsizetype at = -1;
  for (int blanks = 0; blanks < 3; ++blanks) {
    at = line.indexOf(QLatin1Char(' '), at + 1);
    if (at < 0)
      return {};
  }
  QString given = line.mid(at + 1);
  given.remove(QLatin1Char('\r'));
  return given.trimmed();
}

}  // namespace

PcLinkSession::PcLinkSession(LinkLayerHost& host, ProtocolTimer& timer)
    : host_(host), timer_(timer) {
  SetComputerName(QSysInfo::machineHostName());
}

void PcLinkSession::SetComputerName(const QString& name) {
  // The other station splits the identity at blanks and slashes: such characters in the name
  // would shift its fields.
  QString clean;
  for (const QChar c : name.trimmed().left(kMaxComputerName)) {
    const bool breaks = c == QLatin1Char(' ') || c == QLatin1Char('/') || c == QLatin1Char('|') ||
                        c.unicode() < 0x20 || c.unicode() == 0x7F;
    clean += breaks ? QLatin1Char('-') : c;
  }
  computerName_ = clean;
}

QString PcLinkSession::LocalIdentity() const {
  if (computerName_.isEmpty())
    return QStringLiteral("UnKnown");
  return computerName_ + QLatin1Char('/') + stationTag_ + QLatin1Char('/');
}

QString PcLinkSession::ShakeText() const {
  return QStringLiteral("PC/") + LocalIdentity() + QStringLiteral("/ SHAKE HANDS") + kCrLf;
}

void PcLinkSession::Raise(const QString& remote, const QString& stu, const QString& ps,
                          LinkActions& after) {
  LinkLayerHost* host = &host_;
  after.Add([host, remote, stu, ps] { host->RaiseShakeHands(remote, stu, ps); });
}

void PcLinkSession::SetWanted(bool wanted, bool connected) {
  wanted_ = wanted;
  if (!wanted) {
    timer_.state = '0';
    loggedIn_ = false;
    return;
  }
  if (connected) {
    answering_ = true;
    loggedIn_ = false;
    resendText_ = kPrompt;
    timer_.Arm('P', kPromptFirst, kTries, host_.Ticks());
  }
}

void PcLinkSession::Connected(bool calling) {
  if (!wanted_)
    return;
  answering_ = !calling;
  loggedIn_ = false;
  // The prompt is not sent at once: the answering side sends it when the timer first expires.
  if (answering_) {
    resendText_ = kPrompt;
    timer_.Arm('P', kPromptFirst, kTries, host_.Ticks());
  } else {
    resendText_.clear();
    timer_.Arm('W', kWaitPeriod, kTries, host_.Ticks());
  }
}

void PcLinkSession::Disconnected() {
  timer_.state = '0';
  loggedIn_ = false;
}

void PcLinkSession::LoginPassLine(const QString& line, LinkActions& after) {
  // Session lines mean nothing to a station that does not hold the session: it must not answer a
  // prompt with its password.
  if (!wanted_)
    return;
  const QString upper = line.toUpper();
  if (upper.contains(QLatin1String("OK"))) {
    if (answering_)
      return;  // only a calling station is let in
    if (host_.IsDebug())
      host_.AddDebugMessage(QStringLiteral("Get remote pc name:inval_hint=") + line);
    const QString remote = ExtractField(1, 2, QLatin1Char('/'), line);
    const QString tag = ExtractField(2, 3, QLatin1Char('/'), line);
    host_.SetRemoteName(remote);
    loggedIn_ = true;
    Raise(remote, QStringLiteral("OK"), tag, after);
  } else if (upper.contains(QLatin1String("ERR"))) {
    if (answering_)
      return;
    loggedIn_ = false;
    Raise(host_.RemoteName(), QStringLiteral("ERR"), QString(), after);
  } else {
    if (answering_)
      return;  // a prompt: only the calling side identifies itself
    resendText_ =
        QStringLiteral("THIS IS PC/") + LocalIdentity() + QLatin1Char(' ') + password_ + kCrLf;
    host_.QueueSend(resendText_, after);
    timer_.Arm('I', kIdentifyPeriod, kTries, host_.Ticks());
  }
}

void PcLinkSession::IdentificationLine(const QString& line, LinkActions& after) {
  if (!wanted_ || !answering_)
    return;  // only the answering side checks passwords
  const QString t = ExtractField(2, 3, QLatin1Char(' '), line) + QLatin1Char('/');
  const QString remote = ExtractField(1, 2, QLatin1Char('/'), t);
  const QString tag = ExtractField(2, 3, QLatin1Char('/'), t);
  host_.SetRemoteName(remote);
  host_.AddDebugMessage(QStringLiteral("注意：") + MaskIdentification(line) +
                        QStringLiteral("(remote_pwd=***)"));

  // The whole password, in any letter case: a part of it (its first letter) or nothing is not a
  // login. The master password logs in only when the owner has set one.
  const QString given = GivenPassword(line);
  const auto matches = [&given](const QString& password) {
    const QString expected = password.trimmed();
    return !expected.isEmpty() && given.compare(expected, Qt::CaseInsensitive) == 0;
  };
  const bool accepted = !given.isEmpty() && (matches(password_) || matches(masterPassword_));
  if (accepted) {
    host_.AddDebugMessage(QStringLiteral("Login Password OK!"));
    host_.QueueSend(QStringLiteral("LOGIN PASSWORD OK/") + LocalIdentity() + kCrLf + ShakeText(),
                    after);
    resendText_ = ShakeText();
    timer_.state = 'H';
    timer_.period = kShakePeriod;
    loggedIn_ = true;
    Raise(remote, QStringLiteral("OK"), tag, after);
  } else {
    host_.SetRemoteName(QStringLiteral("UNKNOWN"));
    resendText_ = kRefused;
    host_.QueueSend(resendText_, after);
    timer_.state = 'P';
    timer_.period = kPromptAgain;
    loggedIn_ = false;
    Raise(QStringLiteral("UNKNOWN"), QStringLiteral("ERR"), QString(), after);
  }
  timer_.counter = kTries;
  timer_.start = host_.Ticks();
}

void PcLinkSession::ShakeLine(const QString& line, LinkActions& after) {
  if (!wanted_)
    return;
  if (timer_.state == 'I') {
    const QString t = ExtractField(0, 1, QLatin1Char(' '), line.toUpper());
    const QString remote = ExtractField(1, 2, QLatin1Char('/'), t);
    host_.SetRemoteName(remote);
    resendText_ = ShakeText();
    host_.QueueSend(resendText_, after);
    timer_.state = 'H';
    timer_.period = kShakePeriod;
    timer_.start = host_.Ticks();
    loggedIn_ = true;
    Raise(remote, QStringLiteral("OK"), QString(), after);
  }
  // Every handshake line keeps the session alive.
  timer_.counter = kTries;
}

void PcLinkSession::TimerExpired(LinkActions& after) {
  if (--timer_.counter <= 0) {
    host_.AddDebugMessage(QStringLiteral("ENQ timeout,offline..."));
    timer_.state = '0';
    host_.SetRemoteName(QString());
    loggedIn_ = false;
  }
  switch (timer_.state) {
    case 'P':
      host_.QueueSend(resendText_, after);
      timer_.period = kPromptAgain;
      break;
    case 'W':
      break;
    default:  // also the '0' just set: the last line goes out once more
      host_.QueueSend(resendText_, after);
      break;
  }
  timer_.start = host_.Ticks();
}

QString PcLinkSession::MaskIdentification(const QString& line) {
  const qsizetype mark = line.indexOf(QLatin1String(kIdentificationMark), 0, Qt::CaseInsensitive);
  if (mark < 0)
    return line;
  const qsizetype blank = line.indexOf(QLatin1Char(' '), mark + kIdentificationMarkLength);
  if (blank < 0)
    return line;
  return line.left(blank + 1) + QStringLiteral("***");
}

bool IdentificationMasker::Secret(std::uint8_t byte) {
  if (byte == '\r' || byte == '\n') {
    matched_ = 0;
    inName_ = false;
    inSecret_ = false;
    return false;
  }
  if (inSecret_)
    return true;
  if (inName_) {
    if (byte == ' ') {
      inName_ = false;
      inSecret_ = true;
    }
    return false;
  }
  // No proper prefix of the mark is also a suffix of a longer matched part, except a 'T' that
  // starts it again, so a mismatch restarts with this byte alone.
  const auto upper = static_cast<char>(byte >= 'a' && byte <= 'z' ? byte - 'a' + 'A' : byte);
  if (upper == kIdentificationMark[matched_]) {
    if (++matched_ == kIdentificationMarkLength) {
      matched_ = 0;
      inName_ = true;
    }
  } else {
    matched_ = upper == kIdentificationMark[0] ? 1 : 0;
  }
  return false;
}

}  // namespace xv4
