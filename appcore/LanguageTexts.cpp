#include "appcore/LanguageTexts.h"

#include "platform/AppDir.h"
#include "platform/CodePage.h"

#include <array>

namespace xv4 {
namespace {

struct MessageDef {
  const char* key;
  const char* builtIn;  // UTF-8
};

constexpr std::array<MessageDef, kMessageCount> kMessages = {{
    {"Connect", "连接..."},
    {"ConnectFail", "连接...失败!"},
    {"CommTest", "通讯测试..."},
    {"CommTestFail", "通讯测试...失败!"},
    {"CommTestOk", "通讯测试成功!"},
    {"Disconnect", "断开..."},
    {"DisconnectFail", "断开...失败!"},
    {"UploadInfoFail", "上载信息...失败!"},
    {"UpdataInfo", "升级程序,不可关电..."},
    {"UpdataFail", "升级程序...失败!"},
    {"UpdataOk", "升级程序成功!"},
    {"OpenFont", "打开字库文件"},
    {"DownloadParam", "下载参数..."},
    {"DownloadParamFail", "下载参数...失败!"},
    {"DownloadData", "下载数据..."},
    {"DownloadDataFail", "下载数据...失败!"},
    {"DownloadDataOk", "下载数据成功！请重新启动打印机。"},
    {"DownloadParamOk", "下载参数成功！请重新启动打印机。"},
}};

constexpr std::array<const char*, kItemListCount> kSections = {"PrintType", "LangType", "AlertType",
                                                               "Codepage"};

QStringList BuiltInItems(ItemList list) {
  switch (list) {
    case ItemList::PrintType:
      return {QStringLiteral("中速xv4"), QStringLiteral("高速xv4"), QStringLiteral("中速xr4"),
              QStringLiteral("高速xr4")};
    case ItemList::LangType:
      return {QStringLiteral("简体"), QStringLiteral("繁体"), QStringLiteral("English")};
    case ItemList::AlertType:
      return {QStringLiteral("闪灯且警报"), QStringLiteral("闪灯不警报"),
              QStringLiteral("不闪灯警报"), QStringLiteral("不闪灯不警报")};
    case ItemList::Codepage:
      return {QStringLiteral("0->英文"),       QStringLiteral("1->葡萄牙文"),
              QStringLiteral("2->希伯来文"),   QStringLiteral("3->俄罗斯文"),
              QStringLiteral("4->罗马尼亚文"), QStringLiteral("5->伊朗文"),
              QStringLiteral("6->阿拉伯文"),   QStringLiteral("7->越南文"),
              QStringLiteral("8->土耳其文"),   QStringLiteral("9->西班牙文"),
              QStringLiteral("10->英文"),      QStringLiteral("11->阿拉伯文"),
              QStringLiteral("12->亚美尼亚文")};
  }
  return {};
}

struct State {
  std::array<QString, kMessageCount> messages;
  std::array<QStringList, kItemListCount> items;
  int languageIndex = 1;
  State() { Reset(); }
  void Reset() {
    for (int i = 0; i < kMessageCount; ++i)
      messages[i] = QString::fromUtf8(kMessages[i].builtIn);
    for (int i = 0; i < kItemListCount; ++i)
      items[i] = BuiltInItems(static_cast<ItemList>(i));
  }
};

State& Texts() {
  static State state;
  return state;
}

}  // namespace

const char* MessageKey(Msg msg) {
  return kMessages[static_cast<int>(msg)].key;
}
QString MessageText(Msg msg) {
  return Texts().messages[static_cast<int>(msg)];
}
void SetMessageText(Msg msg, const QString& text) {
  Texts().messages[static_cast<int>(msg)] = text;
}

const char* ItemListSection(ItemList list) {
  return kSections[static_cast<int>(list)];
}
QStringList Items(ItemList list) {
  return Texts().items[static_cast<int>(list)];
}
void SetItems(ItemList list, const QStringList& items) {
  Texts().items[static_cast<int>(list)] = items;
}

void ResetLanguageTexts() {
  Texts().Reset();
}

LanguageFileInfo LanguageFile(int languageIndex) {
  switch (languageIndex) {
    case 2:
      return {"BigGb.LNG", 136, platform::kCodePageBig5};
    case 3:
      return {"English.LNG", 1, platform::kCodePageLatin};
    default:
      return {"Chinese.LNG", 134, platform::kCodePageGbk};
  }
}

int DetectLanguage() {
  const int acp = platform::GetACP();
  const int index = acp == platform::kCodePageGbk ? 1 : acp == platform::kCodePageBig5 ? 2 : 3;
  Texts().languageIndex = index;
  return index;
}

int LanguageIndex() {
  return Texts().languageIndex;
}

void SaveLanguageTexts(platform::IniFile& file, int codePage) {
  for (int i = 0; i < kMessageCount; ++i) {
    file.WriteString("String", kMessages[i].key,
                     platform::EncodeText(Texts().messages[i], codePage));
  }
  for (int l = 0; l < kItemListCount; ++l) {
    const QStringList& items = Texts().items[l];
    for (int i = 0; i < items.size(); ++i) {
      file.WriteString(kSections[l], QByteArray::number(i),
                       platform::EncodeText(items[i], codePage));
    }
  }
}

void LoadLanguageTexts(const platform::IniFile& file, int codePage) {
  for (int i = 0; i < kMessageCount; ++i) {
    if (file.ValueExists("String", kMessages[i].key)) {
      Texts().messages[i] =
          platform::DecodeText(file.ReadString("String", kMessages[i].key, {}), codePage);
    }
  }
  for (int l = 0; l < kItemListCount; ++l) {
    QStringList& items = Texts().items[l];
    for (int i = 0; i < items.size(); ++i) {
      const QByteArray key = QByteArray::number(i);
      if (file.ValueExists(kSections[l], key)) {
        items[i] = platform::DecodeText(file.ReadString(kSections[l], key, {}), codePage);
      }
    }
  }
}

QString LanguageFilePath(int languageIndex) {
  const QString name = QString::fromLatin1(LanguageFile(languageIndex).fileName);
  if (languageIndex <= 1)
    return platform::ApplicationDir() + name;
  return platform::ShippedFilePath(name);
}

}  // namespace xv4
