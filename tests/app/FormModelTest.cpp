// The main window's rules on the form without widgets: what the command line relies on.

#include "appcore/FormModel.h"
#include "appcore/LanguageTexts.h"
#include "tests/app/AppFixture.h"

#include <QDir>
#include <QRandomGenerator>

namespace xv4 {
namespace {

class HeadlessForm : public test::AppFixture {};

TEST_F(HeadlessForm, StartsAsTheWindowDoesWithoutConfig) {
  HeadlessMainForm form;
  form.StartUp();
  OperationSettings s = form.Snapshot();
  EXPECT_EQ(s.commMode, 0);
  EXPECT_EQ(s.ipAddress, "192.168.1.7");
  EXPECT_EQ(s.ipPort, "5013");
  EXPECT_EQ(s.portName, "COM1");
  EXPECT_EQ(s.baudIndex, -1);
  EXPECT_EQ(s.machineId, "1234");
  EXPECT_EQ(s.defBaudIndex, 5);
  EXPECT_EQ(s.alarmInterval, 50);
  // The language step refills these four lists and selects again what they had: the alarm list's
  // design item, and nothing in the others (their design texts are no items).
  EXPECT_EQ(s.alertIndex, 0);
  EXPECT_EQ(s.codePageIndex, -1);
  EXPECT_EQ(s.codePageText, "");
  EXPECT_EQ(s.printTypeIndex, -1);
  EXPECT_EQ(s.printerLanguageIndex, -1);
  EXPECT_FALSE(s.machineNoRowVisible || s.labelProbeRowVisible || s.printTypeRowsVisible);
  EXPECT_EQ(form.ItemIndex("cb_Lng"), 0);
  EXPECT_TRUE(form.Enabled("grpEthernet"));
  EXPECT_FALSE(form.Enabled("grpCOM"));
}

TEST_F(HeadlessForm, SetTakesConfigKeysAndRefusesWhatTheWindowWouldNotTake) {
  HeadlessMainForm form;
  form.StartUp();
  struct Case {
    const char* key;
    QString value;
    bool ok;
  };
  const Case cases[] = {
      {"IPAddrEd", "127.0.0.1", true},
      {"NoSuchKey", "1", false},
      {"ExitBtn", "1", false},  // not a setting
      {"PortCB", "8", false},   // only COM1..COM8 on a machine without adapters
      {"PortCB", "x", false},
      {"PortCB", "-1", false},
      {"EthCB", "1", true},
      {"edKcid", "123", false},  // two bytes at most
      {"edKcid", "12", true},
      {"edtlanyani", QString(15, QChar(0x4E2D)), true},   // 30 bytes
      {"edtlanyani", QString(16, QChar(0x4E2D)), false},  // 32 bytes
      {"se1", "abc", false},
      {"se1", "5", true},
  };
  for (const Case& c : cases) {
    if (QString::fromLatin1(c.key) == "PortCB" && form.Items("PortCB").size() > 8)
      continue;  // this machine has USB adapters
    EXPECT_EQ(form.Set(c.key, c.value).isEmpty(), c.ok) << c.key << " " << c.value.toStdString();
  }
  EXPECT_EQ(form.Text("edKcid"), "12");
  EXPECT_EQ(form.Value("se1"), 30) << "a set value is clamped as on leaving the field";
  EXPECT_NE(form.SetCheck("ExitBtn", true), "");
  EXPECT_EQ(form.SetCheck("chkRadio", true), "");
  EXPECT_TRUE(form.Snapshot().radioChecked);
}

TEST_F(HeadlessForm, ChangeHandlersRunAsForTheUser) {
  HeadlessMainForm form;
  form.StartUp();
  // The printer's default speed follows the connection speed by rate: its list starts at 9600.
  ASSERT_EQ(form.Set("BaudRateCB", "2"), "");  // "9600"
  EXPECT_EQ(form.Text("DefBaudRateCB"), "9600");
  ASSERT_EQ(form.Set("BaudRateCB", "6"), "");  // "115200"
  EXPECT_EQ(form.Text("DefBaudRateCB"), "115200");
  form.SetItemIndex("BaudRateCB", 1);  // no handler: as a restored setting
  EXPECT_EQ(form.Text("DefBaudRateCB"), "115200");
  ASSERT_EQ(form.Set("cb_alert", "2"), "");  // the alarm list shares the handler
  EXPECT_EQ(form.ItemIndex("DefBaudRateCB"), -1) << "4800 is not in the printer's list";

  ASSERT_EQ(form.Set("cb_Lng", "2"), "");
  EXPECT_EQ(MessageText(Msg::CommTestOk), "Communication test succeeded!");
  EXPECT_EQ(form.Items("cb_alert").first(), "Flash and beep");
  EXPECT_EQ(form.ItemIndex("cb_alert"), 2) << "a new language keeps the choice";
  EXPECT_EQ(form.ItemIndex("cb_Lng"), 2);
}

TEST_F(HeadlessForm, SnapshotBringsAlarmIntervalBackToItsMaximum) {
  HeadlessMainForm form;
  form.StartUp();
  form.SetText("se1", "1000");  // typed, focus not yet left
  EXPECT_EQ(form.Snapshot().alarmInterval, 900);
  EXPECT_EQ(form.Text("se1"), "900");
  form.SetText("se1", "5");  // only the upper limit is enforced here
  EXPECT_EQ(form.Snapshot().alarmInterval, 5);
  form.SetText("se1", "x");
  EXPECT_EQ(form.Snapshot().alarmInterval, 30);
}

TEST_F(HeadlessForm, PrintTypeRowsCountOnlyWhenAllThreeControlsShow) {
  HeadlessMainForm form;
  form.StartUp();
  EXPECT_TRUE(form.Reveal(ServiceRow::PrintType));
  EXPECT_FALSE(form.Reveal(ServiceRow::PrintType));
  EXPECT_TRUE(form.Snapshot().printTypeRowsVisible);
  form.SetVisible("chkClear", false);
  EXPECT_FALSE(form.Snapshot().printTypeRowsVisible);
}

// Random bytes as a value: digits, signs, blanks, code-page bytes and anything else.
QByteArray RandomValue(QRandomGenerator& rng) {
  static const char kShaped[] = "0123456789-+ \t=[]";
  QByteArray v(static_cast<qsizetype>(rng.bounded(0, rng.bounded(8) == 0 ? 400 : 14)), '\0');
  for (char& c : v) {
    c = rng.bounded(2) == 0 ? static_cast<char>(rng.bounded(256))
                            : kShaped[rng.bounded(static_cast<int>(sizeof kShaped - 1))];
  }
  if (rng.bounded(10) == 0)
    v = QByteArray::number(static_cast<qint64>(rng.generate64()));
  return v;
}

// A damaged or hand-edited Config.cfg of any content starts the form without a crash, and every
// list keeps a selection it has.
TEST_F(HeadlessForm, ArbitraryConfigFileStartsTheFormSafely) {
  QRandomGenerator rng(4242);
  const QStringList keys = SettingKeys();
  for (int round = 0; round < 150; ++round) {
    QByteArray content = rng.bounded(4) == 0 ? QByteArray() : QByteArray("[Set]\r\n");
    const int lines = static_cast<int>(rng.bounded(0, 40));
    for (int i = 0; i < lines; ++i) {
      switch (rng.bounded(6)) {
        case 0:
          content += RandomValue(rng) + "\n";
          break;
        case 1:
          content += "[" + RandomValue(rng) + "]\r\n";
          break;
        default:
          content += keys[rng.bounded(static_cast<int>(keys.size()))].toLatin1() + "=" +
                     RandomValue(rng) + (rng.bounded(2) ? "\r\n" : "\n");
          break;
      }
    }
    ASSERT_TRUE(dir.Write("Config.cfg", content));
    HeadlessMainForm form;
    form.StartUp();
    const OperationSettings s = form.Snapshot();
    EXPECT_LE(s.alarmInterval, FindControl("se1")->maxValue);
    for (const ControlDef& d : MainFormControls()) {
      if (!d.items.isEmpty()) {
        const QString name = QString::fromLatin1(d.name);
        const int index = form.ItemIndex(name);
        EXPECT_TRUE(index >= -1 && index < form.Items(name).size())
            << d.name << " " << index << " in round " << round;
      }
    }
  }
}

TEST(MacText, DashAfterEverySecondCharacterCutTo17) {
  const std::pair<const char*, const char*> cases[] = {
      {"AABBCCDDEEFF", "AA-BB-CC-DD-EE-FF"},
      {"AABB", "AA-BB-"},
      {"", ""},
      {"A", "A"},
      {"AA-BB-C", "AA-BB-C"},
      {"a1b2c3d4e5f6a7", "a1-b2-c3-d4-e5-f6"},
      {"--", ""},
  };
  for (const auto& [in, out] : cases)
    EXPECT_EQ(FormatMacText(QString::fromLatin1(in)), QString::fromLatin1(out)) << in;
}

TEST(PortList, ComPortsFirstThenAdaptersInNaturalOrder) {
  QTemporaryDir dev;
  for (const char* name : {"ttyUSB10", "ttyUSB2", "ttyACM0", "ttyS0", "null"}) {
    QFile f(dev.path() + "/" + name);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  }
  const QStringList items = SerialPortItems(dev.path());
  const QString d = QDir(dev.path()).absolutePath() + "/";
  EXPECT_EQ(items, QStringList({"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8",
                                d + "ttyACM0", d + "ttyUSB2", d + "ttyUSB10"}));
}

}  // namespace
}  // namespace xv4
