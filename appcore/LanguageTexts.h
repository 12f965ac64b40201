#pragma once
// The texts that the operations show, the items of the translated lists, and the choice of
// language. They start as the built-in Simplified Chinese texts and are replaced when a language
// file is loaded. The window and the command line share them.
//
// UI thread only (the texts are process-wide, like the window's captions).

#include "platform/IniFile.h"

#include <QString>
#include <QStringList>

namespace xv4 {

// The message texts, in the order in which language files hold them (section "String").
enum class Msg {
  Connect,
  ConnectFail,
  CommTest,
  CommTestFail,
  CommTestOk,
  Disconnect,
  DisconnectFail,
  UploadInfoFail,
  UpdataInfo,
  UpdataFail,
  UpdataOk,
  OpenFont,
  DownloadParam,
  DownloadParamFail,
  DownloadData,
  DownloadDataFail,
  DownloadDataOk,
  DownloadParamOk,
};
constexpr int kMessageCount = 18;

// Key of a message in the "String" section ("Connect", "UpdataInfo", ...).
const char* MessageKey(Msg msg);
QString MessageText(Msg msg);
void SetMessageText(Msg msg, const QString& text);

// The translated item lists, in the order in which language files hold them.
enum class ItemList { PrintType, LangType, AlertType, Codepage };
constexpr int kItemListCount = 4;

const char* ItemListSection(ItemList list);
QStringList Items(ItemList list);
void SetItems(ItemList list, const QStringList& items);

// Puts every message text and item list back to the built-in texts.
void ResetLanguageTexts();

// Languages: 1 Simplified Chinese, 2 Traditional Chinese, 3 English; 0 means "save the built-in
// texts" and uses the Simplified Chinese file.
struct LanguageFileInfo {
  const char* fileName;  // "Chinese.LNG", "BigGb.LNG", "English.LNG"
  int charset;           // font character set: 134 GB2312, 136 Big5, 1 default
  int codePage;          // code page of the file's bytes: 936, 950, 1252
};
LanguageFileInfo LanguageFile(int languageIndex);

// The language that the system code page selects (936: 1, 950: 2, otherwise 3). Remembers it
// as LanguageIndex().
int DetectLanguage();
// The language chosen by the last DetectLanguage(), 1 to 3 (1 before any detection).
int LanguageIndex();

// Writes the message texts (section "String") and the item lists (sections "PrintType",
// "LangType", "AlertType", "Codepage", keys "0", "1", ...) in the given code page.
void SaveLanguageTexts(platform::IniFile& file, int codePage);
// Reads them back; a missing key keeps the current text.
void LoadLanguageTexts(const platform::IniFile& file, int codePage);

// Path of a language file: Chinese.LNG in the application directory (the program rewrites it),
// the translated files where the program ships them.
QString LanguageFilePath(int languageIndex);

}  // namespace xv4
