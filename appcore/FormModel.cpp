#include "appcore/FormModel.h"

#include "appcore/LanguageTexts.h"
#include "platform/AppDir.h"
#include "platform/CodePage.h"
#include "platform/IniFile.h"
#include "platform/MessageBox.h"
#include "transport/SerialPorts.h"
#include "widgets/SpinValue.h"

#include <QFileInfo>
#include <Qt>

#include <algorithm>
#include <iterator>
#include <optional>
#include <stdexcept>

namespace xv4 {
namespace {

QString S(const char* utf8) {
  return QString::fromUtf8(utf8);
}

// The left column of groups and the right column of buttons.
constexpr int kGroupWidth = 500, kRightColumn = 516, kRightWidth = 156;

ControlDef Def(const char* name, ControlKind kind, const char* parent, QRect bounds,
               const char* text = "") {
  ControlDef d{};
  d.name = name;
  d.kind = kind;
  d.parent = parent;
  d.bounds = bounds;
  d.text = text;
  return d;
}

ControlDef Button(const char* name, int top, const char* text, bool visible = true) {
  ControlDef d =
      Def(name, ControlKind::SpeedButton, nullptr, QRect(kRightColumn, top, kRightWidth, 27), text);
  d.visible = visible;
  return d;
}

ControlDef Label(const char* name, const char* parent, QRect bounds, const char* text,
                 bool visible = true) {
  ControlDef d = Def(name, ControlKind::Label, parent, bounds, text);
  d.visible = visible;
  return d;
}

ControlDef Edit(const char* name, const char* parent, QRect bounds, const char* text,
                int maxLength = 0, bool visible = true) {
  ControlDef d = Def(name, ControlKind::Edit, parent, bounds, text);
  d.maxLength = maxLength;
  d.visible = visible;
  return d;
}

ControlDef List(const char* name, const char* parent, QRect bounds, QStringList items,
                int itemIndex, bool visible = true) {
  ControlDef d = Def(name, ControlKind::DropDownList, parent, bounds);
  d.items = std::move(items);
  d.itemIndex = itemIndex;
  d.visible = visible;
  return d;
}

ControlDef Combo(const char* name, const char* parent, QRect bounds, QStringList items,
                 const char* text, bool visible = true) {
  ControlDef d = Def(name, ControlKind::EditableCombo, parent, bounds, text);
  d.items = std::move(items);
  d.visible = visible;
  return d;
}

ControlDef Spin(const char* name, const char* parent, QRect bounds, int value, int minValue,
                int maxValue, int maxLength = 0, bool visible = true) {
  ControlDef d = Def(name, ControlKind::SpinEdit, parent, bounds);
  d.value = value;
  d.minValue = minValue;
  d.maxValue = maxValue;
  d.maxLength = maxLength;
  d.visible = visible;
  return d;
}

ControlDef Check(const char* name, const char* parent, QRect bounds, const char* text,
                 bool visible = true) {
  ControlDef d = Def(name, ControlKind::CheckBox, parent, bounds, text);
  d.visible = visible;
  return d;
}

ControlDef Group(const char* name, QRect bounds, const char* text, bool enabled = true) {
  ControlDef d = Def(name, ControlKind::GroupBox, nullptr, bounds, text);
  d.enabled = enabled;
  return d;
}

// Rows inside the groups: a label column and a field column on the left, a second pair on the
// right; rows 30 px apart.
constexpr int kLabelA = 10, kFieldA = 130, kLabelB = 262, kFieldB = 374;
QRect LabelAt(int x, int row, int width) {
  return QRect(x, 22 + 30 * row, width, 16);
}
QRect FieldAt(int x, int row, int width) {
  return QRect(x, 19 + 30 * row, width, 22);
}

std::vector<ControlDef> BuildControls() {
  const QStringList baudRates = {"2400",  "4800",  "9600",   "19200",
                                 "38400", "57600", "115200", "460800"};
  const QStringList defBaudRates = {"9600", "19200", "38400", "57600", "115200", "460800"};
  constexpr const char* kGb2 = "GroupBox2";
  std::vector<ControlDef> c;

  // The button column, as designed; FormCreate closes the gaps of the two hidden buttons.
  c.push_back(Button("UpdateProgramBtn", 34, "下载程序(F5)"));
  c.push_back(Button("ExitBtn", 165, "退出(F9)"));
  c.push_back(Button("DownloadDataBtn", 66, "下载数据(F6)"));
  c.push_back(Button("TestBtn", 5, "通讯测试(F2)"));
  c.push_back(Button("DownloadParamBtn", 99, "下载参数(F7)"));
  c.push_back(Button("btnOpenDrawer", 132, "开钱箱"));
  c.push_back(Label("Label9", nullptr, QRect(kRightColumn, 140, kRightWidth, 16), "Language"));

  ControlDef commRG =
      Def("CommRG", ControlKind::RadioGroup, nullptr, QRect(8, 4, kGroupWidth, 76), "通讯");
  commRG.items = {"TCP/IP", "RS232"};
  commRG.itemIndex = 0;
  c.push_back(commRG);
  c.push_back(Edit("IPAddrEd", nullptr, QRect(196, 22, 120, 22), "192.168.1.7"));
  c.push_back(Edit("IPPortEd", nullptr, QRect(440, 22, 64, 22), "5013"));
  c.push_back(List("PortCB", nullptr, QRect(100, 50, 110, 22),
                   {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8"}, 0));
  c.push_back(List("BaudRateCB", nullptr, QRect(262, 50, 80, 22), baudRates, -1));
  // The caption of the speed list (created after it, so that the key order of Config.cfg and of
  // the language files keeps the lists where they were).
  c.push_back(Label("BaudRateLBL", nullptr, QRect(214, 53, 46, 16), "波特率:"));
  c.push_back(Edit("IdEd", nullptr, QRect(440, 50, 64, 22), "1234"));

  c.push_back(Group(kGb2, QRect(8, 88, kGroupWidth, kParamGroupBaseHeight), "参数"));
  // Service rows 1 and 2 sit in the right half, row 3 across the group: moved 30 px up (the
  // English layout), row 1 lands beside the code-page row and the others one row higher.
  c.push_back(Label("PP3IDLBL", kGb2, LabelAt(kLabelB, 2, 110), "机号:", false));
  c.push_back(Edit("PP3IDEd", kGb2, FieldAt(kFieldB, 2, 116), "12345678", 0, false));
  c.push_back(Label("Label7", kGb2, LabelAt(kLabelA, 4, 118), "标签高度:"));
  c.push_back(Edit("LabelHeightEd", kGb2, FieldAt(kFieldA, 4, 60), "210"));
  c.push_back(Check("LabelModeCB", kGb2, QRect(kLabelB, 141, 180, 18), "标签打印机模式"));
  c.push_back(Label("LabelProbeLBL", kGb2, LabelAt(kLabelB, 1, 110), "检查点:", false));
  c.push_back(Spin("LabelProbeEd", kGb2, FieldAt(kFieldB, 1, 64), 0, -5, 5, 0, false));
  c.push_back(Label("Label6", kGb2, LabelAt(kLabelA, 5, 118), "浓度:"));
  c.push_back(Spin("DensityEd", kGb2, FieldAt(kFieldA, 5, 50), 0, 0, 9, 1));
  // The printer-type row packs three fields; it has positions of its own.
  c.push_back(Label("Label4", kGb2, LabelAt(kLabelA, 3, 78), "打印机类型:", false));
  c.push_back(Combo("cbbsort", kGb2, FieldAt(90, 3, 118),
                    {"中速xv4", "高速xv4", "中速xr4", "高速xr4"}, "中速xv4", false));
  c.push_back(Label("Label8", kGb2, LabelAt(216, 3, 58), "语言:", false));
  c.push_back(
      Combo("cbbJianFan", kGb2, FieldAt(276, 3, 84), {"简体", "繁体", "English"}, "简体", false));
  c.push_back(Check("chkClear", kGb2, QRect(368, 21 + 30 * 3, 128, 18), "清维修参数    ", false));
  c.push_back(Label("lb_codepage", kGb2, LabelAt(kLabelA, 0, 118), "代码页:"));
  c.push_back(Combo("cb_codepage", kGb2, FieldAt(kFieldA, 0, 120),
                    {"0->英文", "1->葡萄牙文", "2->希伯来文", "3->俄罗斯文", "4->罗马尼亚文",
                     "5->伊朗文", "6->阿拉伯文", "7->越南文", "8->土耳其文", "9->西班牙文",
                     "10->英文", "11->阿拉伯文", "12->亚美尼亚文"},
                    "0->英文"));

  c.push_back(Group("grpEthernet", QRect(8, 143, kGroupWidth, 50), "Ethernet"));
  c.push_back(Label("Label3", "grpEthernet", LabelAt(kLabelA, 0, 118), "新IP地址:"));
  c.push_back(Edit("NewIPAddrEd", "grpEthernet", FieldAt(kFieldA, 0, 120), "192.168.1.7"));
  c.push_back(Label("Label2", "grpEthernet", LabelAt(kLabelB, 0, 110), "以太网:"));
  c.push_back(List("EthCB", "grpEthernet", FieldAt(kFieldB, 0, 116), {"10M", "100M"}, 0));

  c.push_back(Group("GroupBox4", QRect(8, 263, kGroupWidth, 50), "BT"));
  c.push_back(Label("lbllanya", "GroupBox4", LabelAt(kLabelA, 0, 118), "蓝牙昵称:"));
  c.push_back(Edit("edtlanyani", "GroupBox4", FieldAt(kFieldA, 0, 240), "", kBtNameExitLimit));

  c.push_back(Group("grp2", QRect(8, 323, kGroupWidth, 80), "无线"));
  c.push_back(Label("Label12", "grp2", LabelAt(kLabelA, 0, 118), "无线打印机IP:"));
  c.push_back(Edit("WuxianPrinterIPEdit", "grp2", FieldAt(kFieldA, 0, 120), "192.168.1.9"));
  c.push_back(Label("Label13", "grp2", LabelAt(kLabelB, 0, 110), "基站IP:"));
  c.push_back(Edit("BaseIPEdit", "grp2", FieldAt(kFieldB, 0, 116), "192.168.1.10"));
  c.push_back(Label("Label14", "grp2", LabelAt(kLabelA, 1, 118), "无线打印机机号:"));
  c.push_back(Edit("WuxianPrinterIDEdit", "grp2", FieldAt(kFieldA, 1, 120), "1234"));

  c.push_back(Group("grpCOM", QRect(8, 203, kGroupWidth, 50), "COM", false));
  c.push_back(Label("Label1", "grpCOM", LabelAt(kLabelB, 0, 110), "波特率:"));
  c.push_back(List("DefBaudRateCB", "grpCOM", FieldAt(kFieldB, 0, 116), defBaudRates, 5));
  c.push_back(Label("Label5", "grpCOM", LabelAt(kLabelA, 0, 118), "厨房打印机号:"));
  c.push_back(Edit("edKcid", "grpCOM", FieldAt(kFieldA, 0, 40), "1", 2));
  c.push_back(Check("chkBT", nullptr, QRect(kRightColumn, 273, kRightWidth, 18), "蓝牙"));
  c.push_back(Check("chkRadio", nullptr, QRect(kRightColumn, 338, kRightWidth, 18), "无线"));

  c.push_back(Group("grp1", QRect(8, 413, kGroupWidth, 80), "警报设置"));
  c.push_back(Label("lbl3", "grp1", LabelAt(kLabelA, 0, 118), "警报类型:"));
  ControlDef alert = List("cb_alert", "grp1", FieldAt(kFieldA, 0, 180),
                          {"闪灯且警报", "闪灯不警报", "不闪灯警报", "不闪灯不警报"}, 0);
  c.push_back(alert);
  c.push_back(Label("lbl1", "grp1", LabelAt(kLabelA, 1, 118), "间隔时间:"));
  c.push_back(Spin("se1", "grp1", FieldAt(kFieldA, 1, 70), 50, 30, 900));
  c.push_back(Label("lbl2", "grp1", QRect(208, 52, 200, 16), "单位(100毫秒)"));

  c.push_back(Group("grp3", QRect(8, 503, kGroupWidth, 110), "WIFI设置"));
  c.push_back(Label("Label11", "grp3", LabelAt(kLabelA, 0, 118), "IP地址:"));
  c.push_back(Edit("edt_WiFi_Ip", "grp3", FieldAt(kFieldA, 0, 120), "192.168.1.7", 15));
  ControlDef txt1 =
      Def("txt1", ControlKind::StaticText, "grp3", LabelAt(kLabelB, 0, 110), "MAC地址:");
  txt1.visible = false;
  txt1.enabled = false;
  c.push_back(txt1);
  ControlDef mac = Edit("edt_wifi_Mac", "grp3", FieldAt(kFieldB, 0, 116), "", 17, false);
  mac.enabled = false;
  c.push_back(mac);
  c.push_back(Label("Label17", "grp3", LabelAt(kLabelA, 1, 118), "密码:"));
  c.push_back(Edit("edt_wifi_pass", "grp3", FieldAt(kFieldA, 1, 120), "", 13));
  c.push_back(Label("Label10", "grp3", LabelAt(kLabelB, 1, 110), "keyType:"));
  c.push_back(
      List("cbb_wifi_keyType", "grp3", FieldAt(kFieldB, 1, 116), {"short key", "long key"}, 0));
  c.push_back(Label("Label16", "grp3", LabelAt(kLabelA, 2, 118), "SSID:"));
  c.push_back(Edit("edt_wifi_ssid", "grp3", FieldAt(kFieldA, 2, 120), "", 32));
  c.push_back(Label("Label15", "grp3", LabelAt(kLabelB, 2, 110), "Link Mode:"));
  c.push_back(
      List("cbb_wifi_link", "grp3", FieldAt(kFieldB, 2, 116), {"Adhoc", "Infrastructure"}, 0));
  c.push_back(Label("Label18", "grp3", LabelAt(kLabelA, 3, 118), "安全类型:", false));
  c.push_back(List("cbb_safetype", "grp3", FieldAt(kFieldA, 3, 120), {"Open System", "Share Key"},
                   0, false));

  c.push_back(List("cb_Lng", nullptr, QRect(kRightColumn, 158, kRightWidth, 22),
                   {"简体", "繁体", "English"}, 0));
  c.push_back(
      Def("StaticText3", ControlKind::StaticText, nullptr, QRect(390, 53, 48, 16), "机号:"));
  c.push_back(
      Def("StaticText2", ControlKind::StaticText, nullptr, QRect(390, 25, 48, 16), "端口:"));
  c.push_back(
      Def("StaticText1", ControlKind::StaticText, nullptr, QRect(140, 25, 54, 16), "IP地址:"));
  c.push_back(Def("OpenDialog1", ControlKind::OpenDialog, nullptr, QRect()));
  c.push_back(Def("tcpclient1", ControlKind::TcpClient, nullptr, QRect()));
  return c;
}

// The rows that the service keys reveal, by row number.
QStringList RowControls(ServiceRow row) {
  switch (row) {
    case ServiceRow::LabelProbe:
      return {"LabelProbeLBL", "LabelProbeEd"};
    case ServiceRow::MachineNo:
      return {"PP3IDLBL", "PP3IDEd"};
    case ServiceRow::PrintType:
      return {"Label4", "cbbsort", "Label8", "cbbJianFan", "chkClear"};
  }
  return {};
}

int Bottom(const FormAccess& form, const QString& name) {
  const QRect r = form.Bounds(name);
  return r.top() + r.height();
}

void MoveTop(FormAccess& form, const QString& name, int top) {
  QRect r = form.Bounds(name);
  r.moveTop(top);
  form.SetBounds(name, r);
}

// PortCB's index means the same port only for COM1..COM8: the adapters after them are listed as
// they are plugged in. The port's name is kept beside the index, and selects it when present;
// a saved adapter that is not there now selects nothing rather than another device.
void ExchangePortName(FormAccess& form, platform::IniFile& ini, bool load) {
  const QByteArray key = "PortName";
  if (!load) {
    ini.WriteString("Set", key, platform::ToAnsi(form.Text("PortCB")));
    return;
  }
  const QString name = platform::FromAnsi(ini.ReadString("Set", key, {}));
  if (!name.isEmpty())
    form.SetItemIndex("PortCB", static_cast<int>(form.Items("PortCB").indexOf(name)));
}

}  // namespace

bool IsInputKind(ControlKind kind) {
  return kind == ControlKind::Edit || kind == ControlKind::SpinEdit || IsComboKind(kind);
}

bool IsComboKind(ControlKind kind) {
  return kind == ControlKind::DropDownList || kind == ControlKind::EditableCombo;
}

const std::vector<ControlDef>& MainFormControls() {
  static const std::vector<ControlDef> controls = BuildControls();
  return controls;
}

const ControlDef* FindControl(const QString& name) {
  for (const ControlDef& d : MainFormControls()) {
    if (name == QLatin1String(d.name))
      return &d;
  }
  return nullptr;
}

QStringList SettingKeys() {
  QStringList keys;
  for (const ControlDef& d : MainFormControls()) {
    if (IsInputKind(d.kind))
      keys << QString::fromLatin1(d.name);
  }
  return keys;
}

QString CanonicalSettingKey(const QString& key) {
  for (const ControlDef& d : MainFormControls()) {
    if (IsInputKind(d.kind) && key.compare(QLatin1String(d.name), Qt::CaseInsensitive) == 0)
      return QString::fromLatin1(d.name);
  }
  return {};
}

QString ConfigFilePath() {
  return platform::ApplicationDir() + QStringLiteral("Config.cfg");
}

QStringList SerialPortItems(const QString& devDir) {
  QStringList items = FindControl("PortCB")->items;
  SerialPortDirs dirs;
  dirs.dev = devDir;
  for (const SerialPortInfo& p : FindSerialPorts(dirs)) {
    if (p.kind == SerialPortInfo::UsbAdapter || p.kind == SerialPortInfo::UsbModem)
      items << p.path;
  }
  return items;
}

void ApplyFormCreateLayout(FormAccess& form) {
  QRect g = form.Bounds("GroupBox2");
  g.setHeight(kParamGroupBaseHeight);
  form.SetBounds("GroupBox2", g);
  for (const char* name :
       {"Label7", "LabelHeightEd", "Label6", "DensityEd", "LabelModeCB", "DownloadDataBtn"}) {
    form.SetVisible(name, false);
  }
  // The two hidden buttons leave no gaps: test, parameter download, cash drawer, exit.
  MoveTop(form, "btnOpenDrawer", form.Bounds("DownloadDataBtn").top());
  MoveTop(form, "ExitBtn", form.Bounds("DownloadParamBtn").top());
  MoveTop(form, "DownloadParamBtn", form.Bounds("UpdateProgramBtn").top());
  for (const char* name : {"Label1", "DefBaudRateCB", "UpdateProgramBtn"})
    form.SetVisible(name, false);
  ArrangeGroups(form);
}

void ArrangeGroups(FormAccess& form) {
  constexpr int kGap = 10;
  int top =
      form.Visible("GroupBox2") ? Bottom(form, "GroupBox2") + kGap : Bottom(form, "CommRG") + kGap;
  for (const char* name : {"grpEthernet", "grpCOM", "GroupBox4", "grp2", "grp1", "grp3"}) {
    MoveTop(form, name, top);
    top = Bottom(form, name) + kGap;
  }
  MoveTop(form, "chkRadio", form.Bounds("grp2").top() + 15);
  MoveTop(form, "chkBT", form.Bounds("GroupBox4").top() + 10);
  form.SetClientHeight(Bottom(form, "grp3") + 40);
}

bool RevealRow(FormAccess& form, ServiceRow row, int languageIndex) {
  const QStringList controls = RowControls(row);
  if (form.Visible(controls.first()))
    return false;
  for (const QString& name : controls) {
    form.SetVisible(name, true);
    if (languageIndex == 3) {
      QRect r = form.Bounds(name);
      r.translate(0, -kServiceRowHeight);
      form.SetBounds(name, r);
    }
  }
  form.SetVisible("GroupBox2", true);
  int lowest = 0;
  for (ServiceRow r : {ServiceRow::LabelProbe, ServiceRow::MachineNo, ServiceRow::PrintType}) {
    if (form.Visible(RowControls(r).first()))
      lowest = static_cast<int>(r);
  }
  // Moved up, the lowest row sits one row higher: the group ends below it, without an empty
  // band underneath.
  const int rows = languageIndex == 3 ? lowest - 1 : lowest;
  QRect g = form.Bounds("GroupBox2");
  const int grow = kParamGroupBaseHeight + kServiceRowHeight * rows - g.height();
  g.setHeight(g.height() + grow);
  form.SetBounds("GroupBox2", g);
  form.SetClientHeight(form.ClientHeight() + grow);
  return true;
}

void HandleFormKey(FormAccess& form, int key, bool ctrl, bool alt, bool shift, int languageIndex,
                   const std::function<void(KeyCommand)>& run) {
  if (key == Qt::Key_F2)
    run(KeyCommand::Test);
  else if (key == Qt::Key_F7)
    run(KeyCommand::DownloadParam);
  else if (key == Qt::Key_F9)
    run(KeyCommand::Exit);
  const bool service = ctrl && (alt || shift);
  if (service && key == Qt::Key_F3 && !RevealRow(form, ServiceRow::LabelProbe, languageIndex))
    return;
  if (service && key == Qt::Key_F4 && !RevealRow(form, ServiceRow::MachineNo, languageIndex))
    return;
  if (service && key == Qt::Key_F10 && !RevealRow(form, ServiceRow::PrintType, languageIndex))
    return;
  ArrangeGroups(form);
}

void CommRGClick(FormAccess& form) {
  const bool tcp = form.ItemIndex("CommRG") == 0;
  form.SetEnabled("grpEthernet", tcp);
  form.SetEnabled("grpCOM", !tcp);
}

void BaudRateCBChange(FormAccess& form) {
  // By rate: the printer's list starts at 9600, two rates after the connection list, and has no
  // 2400 or 4800 (no selection then).
  const QString rate = form.Items("BaudRateCB").value(form.ItemIndex("BaudRateCB"));
  form.SetItemIndex("DefBaudRateCB", static_cast<int>(form.Items("DefBaudRateCB").indexOf(rate)));
}

void RefillLanguageLists(FormAccess& form, int languageIndex) {
  // A refill empties a list; the choice restored from Config.cfg (or made before) stays chosen.
  const char* const kKept[] = {"cbbsort", "cbbJianFan", "cb_codepage", "cb_alert"};
  int kept[std::size(kKept)];
  for (size_t i = 0; i < std::size(kKept); ++i)
    kept[i] = form.ItemIndex(kKept[i]);
  form.SetItems("cbbsort", Items(ItemList::PrintType));
  const QStringList languages = Items(ItemList::LangType);
  form.SetItems("cb_Lng", languages);
  form.SetItems("cbbJianFan", languages);
  form.SetItemIndex("cb_Lng", languageIndex - 1);
  form.SetItems("cb_codepage", Items(ItemList::Codepage));
  form.SetItems("cb_alert", Items(ItemList::AlertType));
  for (size_t i = 0; i < std::size(kKept); ++i)
    form.SetItemIndex(kKept[i], kept[i]);  // an index outside the new list selects nothing
}

bool ExchangeSettings(FormAccess& form, bool load, QString* error) {
  const QString path = ConfigFilePath();
  if (load && !QFileInfo(path).isFile())
    return true;
  platform::IniFile ini(path);
  if (load && !ini.Error().isEmpty()) {
    // Nothing is loaded (the fields keep their design values), and the exit will not overwrite
    // the file.
    if (error != nullptr)
      *error = ini.Error();
    return false;
  }
  const QByteArray section = "Set";
  for (const ControlDef& d : MainFormControls()) {
    const QString name = QString::fromLatin1(d.name);
    const QByteArray key(d.name);
    if (d.kind == ControlKind::SpinEdit) {
      if (load)
        form.SetValue(name, ini.ReadInteger(section, key, 0));
      else
        ini.WriteInteger(section, key, form.Value(name));
    } else if (d.kind == ControlKind::Edit) {
      if (load)
        form.SetText(name, platform::FromAnsi(ini.ReadString(section, key, {})));
      else
        ini.WriteString(section, key, platform::ToAnsi(form.Text(name)));
    } else if (IsComboKind(d.kind)) {
      if (load)
        form.SetItemIndex(name, ini.ReadInteger(section, key, 0));
      else
        ini.WriteInteger(section, key, form.ItemIndex(name));
    }
    if (name == QLatin1String("PortCB"))
      ExchangePortName(form, ini, load);
  }
  if (load)
    return true;
  // The file holds the WiFi password in plain text: owner-only, and replaced atomically so that a
  // failed save keeps the old settings.
  ini.SetOwnerOnly(true);
  return ini.Save(error);
}

OperationSettings ReadOperationSettings(FormAccess& form) {
  const ControlDef* se1 = FindControl("se1");
  if (form.Value("se1") > se1->maxValue)
    form.SetValue("se1", se1->maxValue);

  OperationSettings s;
  s.commMode = form.ItemIndex("CommRG");
  s.ipAddress = form.Text("IPAddrEd");
  s.ipPort = form.Text("IPPortEd");
  s.portName = form.Text("PortCB");
  s.baudIndex = form.ItemIndex("BaudRateCB");
  s.machineId = form.Text("IdEd");

  s.labelProbeRowVisible = form.Visible("LabelProbeEd");
  s.machineNoRowVisible = form.Visible("PP3IDEd");
  s.printTypeRowsVisible =
      form.Visible("cbbsort") && form.Visible("cbbJianFan") && form.Visible("chkClear");

  s.pp3Id = form.Text("PP3IDEd");
  s.density = form.Value("DensityEd");
  s.labelMode = form.Checked("LabelModeCB");
  s.labelHeight = form.Text("LabelHeightEd");
  s.labelProbe = form.Value("LabelProbeEd");
  s.defBaudIndex = form.ItemIndex("DefBaudRateCB");
  s.alertIndex = form.ItemIndex("cb_alert");
  s.alarmInterval = form.Value("se1");
  s.ethIndex = form.ItemIndex("EthCB");
  s.kitchenNo = form.Text("edKcid");
  s.printTypeIndex = form.ItemIndex("cbbsort");
  s.printerLanguageIndex = form.ItemIndex("cbbJianFan");
  s.clearMaintenance = form.Checked("chkClear");
  s.codePageIndex = form.ItemIndex("cb_codepage");
  s.codePageText = form.Text("cb_codepage");
  s.btChecked = form.Checked("chkBT");
  s.btName = form.Text("edtlanyani");
  s.radioChecked = form.Checked("chkRadio");
  s.wirelessPrinterIp = form.Text("WuxianPrinterIPEdit");
  s.baseStationIp = form.Text("BaseIPEdit");
  s.wirelessPrinterId = form.Text("WuxianPrinterIDEdit");

  s.newIpAddress = form.Text("NewIPAddrEd");
  s.wifiKeyTypeIndex = form.ItemIndex("cbb_wifi_keyType");
  s.wifiIp = form.Text("edt_WiFi_Ip");
  s.wifiLinkIndex = form.ItemIndex("cbb_wifi_link");
  s.wifiPassword = form.Text("edt_wifi_pass");
  s.wifiSsid = form.Text("edt_wifi_ssid");
  return s;
}

QString FormatMacText(const QString& text) {
  QString digits = text;
  digits.remove(QLatin1Char('-'));
  QString result;
  for (qsizetype i = 0; i < digits.size(); ++i) {
    result += digits[i];
    if (i % 2 == 1)
      result += QLatin1Char('-');
  }
  return result.left(17);
}

int AnsiLength(const QString& text) {
  return static_cast<int>(platform::ToAnsi(text).size());
}

void ApplyLanguageTexts(FormAccess& form, int languageIndex) {
  std::optional<platform::IniFile> file;
  const int codePage = LanguageFile(languageIndex).codePage;
  if (languageIndex <= 1) {
    ResetLanguageTexts();
  } else {
    file.emplace(LanguageFilePath(languageIndex));
    if (!file->Error().isEmpty())
      platform::ShowMessageBox(platform::MessageKind::Warning, file->Error());
    LoadLanguageTexts(*file, codePage);
  }
  // Captions, as the window's translation sets them: the built-in text for language 1, else the
  // file's "<name>.Caption" where it has one.
  for (const ControlDef& d : MainFormControls()) {
    if (IsInputKind(d.kind) || d.kind == ControlKind::OpenDialog ||
        d.kind == ControlKind::TcpClient || *d.text == '\0') {
      continue;
    }
    const QString name = QString::fromLatin1(d.name);
    const QByteArray key = QByteArray(d.name) + ".Caption";
    if (!file)
      form.SetText(name, S(d.text));
    else if (file->ValueExists("MainForm", key))
      form.SetText(name, platform::DecodeText(file->ReadString("MainForm", key, {}), codePage));
  }
  RefillLanguageLists(form, languageIndex);
}

QString SettingCaption(const FormAccess& form, const QString& key) {
  // The label in front of each field; the RS232 port list sits in the connection row unlabelled.
  static const std::map<QString, QString> kCaptionOf = {
      {"IPAddrEd", "StaticText1"},   {"IPPortEd", "StaticText2"},
      {"IdEd", "StaticText3"},       {"PP3IDEd", "PP3IDLBL"},
      {"LabelHeightEd", "Label7"},   {"LabelProbeEd", "LabelProbeLBL"},
      {"DensityEd", "Label6"},       {"cbbsort", "Label4"},
      {"cbbJianFan", "Label8"},      {"cb_codepage", "lb_codepage"},
      {"NewIPAddrEd", "Label3"},     {"EthCB", "Label2"},
      {"edtlanyani", "lbllanya"},    {"WuxianPrinterIPEdit", "Label12"},
      {"BaseIPEdit", "Label13"},     {"WuxianPrinterIDEdit", "Label14"},
      {"DefBaudRateCB", "Label1"},   {"edKcid", "Label5"},
      {"cb_alert", "lbl3"},          {"se1", "lbl1"},
      {"edt_WiFi_Ip", "Label11"},    {"edt_wifi_Mac", "txt1"},
      {"edt_wifi_pass", "Label17"},  {"cbb_wifi_keyType", "Label10"},
      {"edt_wifi_ssid", "Label16"},  {"cbb_wifi_link", "Label15"},
      {"cbb_safetype", "Label18"},   {"cb_Lng", "Label9"},
      {"BaudRateCB", "BaudRateLBL"},
  };
  const auto it = kCaptionOf.find(key);
  if (it == kCaptionOf.end()) {
    const QStringList modes = form.Items(QStringLiteral("CommRG"));
    return key == QLatin1String("PortCB") && modes.size() > 1 ? modes[1] : key;
  }
  QString caption = form.Text(it->second).trimmed();
  while (caption.endsWith(QLatin1Char(':')) || caption.endsWith(QChar(0xFF1A)))  // ':' '：'
    caption.chop(1);
  return caption.trimmed();
}

std::vector<SettingDescription> DescribeSettings(const FormAccess& form) {
  std::vector<SettingDescription> list;
  for (const ControlDef& d : MainFormControls()) {
    if (!IsInputKind(d.kind))
      continue;
    SettingDescription s;
    s.key = QString::fromLatin1(d.name);
    s.caption = SettingCaption(form, s.key);
    s.kind = d.kind;
    s.text = form.Text(s.key);
    s.maxBytes = d.maxLength;
    if (IsComboKind(d.kind)) {
      s.itemIndex = form.ItemIndex(s.key);
      s.items = form.Items(s.key);
    } else if (d.kind == ControlKind::SpinEdit) {
      s.value = form.Value(s.key);
      s.minValue = d.minValue;
      s.maxValue = d.maxValue;
    }
    list.push_back(s);
  }
  return list;
}

// ---- HeadlessMainForm ----

HeadlessMainForm::HeadlessMainForm() {
  for (const ControlDef& d : MainFormControls()) {
    State s;
    s.def = &d;
    s.text = S(d.text);
    s.items = d.items;
    s.itemIndex = d.itemIndex;
    s.checked = d.checked;
    s.visible = d.visible;
    s.enabled = d.enabled;
    s.bounds = d.bounds;
    if (d.kind == ControlKind::SpinEdit)
      s.text = QString::number(d.value);
    if (d.name == QLatin1String("PortCB"))
      s.items = SerialPortItems();
    if (d.kind == ControlKind::DropDownList)
      s.text = d.itemIndex >= 0 ? d.items.value(d.itemIndex) : QString();
    controls_.emplace(QString::fromLatin1(d.name), s);
  }
  ApplyFormCreateLayout(*this);
}

void HeadlessMainForm::StartUp() {
  if (QString error; !ExchangeSettings(*this, true, &error))
    platform::ShowMessageBox(platform::MessageKind::Warning, error);
  const int language = DetectLanguage();
  SetItemIndex("cb_Lng", language - 1);
  ApplyLanguageTexts(*this, language);
}

QString HeadlessMainForm::Set(const QString& typedKey, const QString& value) {
  const QString key = CanonicalSettingKey(typedKey);
  const ControlDef* d = key.isEmpty() ? nullptr : FindControl(key);
  if (d == nullptr)
    return QStringLiteral("unknown setting \"%1\"").arg(typedKey);
  if (d->kind == ControlKind::Edit) {
    if (d->maxLength > 0 && AnsiLength(value) > d->maxLength) {
      return QStringLiteral("%1: at most %2 bytes").arg(key).arg(d->maxLength);
    }
    SetText(key, value);
    return {};
  }
  int number = 0;
  if (!spin::ParseValue(value.trimmed(), &number))
    return QStringLiteral("%1: \"%2\" is not a number").arg(key, value);
  if (d->kind == ControlKind::SpinEdit) {
    SetValue(key, number);
    return {};
  }
  const int count = static_cast<int>(Items(key).size());
  if (number < 0 || number >= count) {
    return QStringLiteral("%1: item index %2 is out of range (0 to %3)")
        .arg(key)
        .arg(number)
        .arg(count - 1);
  }
  SetItemIndex(key, number);
  if (key == QLatin1String("BaudRateCB") || key == QLatin1String("cb_alert"))
    BaudRateCBChange(*this);
  else if (key == QLatin1String("cb_Lng"))
    ApplyLanguageTexts(*this, number + 1);
  return {};
}

QString HeadlessMainForm::SetCheck(const QString& name, bool checked) {
  static const QStringList allowed = {"chkBT", "chkRadio", "chkClear", "LabelModeCB"};
  if (!allowed.contains(name))
    return QStringLiteral("\"%1\" is not a check box that can be set").arg(name);
  SetChecked(name, checked);
  return {};
}

void HeadlessMainForm::SelectMode(int index) {
  SetItemIndex("CommRG", index);
  CommRGClick(*this);
}

bool HeadlessMainForm::Reveal(ServiceRow row) {
  if (!RevealRow(*this, row, LanguageIndex()))
    return false;
  ArrangeGroups(*this);
  return true;
}

OperationSettings HeadlessMainForm::Snapshot() {
  return ReadOperationSettings(*this);
}

bool HeadlessMainForm::SaveSettings(QString* error) {
  return ExchangeSettings(*this, false, error);
}

HeadlessMainForm::State& HeadlessMainForm::At(const QString& name) {
  auto it = controls_.find(name);
  if (it == controls_.end())
    throw std::invalid_argument("no control named " + name.toStdString());
  return it->second;
}

const HeadlessMainForm::State& HeadlessMainForm::At(const QString& name) const {
  auto it = controls_.find(name);
  if (it == controls_.end())
    throw std::invalid_argument("no control named " + name.toStdString());
  return it->second;
}

QString HeadlessMainForm::Text(const QString& name) const {
  return At(name).text;
}

void HeadlessMainForm::SetText(const QString& name, const QString& text) {
  State& s = At(name);
  s.text = text;
  if (s.def->kind == ControlKind::EditableCombo)
    s.itemIndex = -1;
}

int HeadlessMainForm::ItemIndex(const QString& name) const {
  return At(name).itemIndex;
}

void HeadlessMainForm::SetItemIndex(const QString& name, int index) {
  State& s = At(name);
  if (index < 0 || index >= s.items.size())
    index = -1;
  s.itemIndex = index;
  if (IsComboKind(s.def->kind))
    s.text = index >= 0 ? s.items[index] : QString();
}

QStringList HeadlessMainForm::Items(const QString& name) const {
  return At(name).items;
}

void HeadlessMainForm::SetItems(const QString& name, const QStringList& items) {
  State& s = At(name);
  s.items = items;
  s.itemIndex = -1;
  s.text.clear();
}

int HeadlessMainForm::Value(const QString& name) const {
  const State& s = At(name);
  return spin::ValueOf(s.text, s.def->minValue);
}

void HeadlessMainForm::SetValue(const QString& name, int value) {
  State& s = At(name);
  s.text = QString::number(spin::CheckValue(value, s.def->minValue, s.def->maxValue));
}

bool HeadlessMainForm::Checked(const QString& name) const {
  return At(name).checked;
}

void HeadlessMainForm::SetChecked(const QString& name, bool checked) {
  At(name).checked = checked;
}

bool HeadlessMainForm::Visible(const QString& name) const {
  return At(name).visible;
}

void HeadlessMainForm::SetVisible(const QString& name, bool visible) {
  At(name).visible = visible;
}

bool HeadlessMainForm::Enabled(const QString& name) const {
  return At(name).enabled;
}

void HeadlessMainForm::SetEnabled(const QString& name, bool enabled) {
  At(name).enabled = enabled;
}

QRect HeadlessMainForm::Bounds(const QString& name) const {
  return At(name).bounds;
}

void HeadlessMainForm::SetBounds(const QString& name, const QRect& bounds) {
  At(name).bounds = bounds;
}

}  // namespace xv4
