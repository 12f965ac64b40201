// Language files: the built-in texts written out, each shipped language loaded into the windows.

#include "app/Init.h"
#include "app/Main.h"
#include "app/Progress.h"
#include "appcore/LanguageTexts.h"
#include "platform/CodePage.h"
#include "platform/IniFile.h"
#include "tests/app/AppFixture.h"
#include "widgets/MyLabel.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QRandomGenerator>

#include <memory>

namespace xv4 {
namespace {

class Languages : public test::AppFixture {
 protected:
  void Start() {
    form = std::make_unique<TMainForm>();
    progress = std::make_unique<TProgressForm>();
    form->AttachProgress(progress.get());
    form->FormShow();
  }
  void TearDown() override {
    progress.reset();
    form.reset();
    AppFixture::TearDown();
  }
  // The user picks a language in cb_Lng.
  void Pick(int index) {
    auto* combo = static_cast<QComboBox*>(form->Control("cb_Lng"));
    combo->setCurrentIndex(index);
    emit combo->activated(index);
  }

  std::unique_ptr<TMainForm> form;
  std::unique_ptr<TProgressForm> progress;
};

TEST_F(Languages, StartWritesTheBuiltInTextsInGbkWithoutDisabledOrInputControls) {
  Start();
  platform::IniFile lng(dir.File("Chinese.LNG"));
  ASSERT_TRUE(lng.Loaded());
  auto read = [&](const char* section, const char* key) {
    return platform::DecodeText(lng.ReadString(section, key, "<missing>"), 936);
  };
  EXPECT_EQ(read("MainForm", "Caption"), "XV4 Ver1.504");
  EXPECT_EQ(read("MainForm", "TestBtn.Caption"), QStringLiteral("通讯测试(F2)"));
  EXPECT_EQ(read("MainForm", "UpdateProgramBtn.Caption"), QStringLiteral("下载程序(F5)"))
      << "hidden but enabled controls are written";
  EXPECT_EQ(read("MainForm", "chkClear.Caption"), QStringLiteral("清维修参数    "));
  EXPECT_EQ(read("ProgressForm", "Label3D1.Caption"), QStringLiteral("状    态："));
  EXPECT_EQ(read("String", "DownloadParamOk"), QStringLiteral("下载参数成功！请重新启动打印机。"));
  EXPECT_EQ(read("Codepage", "12"), QStringLiteral("12->亚美尼亚文"));
  for (const char* absent : {"grpCOM.Caption", "txt1.Caption", "IPAddrEd.Caption",
                             "cb_alert.Caption", "se1.Caption", "OpenDialog1.Caption"}) {
    EXPECT_FALSE(lng.ValueExists("MainForm", absent)) << absent;
  }
  for (const char* empty : {"StatusLabel.Caption", "CurLabel.Caption", "Bevel1.Caption"})
    EXPECT_FALSE(lng.ValueExists("ProgressForm", empty)) << empty;
  EXPECT_EQ(dir.Read("Chinese.LNG").left(11), "[MainForm]\r");
}

struct Expected {
  int index;
  QString testButton;
  QString statusCaption;
  QString commTestOk;
  QString firstAlert;
  QString lastCodepage;
};

TEST_F(Languages, EachShippedLanguageLoadsAndChineseComesBack) {
  Start();
  const Expected expected[] = {
      {2, QStringLiteral("通訊測試(F2)"), QStringLiteral("狀    態："),
       QStringLiteral("通訊測試成功!"), QStringLiteral("閃燈且警報"),
       QStringLiteral("12->亞美尼亞文")},
      {3, "Communication test (F2)", "Status:", "Communication test succeeded!", "Flash and beep",
       "12->Armenian"},
      {1, QStringLiteral("通讯测试(F2)"), QStringLiteral("状    态："),
       QStringLiteral("通讯测试成功!"), QStringLiteral("闪灯且警报"),
       QStringLiteral("12->亚美尼亚文")},
  };
  for (const Expected& e : expected) {
    form->SetItemIndex("cb_alert", 1);  // a selection made before the language changes
    Pick(e.index - 1);
    EXPECT_EQ(form->Text("TestBtn"), e.testButton) << e.index;
    EXPECT_EQ(progress->Label3D1->text(), e.statusCaption) << e.index;
    EXPECT_EQ(MessageText(Msg::CommTestOk), e.commTestOk) << e.index;
    EXPECT_EQ(form->Items("cb_alert").value(0), e.firstAlert) << e.index;
    EXPECT_EQ(form->Items("cb_codepage").value(12), e.lastCodepage) << e.index;
    EXPECT_EQ(form->Items("cb_codepage").size(), 13) << e.index;
    EXPECT_EQ(form->Items("cbbJianFan"), form->Items("cb_Lng")) << e.index;
    EXPECT_EQ(form->ItemIndex("cb_Lng"), e.index - 1);
    // Refilled lists keep their choice, now in the new language.
    EXPECT_EQ(form->ItemIndex("cb_alert"), 1) << e.index;
    EXPECT_EQ(form->Text("cb_alert"), form->Items("cb_alert").value(1)) << e.index;
    for (const char* list : {"cbbsort", "cbbJianFan", "cb_codepage"}) {
      EXPECT_EQ(form->ItemIndex(list), -1) << list << " " << e.index;
      EXPECT_EQ(form->Text(list), "") << list << " " << e.index;
    }
    EXPECT_EQ(form->Text("IPAddrEd"), "192.168.1.7") << "input is never translated";
    // Each caption ends where its field begins.
    for (auto [label, field] : {std::pair{"StaticText1", "IPAddrEd"},
                                {"StaticText2", "IPPortEd"},
                                {"StaticText3", "IdEd"}}) {
      EXPECT_EQ(form->Bounds(label).right() + 1, form->Bounds(field).left()) << label;
      EXPECT_GE(form->Bounds(label).width(),
                static_cast<QLabel*>(form->Control(label))->sizeHint().width());
    }
    EXPECT_EQ(progress->StatusLabel->text(), "") << "empty value labels stay untranslated";
  }
}

// Every caption fits the space its control has, in every language.
TEST_F(Languages, TranslatedCaptionsFitTheirControls) {
  Start();
  for (int index : {1, 2, 3}) {
    Pick(index - 1);
    for (const ControlDef& d : MainFormControls()) {
      if (d.kind != ControlKind::Label && d.kind != ControlKind::CheckBox &&
          d.kind != ControlKind::SpeedButton && d.kind != ControlKind::StaticText)
        continue;
      QWidget* w = form->Control(QString::fromLatin1(d.name));
      EXPECT_LE(w->sizeHint().width(), w->width())
          << d.name << " in language " << index << ": " << form->Text(d.name).toStdString();
    }
    for (QLabel* caption :
         {static_cast<QLabel*>(progress->Label3D1), static_cast<QLabel*>(progress->Label3D2),
          static_cast<QLabel*>(progress->Label3D3)}) {
      EXPECT_LE(caption->fontMetrics().horizontalAdvance(caption->text()), caption->width())
          << caption->objectName().toStdString() << " in language " << index;
    }
  }
}

TEST_F(Languages, MissingFileChangesOnlyListsAndLanguageChoice) {
  QFile::remove(dir.File("BigGb.LNG"));
  Start();
  const QString before = form->Text("TestBtn");
  const QString message = MessageText(Msg::Connect);
  form->SetItemIndex("cbbsort", 2);
  Pick(1);
  EXPECT_EQ(form->Text("TestBtn"), before);
  EXPECT_EQ(MessageText(Msg::Connect), message);
  EXPECT_EQ(form->ItemIndex("cbbsort"), 2);
  EXPECT_EQ(form->Items("cbbsort").size(), 4);
  EXPECT_EQ(form->ItemIndex("cb_Lng"), 1);
}

TEST_F(Languages, OnlyNonEmptyTextsAreLoadedAndMissingKeysKeepTheirText) {
  dir.Write("English.LNG",
            "[MainForm]\r\nExitBtn.Caption=Quit (F9)\r\n[ProgressForm]\r\n"
            "StatusLabel.Caption=never shown\r\n[String]\r\nConnect=Dialling...\r\n"
            "[AlertType]\r\n1=Flash only\r\n");
  Start();
  Pick(2);
  EXPECT_EQ(form->Text("ExitBtn"), "Quit (F9)");
  EXPECT_EQ(form->Text("TestBtn"), QStringLiteral("通讯测试(F2)"));
  EXPECT_EQ(progress->StatusLabel->text(), "");
  EXPECT_EQ(MessageText(Msg::Connect), "Dialling...");
  EXPECT_EQ(MessageText(Msg::ConnectFail), QStringLiteral("连接...失败!"));
  EXPECT_EQ(form->Items("cb_alert"),
            QStringList({QStringLiteral("闪灯且警报"), "Flash only", QStringLiteral("不闪灯警报"),
                         QStringLiteral("不闪灯不警报")}));
}

TEST_F(Languages, ChineseFileIsRewrittenAtEveryStart) {
  dir.Write("Chinese.LNG", "[MainForm]\r\nTestBtn.Caption=edited\r\nMyNote.Caption=kept\r\n");
  Start();
  platform::IniFile lng(dir.File("Chinese.LNG"));
  EXPECT_EQ(platform::DecodeText(lng.ReadString("MainForm", "TestBtn.Caption", {}), 936),
            QStringLiteral("通讯测试(F2)"));
  EXPECT_EQ(lng.ReadString("MainForm", "MyNote.Caption", {}), "kept");
  EXPECT_EQ(form->Text("TestBtn"), QStringLiteral("通讯测试(F2)"));
}

// A damaged language file of any content loads without a crash: lists keep their length and the
// language choice, whatever the file holds.
TEST_F(Languages, ArbitraryLanguageFileContentLoadsSafely) {
  Start();
  QRandomGenerator rng(950);
  const QByteArray sections[] = {"MainForm", "ProgressForm", "String",  "PrintType",
                                 "LangType", "AlertType",    "Codepage"};
  const QByteArray keys[] = {"Caption",
                             "TestBtn.Caption",
                             "ExitBtn.Hint",
                             "StaticText1.Caption",
                             "Connect",
                             "CommTestOk",
                             "0",
                             "1",
                             "12",
                             "99",
                             "-1",
                             ""};
  const int sizes[] = {4, 3, 4, 13};
  for (int round = 0; round < 40; ++round) {
    QByteArray content;
    const int lines = static_cast<int>(rng.bounded(0, 60));
    for (int i = 0; i < lines; ++i) {
      if (rng.bounded(5) == 0) {
        content += "[" + sections[rng.bounded(static_cast<int>(std::size(sections)))] + "]\r\n";
        continue;
      }
      QByteArray value(static_cast<qsizetype>(rng.bounded(0, rng.bounded(10) ? 20 : 3000)), '\0');
      for (char& c : value)
        c = static_cast<char>(rng.bounded(256));
      value.replace('\n', ' ');
      content += keys[rng.bounded(static_cast<int>(std::size(keys)))] + "=" + value + "\r\n";
    }
    const bool big5 = round % 2 == 0;
    ASSERT_TRUE(dir.Write(big5 ? "BigGb.LNG" : "English.LNG", content));
    Pick(big5 ? 1 : 2);
    EXPECT_EQ(form->ItemIndex("cb_Lng"), big5 ? 1 : 2);
    const char* lists[] = {"cbbsort", "cb_Lng", "cb_alert", "cb_codepage"};
    for (int l = 0; l < 4; ++l)
      EXPECT_EQ(form->Items(lists[l]).size(), sizes[l]) << lists[l] << " in round " << round;
    for (int m = 0; m < kMessageCount; ++m)
      EXPECT_LE(MessageText(static_cast<Msg>(m)).size(), 3000);
    Pick(0);
    EXPECT_EQ(form->Text("TestBtn"), QStringLiteral("通讯测试(F2)"));
  }
}

}  // namespace
}  // namespace xv4
