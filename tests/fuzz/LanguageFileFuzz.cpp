// Language files (.LNG): read in their code page into the message texts and the translated
// lists, which then fill the window's lists.
//
// Input: a byte choosing the language (Simplified Chinese read directly; Traditional Chinese and
// English through the language step, from BigGb.LNG or English.LNG in the application
// directory), then the file's bytes. The texts are saved to a second file and read back.
#include "appcore/FormModel.h"
#include "appcore/LanguageTexts.h"
#include "platform/CodePage.h"
#include "platform/IniFile.h"
#include "tests/fuzz/FuzzSupport.h"

#include <QFile>

#include <algorithm>

namespace {

struct AllTexts {
  QStringList messages;
  QList<QStringList> items;
  bool operator==(const AllTexts&) const = default;
};

AllTexts CurrentTexts() {
  using namespace xv4;
  AllTexts t;
  for (int i = 0; i < kMessageCount; ++i)
    t.messages << MessageText(static_cast<Msg>(i));
  for (int l = 0; l < kItemListCount; ++l)
    t.items << Items(static_cast<ItemList>(l));
  return t;
}

AllTexts InCodePage(AllTexts t, int codePage) {
  const auto convert = [codePage](QString& text) {
    text = xv4::platform::DecodeText(xv4::platform::EncodeText(text, codePage), codePage);
  };
  std::for_each(t.messages.begin(), t.messages.end(), convert);
  for (QStringList& list : t.items)
    std::for_each(list.begin(), list.end(), convert);
  return t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace xv4;
  fuzz::Environment();
  fuzz::Input in(data, size);
  const int language = 1 + in.Byte() % 3;
  const LanguageFileInfo info = LanguageFile(language);
  const QString path = fuzz::WriteScratchFile(QString::fromLatin1(info.fileName), in.Rest());

  ResetLanguageTexts();
  HeadlessMainForm form;
  if (language == 1) {
    LoadLanguageTexts(platform::IniFile(path), info.codePage);
    RefillLanguageLists(form, language);
  } else {
    ApplyLanguageTexts(form, language);
  }
  XV4_FUZZ_CHECK(form.ItemIndex(QStringLiteral("cb_Lng")) == language - 1);
  const AllTexts loaded = CurrentTexts();

  // Saved and read again, the texts are the same, as far as the code page holds them (the texts
  // a file does not replace stay the built-in Simplified Chinese ones).
  const QString savedPath = fuzz::ScratchDir() + QStringLiteral("saved.LNG");
  QFile::remove(savedPath);
  platform::IniFile saved(savedPath);
  SaveLanguageTexts(saved, info.codePage);
  XV4_FUZZ_CHECK(saved.Save());
  ResetLanguageTexts();
  LoadLanguageTexts(platform::IniFile(savedPath), info.codePage);
  XV4_FUZZ_CHECK(CurrentTexts() == InCodePage(loaded, info.codePage));
  return 0;
}
