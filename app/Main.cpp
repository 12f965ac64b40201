#include "app/Main.h"

#include "app/Init.h"
#include "app/Progress.h"
#include "app/ProgressUi.h"
#include "appcore/LanguageTexts.h"
#include "appcore/Operations.h"
#include "appcore/ParamBlocks.h"
#include "link/BaudRate.h"
#include "platform/MessageBox.h"
#include "platform/Signals.h"
#include "transport/Comm.h"
#include "widgets/Edit.h"
#include "widgets/Fonts.h"
#include "widgets/RadioGroup.h"
#include "widgets/SpinEdit.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QResizeEvent>
#include <QShowEvent>
#include <QTimer>

#include <csignal>

namespace xv4 {

TMainForm* MainForm = nullptr;

namespace {

QString U(const char* utf8) {
  return QString::fromUtf8(utf8);
}

// The local UDP port of the device session: 5001, unless XV4_LOCAL_PORT names another.
int LocalUdpPort() {
  QString error;
  return SessionLocalPort(&error).value_or(TValdMBusComm::kLocalPort);
}

// What an operation that reports no text of its own ended in.
QString OutcomeWord(OpStatus status) {
  switch (status) {
    case OpStatus::Success:
      return QStringLiteral("OK");
    case OpStatus::Failed:
      return QStringLiteral("failed");
    case OpStatus::Cancelled:
      return QStringLiteral("cancelled");
    case OpStatus::LinkNotOpened:
      return QStringLiteral("the link could not be opened");
    case OpStatus::BadInput:
      return QStringLiteral("refused");
  }
  return {};
}

}  // namespace

TMainForm::TMainForm(QWidget* parent) : TForm(parent) {
  if (MainForm == nullptr)
    MainForm = this;
  FormCreate();
}

TMainForm::~TMainForm() {
  if (!destroyed_)
    FormDestroy();
  if (MainForm == this)
    MainForm = nullptr;
}

void TMainForm::BuildControls() {
  for (const ControlDef& d : MainFormControls()) {
    QWidget* parent = d.parent != nullptr ? Control(QString::fromLatin1(d.parent)) : this;
    QWidget* w = nullptr;
    switch (d.kind) {
      case ControlKind::SpeedButton: {
        auto* b = Create<QPushButton>(d.name, parent);
        // Speed buttons never take the focus, so a field being typed in keeps it.
        b->setFocusPolicy(Qt::NoFocus);
        b->setText(U(d.text));
        w = b;
        break;
      }
      case ControlKind::Label:
      case ControlKind::StaticText: {
        auto* l = Create<QLabel>(d.name, parent);
        l->setText(U(d.text));
        l->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        w = l;
        break;
      }
      case ControlKind::RadioGroup: {
        auto* g = Create<TRadioGroup>(d.name, parent);
        g->setTitle(U(d.text));
        g->SetItems(d.items);
        g->SetItemIndex(d.itemIndex);
        g->OnClick = [this](QObject*) { CommRGClick(); };
        w = g;
        break;
      }
      case ControlKind::Edit: {
        auto* e = Create<TEdit>(d.name, parent);
        e->setText(U(d.text));
        e->SetMaxLength(d.maxLength);
        w = e;
        break;
      }
      case ControlKind::DropDownList:
      case ControlKind::EditableCombo: {
        auto* c = Create<QComboBox>(d.name, parent);
        const bool editable = d.kind == ControlKind::EditableCombo;
        c->setEditable(editable);
        if (editable)
          c->setInsertPolicy(QComboBox::NoInsert);
        c->addItems(d.items);
        c->setCurrentIndex(d.itemIndex);
        if (editable && d.itemIndex < 0)
          c->setEditText(U(d.text));
        w = c;
        break;
      }
      case ControlKind::SpinEdit: {
        auto* s = Create<TSpinEdit>(d.name, parent);
        s->SetLimits(d.minValue, d.maxValue);
        s->SetMaxLength(d.maxLength);
        s->SetValue(d.value);
        w = s;
        break;
      }
      case ControlKind::CheckBox: {
        auto* c = Create<QCheckBox>(d.name, parent);
        c->setText(U(d.text));
        c->setChecked(d.checked);
        w = c;
        break;
      }
      case ControlKind::GroupBox: {
        auto* g = Create<QGroupBox>(d.name, parent);
        g->setTitle(U(d.text));
        w = g;
        break;
      }
      case ControlKind::OpenDialog:
      case ControlKind::TcpClient:
        Adopt(new QObject(this), d.name);
        continue;
    }
    w->setGeometry(d.bounds);
    if (!d.visible)
      w->setVisible(false);
    if (!d.enabled)
      w->setEnabled(false);
  }

  auto* ports = static_cast<QComboBox*>(Control("PortCB"));
  ports->clear();
  ports->addItems(SerialPortItems());
  ports->setCurrentIndex(0);

  auto button = [this](const char* name, void (TMainForm::*handler)()) {
    connect(static_cast<QPushButton*>(Control(name)), &QPushButton::clicked, this,
            [this, handler] { (this->*handler)(); });
  };
  button("UpdateProgramBtn", &TMainForm::UpdateProgramBtnClick);
  button("ExitBtn", &TMainForm::ExitItemClick);
  button("DownloadDataBtn", &TMainForm::DownloadDataBtnClick);
  button("TestBtn", &TMainForm::TestBtnClick);
  button("DownloadParamBtn", &TMainForm::DownloadParamBtnClick);
  button("btnOpenDrawer", &TMainForm::btnOpenDrawerClick);

  // Change handlers run on the user's choice only (activated), never when code sets an index.
  for (const char* name : {"BaudRateCB", "cb_alert"}) {
    connect(static_cast<QComboBox*>(Control(name)), &QComboBox::activated, this,
            [this] { BaudRateCBChange(); });
  }
  connect(static_cast<QComboBox*>(Control("cb_Lng")), &QComboBox::activated, this,
          [this] { cb_LngChange(); });
  // The texts that are sent as text: a character the code page cannot hold is refused as typed.
  for (const char* name : {"edtlanyani", "edt_wifi_pass", "edt_wifi_ssid"}) {
    static_cast<TEdit*>(Control(name))->SetTextCheck([name](const QString& text) {
      return CodePageRefusal(name, text);
    });
  }
  auto* bt = static_cast<TEdit*>(Control("edtlanyani"));
  bt->OnKeyUp = [this](QObject*, int) { BTlocalnameKey(); };
  bt->OnExit = [this](QObject*) { BTlocalnameExit(); };
  static_cast<TEdit*>(Control("edt_wifi_Mac"))->OnKeyPress =
      [this](QObject*, int key, const QString&) { edt_wifi_MacKeyPress(key); };
}

void TMainForm::AttachProgress(TProgressForm* progress) {
  progress_ = progress;
  progress->SetMainWindow(this);
  progress->OnAbort = [this] {
    if (Comm)
      Comm->Abort();
  };
}

void TMainForm::FormCreate() {
  CommTested = false;
  setObjectName(QStringLiteral("MainForm"));
  Comm = std::make_unique<TValdMBusComm>(nullptr, nullptr, LocalUdpPort());
  Comm->SetRetryCount(3);
  Comm->SetRetryInterval(500);
  operationUi_ = std::make_unique<TProgressOperationUi>(*this);
  ops_ = std::make_unique<Operations>(*Comm, *operationUi_);
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setFont(WithCharset(DesignFont(U("宋体"), 12), kGb2312Charset));
  SetClientSize(kMainClientWidth, kMainDesignClientHeight);
  SetKeyPreview(true);
  BuildControls();
  SetCaption(QString::fromLatin1(kMainFormCaption));
  ApplyFormCreateLayout(*this);
  StatusLine = new QLabel(this);
  StatusLine->setObjectName(QStringLiteral("StatusLine"));
  StatusLine->setTextFormat(Qt::PlainText);
  StatusLine->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  PlaceStatusLine();
}

void TMainForm::PlaceStatusLine() {
  // In the margin that the stacking leaves below the last group.
  StatusLine->setGeometry(8, height() - 30, width() - 16, 22);
}

void TMainForm::resizeEvent(QResizeEvent* event) {
  TForm::resizeEvent(event);
  if (StatusLine != nullptr)
    PlaceStatusLine();
}

void TMainForm::ShowOutcome(const char* button, const OpResult& result) {
  static const QRegularExpression keyHint(QStringLiteral("\\s*\\(F\\d+\\)\\s*$"));
  const QString operation = Text(QString::fromLatin1(button)).remove(keyHint);
  const QString outcome =
      result.text.isEmpty() ? OutcomeWord(result.status) : result.text.simplified();
  const QString line = QStringLiteral("%1: %2 (%3, %4 s)")
                           .arg(operation, outcome, result.target)
                           .arg(static_cast<double>(result.elapsedMs) / 1000.0, 0, 'f', 1);
  StatusLine->setText(line);
  StatusLine->setToolTip(line);
  QPalette p = StatusLine->palette();
  p.setColor(QPalette::WindowText,
             result.status == OpStatus::Success ? QColor(0, 110, 0) : QColor(170, 0, 0));
  StatusLine->setPalette(p);
}

void TMainForm::showEvent(QShowEvent* event) {
  TForm::showEvent(event);
  if (!shown_) {
    FormShow();
    CenterOnScreen();
  }
}

void TMainForm::closeEvent(QCloseEvent* event) {
  // The progress dialog disables the window while an operation runs. The window manager still
  // offers the close box then; closing would cancel the transfer (a program update half written)
  // and end the program. The dialog's Cancel is the way out of an operation.
  if (!isEnabled()) {
    event->ignore();
    return;
  }
  TForm::closeEvent(event);
}

void TMainForm::CloseWhenIdle() {
  if (isEnabled()) {
    close();
    return;
  }
  closeRequested_ = true;
  if (progress_ != nullptr)
    progress_->CancelBtnClick();  // re-enables the window: changeEvent closes it
}

void TMainForm::changeEvent(QEvent* event) {
  TForm::changeEvent(event);
  if (event->type() == QEvent::EnabledChange && closeRequested_ && isEnabled()) {
    closeRequested_ = false;
    // After the handler that enabled the window has returned.
    QTimer::singleShot(0, this, [this] { close(); });
  }
}

void TMainForm::FormShow() {
  if (shown_)
    return;
  shown_ = true;
  TranslateForms(0);
  if (QString error; !ExchangeSettings(true, &error))
    platform::ShowMessageBox(platform::MessageKind::Warning, error);
  const int language = DetectLanguage();
  if (language == 3) {
    // Western systems: the sans-serif dialog font at its usual size.
    setFont(DesignFont(QStringLiteral("MS Sans Serif"), 11));
  }
  SetItemIndex("cb_Lng", language - 1);
  TranslateForms(language);
}

bool TMainForm::FormDestroy() {
  destroyed_ = true;
  ops_.reset();
  Comm.reset();
  QString error;
  if (ExchangeSettings(false, &error))
    return true;
  platform::ShowMessageBox(platform::MessageKind::Warning,
                           QStringLiteral("The settings could not be saved.\n") + error);
  return false;
}

void TMainForm::TestBtnClick() {
  const OpResult result = ops_->CommTest(ReadWindow());
  CommTested = ops_->CommTested();
  ShowOutcome("TestBtn", result);
}

void TMainForm::DownloadParamBtnClick() {
  ShowOutcome("DownloadParamBtn", ops_->DownloadParams(ReadWindow()));
}

void TMainForm::btnOpenDrawerClick() {
  const OpResult result = ops_->OpenDrawer(ReadWindow());
  CommTested = ops_->CommTested();
  ShowOutcome("btnOpenDrawer", result);
}

OpResult TMainForm::SendRawTcp(const QByteArray& bytes) {
  return ops_->SendRawTcp(Text(QStringLiteral("IPAddrEd")), ops_->DrawerPort(), bytes);
}

void TMainForm::DownloadDataBtnClick() {
  DownloadDataFile();
}

void TMainForm::DownloadDataFile() {
  ShowOutcome("DownloadDataBtn", ops_->DownloadData(ReadWindow()));
}

void TMainForm::UpdateProgramBtnClick() {
  ShowOutcome("UpdateProgramBtn", ops_->DownloadProgram(ReadWindow()));
}

void TMainForm::ExitItemClick() {
  close();
}

void TMainForm::CommRGClick() {
  xv4::CommRGClick(*this);
}

void TMainForm::BaudRateCBChange() {
  xv4::BaudRateCBChange(*this);
}

void TMainForm::BTlocalnameKey() {
  if (AnsiLength(Text("edtlanyani")) > kBtNameKeyUpLimit) {
    platform::ShowMessageBox(platform::MessageKind::Warning, QStringLiteral("Length > 31"));
    Control("edtlanyani")->setFocus();
  }
}

void TMainForm::BTlocalnameExit() {
  if (AnsiLength(Text("edtlanyani")) > kBtNameExitLimit) {
    platform::ShowMessageBox(platform::MessageKind::Warning, QStringLiteral("Length > 30"));
    Control("edtlanyani")->setFocus();
  }
}

void TMainForm::edt_wifi_MacKeyPress(int key) {
  if (key == Qt::Key_Backspace)
    return;
  auto* edit = static_cast<QLineEdit*>(Control("edt_wifi_Mac"));
  const QString formatted = FormatMacText(edit->text());
  if (formatted.isEmpty())
    return;
  edit->setText(formatted);
  edit->setCursorPosition(static_cast<int>(formatted.size()));
}

void TMainForm::cb_LngChange() {
  TranslateForms(ItemIndex("cb_Lng") + 1);
}

bool TMainForm::ExchangeSettings(bool load, QString* error) {
  return xv4::ExchangeSettings(*this, load, error);
}

void TMainForm::ArrangeGroups() {
  xv4::ArrangeGroups(*this);
}

OperationSettings TMainForm::ReadWindow() {
  return ReadOperationSettings(*this);
}

bool TMainForm::OpenDialog1Execute(QString* fileName) {
  QString chosen;
  if (OpenDialogHook) {
    chosen = OpenDialogHook(OpenDialog1Title);
  } else {
    QFileDialog dialog(this, OpenDialog1Title, QStringLiteral("."),
                       QStringLiteral("Binary Files (*.hex *.bin)"));
    dialog.setDefaultSuffix(QStringLiteral("hex"));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setOption(QFileDialog::ReadOnly, false);
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
      chosen = dialog.selectedFiles().first();
  }
  if (chosen.isEmpty())
    return false;
  *fileName = chosen;
  return true;
}

bool TMainForm::FormKeyDown(int key, Qt::KeyboardModifiers modifiers) {
  HandleFormKey(*this, key, modifiers.testFlag(Qt::ControlModifier),
                modifiers.testFlag(Qt::AltModifier), modifiers.testFlag(Qt::ShiftModifier),
                LanguageIndex(), [this](KeyCommand c) {
                  switch (c) {
                    case KeyCommand::Test:
                      TestBtnClick();
                      break;
                    case KeyCommand::DownloadParam:
                      DownloadParamBtnClick();
                      break;
                    case KeyCommand::Exit:
                      ExitItemClick();
                      break;
                  }
                });
  return false;
}

QWidget* TMainForm::Control(const QString& name) const {
  auto* w = qobject_cast<QWidget*>(Component(name));
  Q_ASSERT_X(w != nullptr, "TMainForm::Control", qPrintable(name));
  return w;
}

QString TMainForm::Text(const QString& name) const {
  QWidget* w = Control(name);
  if (auto* e = qobject_cast<QLineEdit*>(w))
    return e->text();
  if (auto* c = qobject_cast<QComboBox*>(w))
    return c->currentText();
  if (auto* s = qobject_cast<TSpinEdit*>(w))
    return s->text();
  if (auto* l = qobject_cast<QLabel*>(w))
    return l->text();
  if (auto* b = qobject_cast<QAbstractButton*>(w))
    return b->text();
  if (auto* g = qobject_cast<QGroupBox*>(w))
    return g->title();
  return {};
}

void TMainForm::SetText(const QString& name, const QString& text) {
  QWidget* w = Control(name);
  if (auto* e = qobject_cast<QLineEdit*>(w)) {
    e->setText(text);
  } else if (auto* c = qobject_cast<QComboBox*>(w)) {
    if (c->isEditable()) {
      c->setCurrentIndex(-1);
      c->setEditText(text);
    } else {
      c->setCurrentIndex(c->findText(text));
    }
  } else if (auto* s = qobject_cast<TSpinEdit*>(w)) {
    s->SetText(text);
  } else if (auto* l = qobject_cast<QLabel*>(w)) {
    l->setText(text);
  } else if (auto* b = qobject_cast<QAbstractButton*>(w)) {
    b->setText(text);
  } else if (auto* g = qobject_cast<QGroupBox*>(w)) {
    g->setTitle(text);
  }
}

int TMainForm::ItemIndex(const QString& name) const {
  QWidget* w = Control(name);
  if (auto* c = qobject_cast<QComboBox*>(w)) {
    const int index = c->currentIndex();
    // Typing into an editable combo leaves Qt's index at the item chosen before; typed text
    // that is not that item's selects nothing (code page and printer type then go out as 0xFF).
    if (c->isEditable() && index >= 0 && c->currentText() != c->itemText(index))
      return -1;
    return index;
  }
  if (auto* g = qobject_cast<TRadioGroup*>(w))
    return g->ItemIndex();
  return -1;
}

void TMainForm::SetItemIndex(const QString& name, int index) {
  QWidget* w = Control(name);
  if (auto* c = qobject_cast<QComboBox*>(w)) {
    if (index < 0 || index >= c->count())
      index = -1;
    c->setCurrentIndex(index);
    if (c->isEditable())
      c->setEditText(index >= 0 ? c->itemText(index) : QString());
  } else if (auto* g = qobject_cast<TRadioGroup*>(w)) {
    g->SetItemIndex(index);
  }
}

QStringList TMainForm::Items(const QString& name) const {
  QWidget* w = Control(name);
  QStringList items;
  if (auto* c = qobject_cast<QComboBox*>(w)) {
    for (int i = 0; i < c->count(); ++i)
      items << c->itemText(i);
  } else if (auto* g = qobject_cast<TRadioGroup*>(w)) {
    items = g->Items();
  }
  return items;
}

void TMainForm::SetItems(const QString& name, const QStringList& items) {
  if (auto* c = qobject_cast<QComboBox*>(Control(name))) {
    c->clear();
    c->addItems(items);
    // Filling an empty list selects its first item; a refilled list starts without selection.
    c->setCurrentIndex(-1);
    if (c->isEditable())
      c->clearEditText();
  }
}

int TMainForm::Value(const QString& name) const {
  auto* s = qobject_cast<TSpinEdit*>(Control(name));
  return s != nullptr ? s->Value() : 0;
}

void TMainForm::SetValue(const QString& name, int value) {
  if (auto* s = qobject_cast<TSpinEdit*>(Control(name)))
    s->SetValue(value);
}

bool TMainForm::Checked(const QString& name) const {
  auto* c = qobject_cast<QCheckBox*>(Control(name));
  return c != nullptr && c->isChecked();
}

void TMainForm::SetChecked(const QString& name, bool checked) {
  if (auto* c = qobject_cast<QCheckBox*>(Control(name)))
    c->setChecked(checked);
}

bool TMainForm::Visible(const QString& name) const {
  return OwnVisible(Control(name));
}

void TMainForm::SetVisible(const QString& name, bool visible) {
  Control(name)->setVisible(visible);
}

bool TMainForm::Enabled(const QString& name) const {
  return OwnEnabled(Control(name));
}

void TMainForm::SetEnabled(const QString& name, bool enabled) {
  Control(name)->setEnabled(enabled);
}

QRect TMainForm::Bounds(const QString& name) const {
  return Control(name)->geometry();
}

void TMainForm::SetBounds(const QString& name, const QRect& bounds) {
  Control(name)->setGeometry(bounds);
}

void CloseOnTerminationSignals(TMainForm* form) {
  if (platform::CatchSignals({SIGTERM, SIGHUP}, platform::RepeatedSignal::AsksAgain))
    platform::DeliverCaughtSignals(form, [form](int) { form->CloseWhenIdle(); });
}

}  // namespace xv4
