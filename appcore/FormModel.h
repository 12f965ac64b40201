#pragma once
// The main window without its widgets: the table of its controls, the rules that act on them, and
// a form that holds their state in memory (HeadlessMainForm) for the command line.
//
// The window (app/Main) builds its widgets from MainFormControls() and runs the same rule
// functions below over its widgets, so the window and the command line read, restore, save and
// change their settings by one implementation. Every rule function works through FormAccess,
// which names a control by its component name ("IPAddrEd", "cb_alert", ...).
//
// UI thread only (the language texts and LanguageIndex are process-wide). QtCore only.

#include "appcore/OperationSettings.h"

#include <QRect>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <vector>

namespace xv4 {

// The window's caption, as its resources hold it.
constexpr const char* kMainFormCaption = "XV4 Ver1.504";
// Client width of the main window (fixed) and its height as designed (ArrangeGroups sets it).
constexpr int kMainClientWidth = 680;
constexpr int kMainDesignClientHeight = 686;
// Height of GroupBox2 with no service row revealed, and the height each revealed row adds.
constexpr int kParamGroupBaseHeight = 45;
constexpr int kServiceRowHeight = 30;
// Limits of the Bluetooth name, in bytes of the system code page: checked on key-up and on
// leaving the field.
constexpr int kBtNameKeyUpLimit = 31;
constexpr int kBtNameExitLimit = 30;

enum class ControlKind {
  SpeedButton,
  Label,
  StaticText,
  RadioGroup,
  Edit,
  DropDownList,   // a combo box that accepts only its items
  EditableCombo,  // a combo box that also accepts typed text (item index -1 then)
  SpinEdit,
  CheckBox,
  GroupBox,
  OpenDialog,  // non-visual
  TcpClient,   // non-visual
};

// Spin edits, edits and combo boxes: the controls whose content Config.cfg keeps and that the
// language files never translate.
bool IsInputKind(ControlKind kind);
bool IsComboKind(ControlKind kind);

struct ControlDef {
  const char* name;
  ControlKind kind;
  const char* parent;  // the group that holds it, or nullptr for the form itself
  QRect bounds;        // in the parent's client coordinates
  const char* text;    // caption, or the design text of an edit or editable combo (UTF-8)
  QStringList items;   // combo boxes and the radio group
  int itemIndex = -1;  // design selection of a combo box or the radio group
  int value = 0;       // design value of a spin edit
  int minValue = 0;    // spin edit limits
  int maxValue = 0;
  int maxLength = 0;     // bytes that can be typed (0: no limit)
  bool visible = true;   // at start, before FormCreate hides the never-shown controls
  bool enabled = true;   // at start
  bool checked = false;  // check boxes
};

// The main window's controls in creation order: the order of the keys in Config.cfg and of the
// keys in the language files.
const std::vector<ControlDef>& MainFormControls();
const ControlDef* FindControl(const QString& name);
// The Config.cfg keys ("Set" section) in file order.
QStringList SettingKeys();
// The Config.cfg key as written ("cb_alert") for a key typed in any case ("CB_ALERT"); empty
// when no setting has that name.
QString CanonicalSettingKey(const QString& key);
// Config.cfg in the application directory.
QString ConfigFilePath();
// The items of PortCB: "COM1".."COM8" (so saved indexes 0..7 keep their meaning), then the USB
// and ACM serial adapters present in devDir (ttyUSB*, ttyACM*, in natural order) as device paths.
QStringList SerialPortItems(const QString& devDir = QStringLiteral("/dev"));

// Reads and changes the main window's controls by component name. Setters never run change
// handlers (the rule functions below run them where the window would).
class FormAccess {
 public:
  virtual ~FormAccess() = default;

  // Edit, combo box and spin-edit text; the caption of any other control.
  virtual QString Text(const QString& name) const = 0;
  virtual void SetText(const QString& name, const QString& text) = 0;
  // Combo boxes and the radio group; -1: no selection. Setting an index that is not an item
  // leaves no selection; an editable combo shows the selected item's text (empty for -1).
  virtual int ItemIndex(const QString& name) const = 0;
  virtual void SetItemIndex(const QString& name, int index) = 0;
  virtual QStringList Items(const QString& name) const = 0;
  // Clears the list and fills it: no selection and an empty text afterwards.
  virtual void SetItems(const QString& name, const QStringList& items) = 0;
  // Spin edits: the value read (text as a number, else the minimum) and the clamped setter.
  virtual int Value(const QString& name) const = 0;
  virtual void SetValue(const QString& name, int value) = 0;
  virtual bool Checked(const QString& name) const = 0;
  virtual void SetChecked(const QString& name, bool checked) = 0;
  // The control's own Visible and Enabled flags.
  virtual bool Visible(const QString& name) const = 0;
  virtual void SetVisible(const QString& name, bool visible) = 0;
  virtual bool Enabled(const QString& name) const = 0;
  virtual void SetEnabled(const QString& name, bool enabled) = 0;
  virtual QRect Bounds(const QString& name) const = 0;
  virtual void SetBounds(const QString& name, const QRect& bounds) = 0;
  virtual int ClientHeight() const = 0;
  virtual void SetClientHeight(int height) = 0;
};

// ---- The rules of the main window ----

// What FormCreate does to the controls: GroupBox2 at its base height, the never-shown controls
// hidden, the button column closed up (test, parameter download, cash drawer, exit), groups
// stacked.
void ApplyFormCreateLayout(FormAccess& form);

// Stacks the left column's groups 10 px apart below GroupBox2 (or CommRG when it is hidden),
// keeps chkBT and chkRadio beside their groups and sets the window height to grp3's bottom + 40.
void ArrangeGroups(FormAccess& form);

// The service rows that Ctrl+Alt+F3, F4 and F10 reveal (also Ctrl+Shift+F3, F4 and F10: Linux
// desktops take Ctrl+Alt+F-keys for switching consoles, so those never reach the window there).
enum class ServiceRow { LabelProbe = 1, MachineNo = 2, PrintType = 3 };
// Reveals a row and grows GroupBox2 to cover the lowest revealed row (the window grows with it).
// With languageIndex 3 the revealed controls also move 30 px up (row 1 beside the code page) and
// the group ends below the lowest of them. False, and nothing changes, when the row is already
// visible.
bool RevealRow(FormAccess& form, ServiceRow row, int languageIndex);

// Operations that function keys start: F2 test, F7 parameter download, F9 exit.
enum class KeyCommand { Test, DownloadParam, Exit };
// The window's key preview: F2/F7/F9 run their command through `run`, Ctrl+Alt+F3/F4/F10 and
// Ctrl+Shift+F3/F4/F10 reveal their rows, then the groups are stacked again, except after a
// reveal of a row that was already visible. key is a Qt::Key value.
void HandleFormKey(FormAccess& form, int key, bool ctrl, bool alt, bool shift, int languageIndex,
                   const std::function<void(KeyCommand)>& run);

// CommRG clicked: TCP/IP enables grpEthernet and disables grpCOM, RS232 the other way round.
void CommRGClick(FormAccess& form);

// Runs on a change of BaudRateCB and also of cb_alert: DefBaudRateCB (the printer's default
// speed, a list that starts at 9600) selects the rate chosen in BaudRateCB; 2400, 4800 and no
// choice leave it without selection.
void BaudRateCBChange(FormAccess& form);

// The list step of applying a language: cbbsort, cbbJianFan, cb_Lng, cb_alert and cb_codepage
// are refilled from the current item lists (LanguageTexts) and cb_Lng selects languageIndex - 1;
// the other four select again the item they had (no selection and no text when they had none).
void RefillLanguageLists(FormAccess& form, int languageIndex);

// Loads (true) or saves (false) Config.cfg: one key per spin edit, edit and combo box in creation
// order in section "Set"; texts in the system code page. Beside PortCB's index the port's name is
// kept (key "PortName"), which selects the port when present. Loading a missing file changes
// nothing; a missing key empties an edit and sets a spin edit or combo box to 0; a file that the
// INI reader refuses (not a regular file, too large) loads nothing, and false is returned with
// *error naming it. Saving writes the file owner-only and atomically; on failure the old file
// stays, false is returned and *error says why.
bool ExchangeSettings(FormAccess& form, bool load, QString* error = nullptr);

// Reads the window for an operation. se1 above its maximum is set back to the maximum on the
// control first.
OperationSettings ReadOperationSettings(FormAccess& form);

// MAC display form: dashes removed, a dash after every second character, at most 17 characters
// ("AABB" gives "AA-BB-").
QString FormatMacText(const QString& text);

// Length of a text in bytes of the system code page.
int AnsiLength(const QString& text);

// The language step that the command line shares with the window: the captions of the controls
// that are not input controls, the message texts and item lists of the language (built-in for 1,
// the language file otherwise; a missing file or key keeps the current text, a refused file is
// reported as a warning message box), then
// RefillLanguageLists.
void ApplyLanguageTexts(FormAccess& form, int languageIndex);

// The caption that names a setting in the window, in the form's current language, without its
// trailing colon ("Alarm type" for cb_alert in English). The RS232 port list has no caption of
// its own and is named by its radio item, "RS232".
QString SettingCaption(const FormAccess& form, const QString& key);

// One Config.cfg key as the form holds it now, for listing the settings.
struct SettingDescription {
  QString key;         // as written in Config.cfg
  QString caption;     // SettingCaption
  ControlKind kind;    // Edit, DropDownList, EditableCombo or SpinEdit
  QString text;        // the edit's text, the selected item's text, the spin edit's text
  int itemIndex = -1;  // combo boxes: the value Config.cfg keeps (-1: no selection)
  int value = 0;       // spin edits: the value read
  int minValue = 0;    // spin edits: limits
  int maxValue = 0;
  int maxBytes = 0;   // edits: bytes that can be typed (0: no limit)
  QStringList items;  // combo boxes: the items, by index
};
// Every Config.cfg key in file order.
std::vector<SettingDescription> DescribeSettings(const FormAccess& form);

// ---- The main window without widgets ----

// Holds the state of every control of the main window in memory. Built at the design defaults
// with FormCreate's changes applied; StartUp() then does what the window's first show does.
//
// Command-line use:
//   HeadlessMainForm form;
//   form.StartUp();                          // Config.cfg (else defaults), then the language
//   form.SelectMode(1);                      // RS232, as a click on CommRG
//   if (QString e = form.Set("PortCB", "2"); !e.isEmpty()) ...   // Config.cfg key and value
//   form.SetCheck("chkBT", true);
//   form.Reveal(ServiceRow::MachineNo);
//   OperationSettings s = form.Snapshot();
class HeadlessMainForm : public FormAccess {
 public:
  HeadlessMainForm();

  // As the window's first show: Config.cfg loaded (design defaults when it is missing; a refused
  // file is reported as a warning message box), the language detected from the system code page,
  // cb_Lng set to it, and the language step applied. Does not rewrite Chinese.LNG: its content is
  // the built-in texts, which language 1 uses.
  void StartUp();

  // Changes a control by its Config.cfg key (in any case), as a user would: an edit takes the
  // text (refused above the byte limit the field has), a combo box takes an item index (0 to
  // count - 1), a spin edit takes a number and clamps it as on leaving the field. Change handlers
  // run: BaudRateCB and cb_alert copy BaudRateCB's index into DefBaudRateCB, cb_Lng applies its
  // language. Returns an empty string, or an error text for an unknown key or a bad value.
  QString Set(const QString& key, const QString& value);

  // chkBT, chkRadio, chkClear or LabelModeCB; an error text for any other name.
  QString SetCheck(const QString& name, bool checked);
  // 0 TCP/IP, 1 RS232, as a click on CommRG.
  void SelectMode(int index);
  // As the key combination does (stacking included); false when the row was visible already.
  bool Reveal(ServiceRow row);

  // The operation settings, as ReadOperationSettings takes them from the window.
  OperationSettings Snapshot();

  // Saves Config.cfg as the window does at exit.
  bool SaveSettings(QString* error = nullptr);

  // FormAccess.
  QString Text(const QString& name) const override;
  void SetText(const QString& name, const QString& text) override;
  int ItemIndex(const QString& name) const override;
  void SetItemIndex(const QString& name, int index) override;
  QStringList Items(const QString& name) const override;
  void SetItems(const QString& name, const QStringList& items) override;
  int Value(const QString& name) const override;
  void SetValue(const QString& name, int value) override;
  bool Checked(const QString& name) const override;
  void SetChecked(const QString& name, bool checked) override;
  bool Visible(const QString& name) const override;
  void SetVisible(const QString& name, bool visible) override;
  bool Enabled(const QString& name) const override;
  void SetEnabled(const QString& name, bool enabled) override;
  QRect Bounds(const QString& name) const override;
  void SetBounds(const QString& name, const QRect& bounds) override;
  int ClientHeight() const override { return clientHeight_; }
  void SetClientHeight(int height) override { clientHeight_ = height; }

 private:
  struct State {
    const ControlDef* def = nullptr;
    QString text;
    QStringList items;
    int itemIndex = -1;
    bool checked = false;
    bool visible = true;
    bool enabled = true;
    QRect bounds;
  };
  State& At(const QString& name);
  const State& At(const QString& name) const;

  std::map<QString, State> controls_;
  int clientHeight_ = kMainDesignClientHeight;
};

}  // namespace xv4
