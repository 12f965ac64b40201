// Code-page texts: decoding bytes received or read from files, encoding texts to send, and the
// cut of a text to a field's byte limit.
//
// Input: a byte choosing the code page (936, 950, 1252), a byte limit, then the bytes (decoded
// as they are, and taken as UTF-16 for the encoding).
#include "platform/CodePage.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace xv4;
  fuzz::Environment();
  fuzz::Input in(data, size);
  static constexpr int kCodePages[] = {platform::kCodePageGbk, platform::kCodePageBig5,
                                       platform::kCodePageLatin};
  const int codePage = kCodePages[in.Byte() % 3];
  const int limit = in.Byte();
  const auto bytes = in.Rest();

  // Decoded text survives its way back to the code page: a file read and saved again keeps what
  // the code page could hold.
  const QString text = platform::DecodeText(fuzz::ToByteArray(bytes), codePage);
  const QByteArray encoded = platform::EncodeText(text, codePage);
  XV4_FUZZ_CHECK(platform::DecodeText(encoded, codePage) == text);

  // Any text, lone surrogates included: the cut fits the limit and is a start of the whole.
  QString typed(static_cast<qsizetype>(bytes.size() / 2), Qt::Uninitialized);
  for (qsizetype i = 0; i < typed.size(); ++i)
    typed[i] = QChar(static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)));
  const QByteArray whole = platform::EncodeText(typed, codePage);
  const QByteArray cut = platform::EncodeTextWithin(typed, codePage, limit);
  XV4_FUZZ_CHECK(cut.size() <= limit);
  XV4_FUZZ_CHECK(whole.startsWith(cut));
  return 0;
}
