// The main window as a user meets it: start-up with and without Config.cfg, the saved file,
// the service keys and the stacking of the groups, the change handlers, the field checks.

#include "app/Main.h"
#include "app/Progress.h"
#include "appcore/ParamBlocks.h"
#include "platform/EventLoop.h"
#include "platform/IniFile.h"
#include "platform/Time.h"
#include "tests/app/AppFixture.h"
#include "widgets/SpinEdit.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFocusEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <csignal>
#include <memory>

#include <sys/stat.h>

namespace xv4 {
namespace {

constexpr auto kCtrlAlt = Qt::ControlModifier | Qt::AltModifier;

class MainWindow : public test::AppFixture {
 protected:
  explicit MainWindow(const char* acp = "936") : AppFixture(acp) {}

  // Program start: both forms, then the first show.
  void Start() {
    form = std::make_unique<TMainForm>();
    progress = std::make_unique<TProgressForm>();
    form->AttachProgress(progress.get());
    form->FormShow();
  }
  void Exit() {
    progress.reset();
    form.reset();  // FormDestroy saves Config.cfg
  }
  void TearDown() override {
    Exit();
    AppFixture::TearDown();
  }
  QComboBox* Combo(const char* name) { return static_cast<QComboBox*>(form->Control(name)); }
  void Choose(const char* combo, int index) {
    Combo(combo)->setCurrentIndex(index);
    emit Combo(combo)->activated(index);
  }
  // One key press as the window receives it (QTest would also press the modifier keys, and every
  // key press restacks the groups).
  void Press(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QKeyEvent press(QEvent::KeyPress, key, modifiers);
    QApplication::sendEvent(form.get(), &press);
  }
  int Top(const char* name) { return form->Bounds(name).top(); }
  int Height(const char* name) { return form->Bounds(name).height(); }

  std::unique_ptr<TMainForm> form;
  std::unique_ptr<TProgressForm> progress;
};

TEST_F(MainWindow, FirstStartShowsDesignDefaultsAndExitWritesEverySetting) {
  Start();
  EXPECT_EQ(form->ItemIndex("CommRG"), 0);
  EXPECT_EQ(form->Text("IPAddrEd"), "192.168.1.7");
  EXPECT_EQ(form->Text("IPPortEd"), "5013");
  EXPECT_EQ(form->Text("PortCB"), "COM1");
  EXPECT_EQ(form->ItemIndex("BaudRateCB"), -1);
  // The language step refills four lists: the alarm list keeps its design item; the design texts
  // of the other three are no items, so they show nothing.
  EXPECT_EQ(form->ItemIndex("cb_alert"), 0);
  for (const char* list : {"cb_codepage", "cbbsort", "cbbJianFan"}) {
    EXPECT_EQ(form->ItemIndex(list), -1) << list;
    EXPECT_EQ(form->Text(list), "") << list;
  }
  EXPECT_EQ(form->ItemIndex("cb_Lng"), 0);
  EXPECT_EQ(form->ItemIndex("DefBaudRateCB"), 5);
  EXPECT_EQ(form->Value("se1"), 50);
  EXPECT_TRUE(form->Enabled("grpEthernet"));
  EXPECT_FALSE(form->Enabled("grpCOM"));
  EXPECT_EQ(form->Caption(), "XV4 Ver1.504");
  ASSERT_NE(form->Comm, nullptr);
  EXPECT_EQ(form->Comm->RetryCount(), 3);
  EXPECT_EQ(form->Comm->RetryInterval(), 500);
  Exit();

  const QStringList expectedKeys = {"IPAddrEd",
                                    "IPPortEd",
                                    "PortCB",
                                    "PortName",
                                    "BaudRateCB",
                                    "IdEd",
                                    "PP3IDEd",
                                    "LabelHeightEd",
                                    "LabelProbeEd",
                                    "DensityEd",
                                    "cbbsort",
                                    "cbbJianFan",
                                    "cb_codepage",
                                    "NewIPAddrEd",
                                    "EthCB",
                                    "edtlanyani",
                                    "WuxianPrinterIPEdit",
                                    "BaseIPEdit",
                                    "WuxianPrinterIDEdit",
                                    "DefBaudRateCB",
                                    "edKcid",
                                    "cb_alert",
                                    "se1",
                                    "edt_WiFi_Ip",
                                    "edt_wifi_Mac",
                                    "edt_wifi_pass",
                                    "cbb_wifi_keyType",
                                    "edt_wifi_ssid",
                                    "cbb_wifi_link",
                                    "cbb_safetype",
                                    "cb_Lng"};
  const QList<QByteArray> lines = dir.Read("Config.cfg").split('\n');
  ASSERT_EQ(lines.value(0), "[Set]\r");
  QStringList keys;
  for (const QByteArray& line : lines.mid(1)) {
    if (!line.isEmpty())
      keys << QString::fromLatin1(line.left(line.indexOf('=')));
  }
  EXPECT_EQ(keys, expectedKeys);
  platform::IniFile saved(dir.File("Config.cfg"));
  EXPECT_EQ(saved.ReadString("Set", "BaudRateCB", "?"), "-1");
  EXPECT_EQ(saved.ReadString("Set", "cb_alert", "?"), "0");
  EXPECT_EQ(saved.ReadString("Set", "PortName", "?"), "COM1");
  EXPECT_EQ(saved.ReadString("Set", "DefBaudRateCB", "?"), "5");
  EXPECT_EQ(saved.ReadString("Set", "se1", "?"), "50");
  struct stat st {};
  ASSERT_EQ(::stat(QFile::encodeName(dir.File("Config.cfg")).constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_TRUE(messages.empty());
}

class MainWindowTraditional : public MainWindow {
 protected:
  MainWindowTraditional() : MainWindow("950") {}
};

TEST_F(MainWindowTraditional, PartialConfigEmptiesEditsAndZeroesTheRest) {
  dir.Write("Config.cfg", "[Set]\r\nIPAddrEd=10.0.0.5\r\n");
  Start();
  EXPECT_EQ(form->Text("IPAddrEd"), "10.0.0.5");
  for (const char* edit : {"IPPortEd", "IdEd", "PP3IDEd", "NewIPAddrEd", "edKcid",
                           "WuxianPrinterIPEdit", "edt_WiFi_Ip"}) {
    EXPECT_EQ(form->Text(edit), "") << edit;
  }
  EXPECT_EQ(form->Value("LabelProbeEd"), 0);
  EXPECT_EQ(form->Value("DensityEd"), 0);
  EXPECT_EQ(form->Text("se1"), "30") << "0 is clamped into 30..900";
  for (const char* list :
       {"PortCB", "BaudRateCB", "EthCB", "DefBaudRateCB", "cbb_wifi_keyType", "cbb_wifi_link",
        "cbb_safetype", "cbbsort", "cbbJianFan", "cb_alert", "cb_codepage"}) {
    EXPECT_EQ(form->ItemIndex(list), 0) << list;
  }
  EXPECT_EQ(form->ItemIndex("cb_Lng"), 1) << "the detected language wins over the file";
}

TEST_F(MainWindow, SavedMinusOneAndUnknownIndexesLeaveNoSelection) {
  dir.Write("Config.cfg", "[Set]\r\nPortCB=-1\r\nEthCB=99\r\nDefBaudRateCB=-1\r\nse1=5000\r\n");
  Start();
  EXPECT_EQ(form->ItemIndex("PortCB"), -1);
  EXPECT_EQ(form->ItemIndex("EthCB"), -1);
  EXPECT_EQ(form->ItemIndex("DefBaudRateCB"), -1);
  EXPECT_EQ(form->Value("se1"), 900);
}

// Config.cfg as some editors write it (with a byte-order mark): every saved choice survives the
// language step of the start and a later change of language, the serial port is found by its
// name, and the exit writes the same values back under one [Set].
TEST_F(MainWindow, SavedChoicesSurviveTheStartTheLanguageAndTheExit) {
  dir.Write("Config.cfg",
            "\xEF\xBB\xBF[Set]\r\nIPAddrEd=127.0.0.1\r\nPortCB=7\r\nPortName=COM3\r\ncb_alert=2\r\n"
            "cb_codepage=5\r\ncbbsort=1\r\ncbbJianFan=2\r\n");
  Start();
  EXPECT_EQ(form->Text("IPAddrEd"), "127.0.0.1");
  EXPECT_EQ(form->Text("PortCB"), "COM3") << "by its name, whatever the index says";
  const std::pair<const char*, int> kept[] = {
      {"cb_alert", 2}, {"cb_codepage", 5}, {"cbbsort", 1}, {"cbbJianFan", 2}};
  for (const auto& [list, index] : kept)
    EXPECT_EQ(form->ItemIndex(list), index) << list;
  Choose("cb_Lng", 2);  // English
  for (const auto& [list, index] : kept) {
    EXPECT_EQ(form->ItemIndex(list), index) << list;
    EXPECT_EQ(form->Text(list), form->Items(list).value(index)) << list;
  }
  Exit();
  EXPECT_EQ(dir.Read("Config.cfg").count("[Set]"), 1);
  const platform::IniFile saved(dir.File("Config.cfg"));
  for (const auto& [list, index] : kept)
    EXPECT_EQ(saved.ReadInteger("Set", list, -9), index) << list;
  EXPECT_EQ(saved.ReadString("Set", "PortCB", ""), "2");
  EXPECT_EQ(saved.ReadString("Set", "PortName", ""), "COM3");

  // An adapter that is not plugged in now selects nothing rather than whatever took its place.
  dir.Write("Config.cfg", "[Set]\r\nPortCB=2\r\nPortName=/dev/ttyUSB-unplugged\r\n");
  HeadlessMainForm headless;
  headless.StartUp();
  EXPECT_EQ(headless.ItemIndex("PortCB"), -1);
}

// A logout or kill saves the settings: the window closes as by its close box, after cancelling
// an operation that runs.
TEST_F(MainWindow, TerminationSignalsCloseTheWindowAsTheCloseBoxDoes) {
  Start();
  CloseOnTerminationSignals(form.get());
  auto closes = [this] {
    const platform::Deadline deadline = platform::Deadline::In(10000);
    while (form->isVisible() && !deadline.Expired())
      platform::DelayMs(10);
    return !form->isVisible();
  };
  form->show();
  std::raise(SIGTERM);
  EXPECT_TRUE(closes());

  form->show();
  progress->OnBeep = [] {};
  progress->Show();  // as an operation opens it
  ASSERT_FALSE(form->isEnabled());
  std::raise(SIGHUP);
  EXPECT_TRUE(closes());
  EXPECT_EQ(progress->State(), psClosed) << "cancelled as with its Cancel button";
  EXPECT_TRUE(form->Comm->Failed()) << "the running transaction was aborted";
}

TEST_F(MainWindow, FailedSaveIsReportedAndTheProgramStillEnds) {
  QDir().mkpath(dir.File("Config.cfg"));  // a directory stands where the file goes
  Start();
  Exit();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].first, platform::MessageKind::Warning);
  EXPECT_TRUE(messages[0].second.contains("could not be saved"))
      << messages[0].second.toStdString();
}

TEST_F(MainWindow, ProgressCancelAbortsTheSessionAndReenablesTheWindow) {
  Start();
  progress->OnBeep = [] {};
  progress->Show();
  EXPECT_FALSE(form->isEnabled());
  ASSERT_FALSE(form->Comm->Failed());
  progress->CancelBtn->click();
  EXPECT_TRUE(form->Comm->Failed());
  EXPECT_TRUE(form->isEnabled());
}

TEST_F(MainWindow, ButtonColumnIsTestParametersDrawerExit) {
  Start();
  EXPECT_FALSE(form->Visible("UpdateProgramBtn"));
  EXPECT_FALSE(form->Visible("DownloadDataBtn"));
  EXPECT_EQ(Top("TestBtn"), 5);
  EXPECT_EQ(Top("DownloadParamBtn"), 34);
  EXPECT_EQ(Top("btnOpenDrawer"), 66);
  EXPECT_EQ(Top("ExitBtn"), 99);
  for (const char* hidden : {"Label7", "LabelHeightEd", "Label6", "DensityEd", "LabelModeCB",
                             "Label1", "DefBaudRateCB", "txt1", "edt_wifi_Mac", "cbb_safetype"}) {
    EXPECT_FALSE(form->Visible(hidden)) << hidden;
  }
}

// Every group sits 10 px below the previous one, the check boxes beside theirs, and the window
// ends 40 px below the WiFi group.
void ExpectStacked(TMainForm& form) {
  const char* groups[] = {"grpEthernet", "grpCOM", "GroupBox4", "grp2", "grp1", "grp3"};
  int top = form.Bounds("GroupBox2").bottom() + 1 + 10;
  for (const char* g : groups) {
    EXPECT_EQ(form.Bounds(g).top(), top) << g;
    top = form.Bounds(g).bottom() + 1 + 10;
  }
  EXPECT_EQ(form.Bounds("chkBT").top(), form.Bounds("GroupBox4").top() + 10);
  EXPECT_EQ(form.Bounds("chkRadio").top(), form.Bounds("grp2").top() + 15);
  EXPECT_EQ(form.ClientHeight(), form.Bounds("grp3").bottom() + 1 + 40);
}

TEST_F(MainWindow, ServiceKeysRevealRowsAndRestackTheGroups) {
  Start();
  ExpectStacked(*form);
  EXPECT_EQ(Height("GroupBox2"), 45);
  const int ethTop = Top("grpEthernet");
  const int wifiTop = Top("grp3");
  const int windowHeight = form->ClientHeight();

  QTest::keyClick(form.get(), Qt::Key_F4, kCtrlAlt);
  EXPECT_TRUE(form->Visible("PP3IDLBL") && form->Visible("PP3IDEd"));
  EXPECT_EQ(Height("GroupBox2"), 105);
  EXPECT_EQ(Top("grpEthernet"), ethTop + 60);
  EXPECT_EQ(Top("grp3"), wifiTop + 60);
  EXPECT_EQ(form->ClientHeight(), windowHeight + 60);
  ExpectStacked(*form);

  QTest::keyClick(form.get(), Qt::Key_F3, kCtrlAlt);
  EXPECT_TRUE(form->Visible("LabelProbeEd"));
  EXPECT_EQ(Height("GroupBox2"), 105) << "row 1 lies above the revealed row 2";

  // A reveal of a visible row returns before the stacking: a displaced group stays displaced.
  QRect displaced = form->Bounds("grp3");
  displaced.translate(0, 7);
  form->SetBounds("grp3", displaced);
  Press(Qt::Key_F4, kCtrlAlt);
  EXPECT_EQ(Height("GroupBox2"), 105);
  EXPECT_EQ(form->Bounds("grp3"), displaced);

  // Without Alt nothing is revealed, but the groups are stacked again.
  Press(Qt::Key_F10, Qt::ControlModifier);
  EXPECT_FALSE(form->Visible("cbbsort"));
  ExpectStacked(*form);

  QTest::keyClick(form.get(), Qt::Key_F10, kCtrlAlt);
  for (const char* name : {"Label4", "cbbsort", "Label8", "cbbJianFan", "chkClear"})
    EXPECT_TRUE(form->Visible(name)) << name;
  EXPECT_EQ(Height("GroupBox2"), 135);
  ExpectStacked(*form);
  EXPECT_TRUE(form->ReadWindow().printTypeRowsVisible);
  EXPECT_TRUE(form->ReadWindow().machineNoRowVisible);
}

// Desktops switch consoles on Ctrl+Alt+F-keys, so the window never sees them there: Ctrl+Shift
// reveals the same rows. Shift without Ctrl does not.
TEST_F(MainWindow, ControlShiftRevealsTheServiceRowsToo) {
  Start();
  constexpr auto kCtrlShift = Qt::ControlModifier | Qt::ShiftModifier;
  QTest::keyClick(form.get(), Qt::Key_F3, Qt::ShiftModifier);
  QTest::keyClick(form.get(), Qt::Key_F4, Qt::ShiftModifier | Qt::AltModifier);
  EXPECT_FALSE(form->Visible("LabelProbeEd"));
  EXPECT_FALSE(form->Visible("PP3IDEd"));
  QTest::keyClick(form.get(), Qt::Key_F3, kCtrlShift);
  EXPECT_TRUE(form->Visible("LabelProbeLBL") && form->Visible("LabelProbeEd"));
  QTest::keyClick(form.get(), Qt::Key_F4, kCtrlShift);
  EXPECT_TRUE(form->Visible("PP3IDLBL") && form->Visible("PP3IDEd"));
  QTest::keyClick(form.get(), Qt::Key_F10, kCtrlShift | Qt::AltModifier);
  EXPECT_TRUE(form->ReadWindow().printTypeRowsVisible);
  EXPECT_EQ(Height("GroupBox2"), 135);
  ExpectStacked(*form);
}

TEST_F(MainWindow, FunctionKeysRunTheirOperations) {
  Start();
  // A malformed printer address: both operations run and refuse it before sending anything.
  form->SetText("IPAddrEd", "127.0.0");
  QTest::keyClick(form.get(), Qt::Key_F2);
  QTest::keyClick(form.get(), Qt::Key_F7);
  EXPECT_EQ(MessageTexts(), QStringList({"Invalid S/N", "Invalid S/N"}));
  QTest::keyClick(form.get(), Qt::Key_F5);  // the hidden buttons have no key
  QTest::keyClick(form.get(), Qt::Key_F6);
  EXPECT_EQ(messages.size(), 2u);
  form->show();
  QTest::keyClick(form.get(), Qt::Key_F9);
  EXPECT_FALSE(form->isVisible());
}

TEST_F(MainWindow, CloseBoxIsRefusedWhileAnOperationRuns) {
  Start();
  form->show();
  progress->Show();  // as an operation opens it: the window is disabled meanwhile
  EXPECT_FALSE(form->close());
  EXPECT_TRUE(form->isVisible());
  progress->CancelBtnClick();
  EXPECT_TRUE(form->close());
}

class MainWindowEnglish : public MainWindow {
 protected:
  MainWindowEnglish() : MainWindow("1252") {}
};

// Code page 1252 has no Chinese characters: typed into a field that is sent as text, one is
// refused at once, with the same message the operations give.
TEST_F(MainWindowEnglish, CharactersTheCodePageCannotHoldAreRefusedAsTyped) {
  Start();
  for (const char* field : {"edtlanyani", "edt_wifi_pass", "edt_wifi_ssid"}) {
    messages.clear();
    test::TypeText(form->Control(field), QStringLiteral("Café中"));
    EXPECT_EQ(form->Text(field), "Café") << field;
    platform::ProcessMessages();
    ASSERT_EQ(messages.size(), 1u) << field;
    EXPECT_EQ(messages[0].first, platform::MessageKind::Warning);
    EXPECT_EQ(messages[0].second, CodePageRefusal(field, QStringLiteral("中")));
    EXPECT_TRUE(messages[0].second.contains(field));
  }
}

// The group ends as far below its lowest row as it does below the code page alone: no empty band,
// and no two controls share a place.
void ExpectParamRowsPacked(TMainForm& form) {
  QWidget* group = form.Control("GroupBox2");
  std::vector<QWidget*> shown;
  for (QWidget* w : group->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    if (TForm::OwnVisible(w) && !w->objectName().isEmpty())
      shown.push_back(w);
  }
  int lowest = 0;
  for (QWidget* w : shown) {
    lowest = std::max(lowest, w->geometry().bottom() + 1);
    for (QWidget* other : shown) {
      EXPECT_TRUE(w == other || !w->geometry().intersects(other->geometry()))
          << w->objectName().toStdString() << " overlaps " << other->objectName().toStdString();
    }
  }
  const QRect codePage = form.Bounds("cb_codepage");
  EXPECT_EQ(group->height() - lowest, kParamGroupBaseHeight - (codePage.bottom() + 1));
}

TEST_F(MainWindowEnglish, RevealedRowsMoveUpThirtyPixels) {
  Start();
  const QRect designed = form->Bounds("PP3IDEd");
  QTest::keyClick(form.get(), Qt::Key_F4, kCtrlAlt);
  EXPECT_EQ(form->Bounds("PP3IDEd"), designed.translated(0, -30));
  EXPECT_EQ(Height("GroupBox2"), 75) << "row 2 sits on the line of row 1";
  ExpectParamRowsPacked(*form);
  QTest::keyClick(form.get(), Qt::Key_F3, kCtrlAlt);
  EXPECT_EQ(Height("GroupBox2"), 75) << "row 1 sits beside the code page";
  QTest::keyClick(form.get(), Qt::Key_F10, kCtrlAlt);
  EXPECT_EQ(Height("GroupBox2"), 105);
  ExpectParamRowsPacked(*form);
  ExpectStacked(*form);
}

TEST_F(MainWindow, ModeSelectionSwitchesTheEnabledGroup) {
  Start();
  auto* group = form->Control("CommRG");
  QTest::mouseClick(group->findChildren<QRadioButton*>().at(1), Qt::LeftButton);
  EXPECT_EQ(form->ItemIndex("CommRG"), 1);
  EXPECT_FALSE(form->Enabled("grpEthernet"));
  EXPECT_TRUE(form->Enabled("grpCOM"));
  QTest::mouseClick(group->findChildren<QRadioButton*>().at(0), Qt::LeftButton);
  EXPECT_TRUE(form->Enabled("grpEthernet"));
  EXPECT_FALSE(form->Enabled("grpCOM"));
}

TEST_F(MainWindow, BaudRateChoiceIsCopiedToTheDefaultRateAlsoByTheAlarmList) {
  Start();
  // The same rate, whose index is two less: the printer's list starts at 9600 and has no 2400 or
  // 4800 (no selection then).
  const std::pair<int, int> cases[] = {{0, -1}, {1, -1}, {2, 0}, {5, 3}, {6, 4}, {7, 5}};
  for (const auto& [chosen, copied] : cases) {
    Choose("BaudRateCB", chosen);
    EXPECT_EQ(form->ItemIndex("DefBaudRateCB"), copied) << chosen;
  }
  EXPECT_EQ(form->Text("DefBaudRateCB"), "460800");
  Choose("BaudRateCB", 6);  // "115200"
  Choose("cb_alert", 2);
  EXPECT_EQ(form->Text("DefBaudRateCB"), "115200");
  form->SetItemIndex("BaudRateCB", 1);  // restored, not chosen: no copy yet
  EXPECT_EQ(form->Text("DefBaudRateCB"), "115200");
  Choose("cb_alert", 0);
  EXPECT_EQ(form->ItemIndex("DefBaudRateCB"), -1);
}

TEST_F(MainWindow, AlarmIntervalTypedAboveMaximumIsSentAsMaximum) {
  Start();
  auto* se1 = static_cast<TSpinEdit*>(form->Control("se1"));
  se1->SetText(QString());
  QTest::keyClicks(se1, "1000");
  EXPECT_EQ(se1->text(), "1000") << "not corrected while typing";
  EXPECT_EQ(form->ReadWindow().alarmInterval, 900);
  EXPECT_EQ(se1->text(), "900");
  se1->SetText(QString());
  QTest::keyClicks(se1, "5");
  EXPECT_EQ(form->ReadWindow().alarmInterval, 5);
  QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
  QApplication::sendEvent(se1, &out);
  EXPECT_EQ(se1->text(), "30");
}

TEST_F(MainWindow, TextTypedIntoAnEditableListSelectsNothing) {
  Start();
  // Code page "3->..." chosen, then other text typed over it: the window still shows the list's
  // texts, but neither the snapshot nor Config.cfg may carry the earlier choice.
  Choose("cb_codepage", 3);
  Choose("cbbsort", 3);
  QComboBox* codePage = Combo("cb_codepage");
  codePage->lineEdit()->selectAll();
  QTest::keyClicks(codePage->lineEdit(), "abc");
  Combo("cbbsort")->lineEdit()->selectAll();
  QTest::keyClicks(Combo("cbbsort")->lineEdit(), "x");
  const OperationSettings s = form->ReadWindow();
  EXPECT_EQ(s.codePageIndex, -1);
  EXPECT_EQ(s.codePageText, "abc");
  EXPECT_EQ(s.printTypeIndex, -1);
  Choose("cbbJianFan", 1);  // a list item chosen still counts
  EXPECT_EQ(form->ReadWindow().printerLanguageIndex, 1);
  Exit();
  platform::IniFile saved(dir.File("Config.cfg"));
  EXPECT_EQ(saved.ReadInteger("Set", "cb_codepage", 99), -1);
  EXPECT_EQ(saved.ReadInteger("Set", "cbbsort", 99), -1);
  EXPECT_EQ(saved.ReadInteger("Set", "cbbJianFan", 99), 1);
}

TEST_F(MainWindow, MacFieldFormatsAsTypedButNeverOnBackspace) {
  Start();
  auto* mac = static_cast<QLineEdit*>(form->Control("edt_wifi_Mac"));
  mac->setEnabled(true);
  QTest::keyClicks(mac, "a1b2c3d4e5f6");
  EXPECT_EQ(mac->text(), "a1-b2-c3-d4-e5-f6");
  mac->setText("AABB");
  QTest::keyClick(mac, Qt::Key_Backspace);
  EXPECT_EQ(mac->text(), "AAB");
  mac->setText("AABB");
  mac->end(false);
  QTest::keyClick(mac, Qt::Key_C);
  EXPECT_EQ(mac->text(), "AA-BB-c");
}

TEST_F(MainWindow, BluetoothNameChecksCountBytes) {
  Start();
  auto* name = static_cast<QLineEdit*>(form->Control("edtlanyani"));
  const QString han(1, QChar(0x84DD));  // 蓝: two bytes in code page 936
  struct Case {
    QString text;
    QStringList onKeyUp;
    QStringList onLeave;
  };
  const Case cases[] = {
      {han.repeated(15), {}, {}},                            // 30 bytes
      {han.repeated(15) + "a", {}, {"Length > 30"}},         // 31 bytes
      {han.repeated(16), {"Length > 31"}, {"Length > 30"}},  // 32 bytes
      {QString(31, QLatin1Char('a')), {}, {"Length > 30"}},
  };
  for (const Case& c : cases) {
    name->setText(c.text);
    messages.clear();
    QTest::keyRelease(name, Qt::Key_End);
    EXPECT_EQ(MessageTexts(), c.onKeyUp) << c.text.toStdString();
    messages.clear();
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(name, &out);
    EXPECT_EQ(MessageTexts(), c.onLeave) << c.text.toStdString();
  }
  name->clear();
  test::TypeText(name, han.repeated(16));
  EXPECT_EQ(name->text(), han.repeated(15)) << "typing stops at 30 bytes";
}

TEST_F(MainWindow, TextsAreSavedInTheSystemCodePage) {
  Start();
  form->SetText("edt_wifi_ssid", QStringLiteral("打印机"));
  form->SetText("edt_wifi_pass", QStringLiteral("p=ss word"));
  Exit();
  platform::IniFile saved(dir.File("Config.cfg"));
  EXPECT_EQ(saved.ReadString("Set", "edt_wifi_ssid", {}), QByteArray("\xB4\xF2\xD3\xA1\xBB\xFA"));
  EXPECT_EQ(saved.ReadString("Set", "edt_wifi_pass", {}), "p=ss word");

  Start();
  EXPECT_EQ(form->Text("edt_wifi_ssid"), QStringLiteral("打印机"));
  EXPECT_EQ(form->Text("edt_wifi_pass"), "p=ss word");
}

// The command line starts from the same file, makes the same changes and must read the same.
TEST_F(MainWindow, HeadlessFormReadsTheSameSnapshotAsTheWindow) {
  dir.Write("Config.cfg",
            "[Set]\r\nIPAddrEd=10.1.2.3\r\nIPPortEd=6000\r\nPortCB=3\r\nBaudRateCB=4\r\n"
            "edtlanyani=abc\r\nse1=120\r\ncb_alert=2\r\ncbbsort=1\r\nedKcid=7\r\n"
            "LabelProbeEd=-9\r\nDefBaudRateCB=2\r\n");
  Start();
  HeadlessMainForm headless;
  headless.StartUp();
  EXPECT_EQ(headless.Snapshot(), form->ReadWindow());

  // Loopback first: nothing here may ever address a real printer.
  form->SetText("IPAddrEd", "127.0.0.1");
  ASSERT_EQ(headless.Set("IPAddrEd", "127.0.0.1"), "");
  Choose("BaudRateCB", 6);
  ASSERT_EQ(headless.Set("BaudRateCB", "6"), "");
  Choose("cb_alert", 3);
  ASSERT_EQ(headless.Set("cb_alert", "3"), "");
  Choose("cbb_wifi_link", 1);
  ASSERT_EQ(headless.Set("cbb_wifi_link", "1"), "");
  form->SetValue("LabelProbeEd", 4);
  ASSERT_EQ(headless.Set("LabelProbeEd", "4"), "");
  form->SetChecked("chkBT", true);
  ASSERT_EQ(headless.SetCheck("chkBT", true), "");
  QTest::keyClick(form.get(), Qt::Key_F10, kCtrlAlt);
  headless.Reveal(ServiceRow::PrintType);
  QTest::mouseClick(form->Control("CommRG")->findChildren<QRadioButton*>().at(1), Qt::LeftButton);
  headless.SelectMode(1);

  const OperationSettings fromWindow = form->ReadWindow();
  EXPECT_EQ(headless.Snapshot(), fromWindow);
  EXPECT_EQ(fromWindow.ipAddress, "127.0.0.1");
  EXPECT_EQ(fromWindow.commMode, 1);
  EXPECT_EQ(fromWindow.defBaudIndex, 4);  // "115200"
  EXPECT_EQ(fromWindow.alertIndex, 3);
  EXPECT_EQ(fromWindow.portName, "COM4");
  EXPECT_EQ(fromWindow.labelProbe, 4);
  EXPECT_TRUE(fromWindow.printTypeRowsVisible);
  EXPECT_EQ(headless.ClientHeight(), form->ClientHeight());
  EXPECT_EQ(headless.Bounds("grp3"), form->Bounds("grp3"));
}

}  // namespace
}  // namespace xv4
