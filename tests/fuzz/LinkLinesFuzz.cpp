// The serial link's line handling: the classifier that gives each received modem or session
// line its meaning, and ExtractField, which the layers use to cut a separated line into fields.
//
// Input: a separator byte, then lines ending in LF.
#include "link/MdmLnk.h"
#include "tests/fuzz/FuzzSupport.h"
#include "tests/support/LinkTestAccess.h"

#include <QList>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace xv4;
  fuzz::Environment();
  static TMdmLnk* link = [] {
    auto* l = new TMdmLnk();
    l->SetFlgAutoWriteDebugFile(false);
    return l;
  }();
  fuzz::Input in(data, size);
  const QChar separator = QLatin1Char(static_cast<char>(in.Byte()));
  const QList<QByteArray> lines = fuzz::ToByteArray(in.Rest()).split('\n');
  for (const QByteArray& line : lines) {
    TMdmLnkTestAccess::ClassifyLine(*link, line);

    // The fields, joined again by the separator, give the line without its CRs.
    const QString text = QString::fromLatin1(line);
    if (separator == QLatin1Char('\r'))
      continue;
    const int separators = static_cast<int>(text.count(separator));
    QStringList fields;
    for (int k = 0; k <= separators; ++k) {
      const QString field = ExtractField(k, k + 1, separator, text);
      XV4_FUZZ_CHECK(!field.contains(separator) && !field.contains(QLatin1Char('\r')));
      fields << field;
    }
    XV4_FUZZ_CHECK(fields.join(separator) == QString(text).remove(QLatin1Char('\r')));
    XV4_FUZZ_CHECK(ExtractField(separators + 1, separators + 2, separator, text).isEmpty());
  }
  return 0;
}
