// The modem layer's reading of received text: the line assembler that cuts the stream into lines
// (the worker's parser and the receive path each keep one) and the classifier that gives every
// line its response code; and the check that keeps a phone number from carrying commands of its
// own into the dial line.
//
// Input: the text up to the first LF is tried as a phone number; then all of it is fed to a line
// assembler byte by byte, and every line it gives is classified.
#include "link/ModemLayer.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

using namespace xv4;

QByteArray AsciiCase(QByteArray text, bool upper) {
  for (char& c : text) {
    if (upper && c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
    else if (!upper && c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

void CheckLine(QByteArrayView line) {
  XV4_FUZZ_CHECK(line.size() >= 2 && line.size() <= static_cast<qsizetype>(LineAssembler::kSize));
  XV4_FUZZ_CHECK(!line.contains('\r') && !line.contains('\n'));
  const int code = ClassifyLine(line);
  XV4_FUZZ_CHECK(code >= kNoCode && code < static_cast<int>(ResponseTable.size()));
  // Letter case does not matter; the last word of the table that the line holds decides.
  const QByteArray upper = AsciiCase(line.toByteArray(), true);
  XV4_FUZZ_CHECK(ClassifyLine(upper) == code);
  XV4_FUZZ_CHECK(ClassifyLine(AsciiCase(line.toByteArray(), false)) == code);
  for (int i = code + 1; i < static_cast<int>(ResponseTable.size()); ++i)
    XV4_FUZZ_CHECK(!upper.contains(ResponseTable[static_cast<std::size_t>(i)]));
  if (code != kNoCode)
    XV4_FUZZ_CHECK(upper.contains(ResponseTable[static_cast<std::size_t>(code)]));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Environment();
  const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

  // A number that passes makes a dial line that is one command line: nothing in it ends the line
  // or starts another command.
  const qsizetype end = input.indexOf('\n');
  const QString number = QString::fromLatin1(end < 0 ? input : input.left(end));
  if (IsValidPhoneNumber(number)) {
    XV4_FUZZ_CHECK(number.size() <= kMaxPhoneNumber);
    XV4_FUZZ_CHECK(!number.contains(QLatin1String("AT"), Qt::CaseInsensitive));
    const QByteArray dial = "ATDT" + number.toLatin1() + "\r\n";
    LineAssembler lines;
    int count = 0;
    for (const char b : dial) {
      if (lines.Feed(static_cast<std::uint8_t>(b))) {
        ++count;
        XV4_FUZZ_CHECK(lines.Line() == QByteArrayView(dial).chopped(2));
      }
    }
    XV4_FUZZ_CHECK(count == 1);
  }

  LineAssembler lines;
  qsizetype lineEnds = 0;
  int count = 0;
  for (const char b : input) {
    lineEnds += b == '\r' || b == '\n';
    if (lines.Feed(static_cast<std::uint8_t>(b))) {
      ++count;
      CheckLine(lines.Line());
    }
  }
  XV4_FUZZ_CHECK(count <= lineEnds);
  return 0;
}
