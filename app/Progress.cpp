#include "app/Progress.h"

#include "platform/EventLoop.h"
#include "widgets/Fonts.h"
#include "widgets/MyLabel.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QWindow>

namespace xv4 {

TProgressForm* ProgressForm = nullptr;

namespace {

constexpr int kClientWidth = 524;
constexpr int kClientHeight = 210;
constexpr int kButtonTop = 172;
// The failure's detail line goes between the frame and the button, which moves down for it.
constexpr int kDetailTop = 168;
constexpr int kDetailHeight = 44;

void SetTextColor(QLabel* label, const QColor& color) {
  QPalette p = label->palette();
  p.setColor(QPalette::WindowText, color);
  label->setPalette(p);
}

// Every text of the dialog in one family (the dialog's own), at the captions' 15 pixels.
QFont DialogFont() {
  return WithCharset(DesignFont(QStringLiteral("宋体"), 15), kGb2312Charset);
}

QFrame* Bevel(TForm* form, const char* name, QRect bounds, QFrame::Shadow shadow) {
  auto* bevel = form->Create<QFrame>(name, nullptr);
  bevel->setFrameStyle(QFrame::Panel | shadow);
  bevel->setLineWidth(1);
  bevel->setGeometry(bounds);
  return bevel;
}

TLabel3D* ShadowCaption(TForm* form, const char* name, QRect bounds, const char* text) {
  auto* label = form->Create<TLabel3D>(name, nullptr);
  label->setFont(DialogFont());
  label->setText(QString::fromUtf8(text));
  label->setGeometry(bounds);
  label->SetTransparent(true);
  return label;
}

QLabel* ValueLabel(TForm* form, const char* name, QRect bounds) {
  auto* label = form->Create<QLabel>(name, nullptr);
  label->setFont(DialogFont());
  SetTextColor(label, QColor(0, 0, 128));  // navy
  label->setAttribute(Qt::WA_TranslucentBackground);
  label->setGeometry(bounds);
  return label;
}

QPushButton* Button(TForm* form, const char* name, const char* text) {
  auto* button = form->Create<QPushButton>(name, nullptr);
  button->setFont(DialogFont());
  QPalette p = button->palette();
  p.setColor(QPalette::ButtonText, Qt::black);
  button->setPalette(p);
  button->setText(QString::fromUtf8(text));
  // OK and Cancel share one place; at any time only one of them shows.
  button->setGeometry(214, kButtonTop, 95, 25);
  return button;
}

}  // namespace

TProgressForm::TProgressForm(QWidget* parent) : TForm(parent) {
  if (ProgressForm == nullptr)
    ProgressForm = this;
  setObjectName(QStringLiteral("ProgressForm"));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
  setFont(WithCharset(DesignFont(QStringLiteral("宋体"), 12), kGb2312Charset));
  SetClientSize(kClientWidth, kClientHeight);

  Bevel(this, "Bevel1", QRect(8, 8, 505, 153), QFrame::Raised);
  Bevel(this, "Bevel2", QRect(24, 24, 481, 25), QFrame::Sunken);
  Bevel(this, "Bevel3", QRect(24, 56, 481, 25), QFrame::Sunken);
  Bevel(this, "Bevel4", QRect(24, 88, 481, 25), QFrame::Sunken);
  Label3D1 = ShadowCaption(this, "Label3D1", QRect(32, 28, 68, 17), "状    态：");
  Label3D2 = ShadowCaption(this, "Label3D2", QRect(32, 60, 68, 17), "当前包：");
  Label3D3 = ShadowCaption(this, "Label3D3", QRect(32, 92, 68, 17), "总包数：");
  StatusLabel = ValueLabel(this, "StatusLabel", QRect(100, 28, 400, 17));
  CurLabel = ValueLabel(this, "CurLabel", QRect(100, 60, 400, 17));
  TotalLabel = ValueLabel(this, "TotalLabel", QRect(100, 92, 400, 17));
  ProgressBar1 = Create<QProgressBar>("ProgressBar1", nullptr);
  ProgressBar1->setGeometry(24, 120, 481, 15);
  // The share of the packets sent, inside the bar.
  ProgressBar1->setFont(DialogFont());
  ProgressBar1->setTextVisible(true);
  ProgressBar1->setAlignment(Qt::AlignCenter);
  ProgressBar1->setFormat(QStringLiteral("%p%"));
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  OKBtn = Button(this, "OKBtn", "确定");
  CancelBtn = Button(this, "CancelBtn", "取消");
  ErrorIcon = Create<QLabel>("ErrorIcon", nullptr);
  ErrorIcon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxCritical).pixmap(20, 20));
  ErrorIcon->setGeometry(24, kDetailTop, 20, 20);
  ErrorIcon->hide();
  DetailLabel = Create<QLabel>("DetailLabel", nullptr);
  DetailLabel->setWordWrap(true);
  DetailLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  DetailLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
  DetailLabel->setGeometry(50, kDetailTop, 455, kDetailHeight);
  DetailLabel->hide();
  connect(OKBtn, &QPushButton::clicked, this, [this] { OKBtnClick(); });
  connect(CancelBtn, &QPushButton::clicked, this, [this] { CancelBtnClick(); });

  OnBeep = [] { QApplication::beep(); };
}

TProgressForm::~TProgressForm() {
  if (ProgressForm == this)
    ProgressForm = nullptr;
}

void TProgressForm::Show() {
  if (!isVisible())
    CenterOnScreen();
  show();
  if (QGuiApplication::platformName() != QLatin1String("offscreen")) {
    raise();
    activateWindow();
  }
  // Keeps the dialog above the main window it belongs to.
  if (mainWindow_ && windowHandle() != nullptr && mainWindow_->windowHandle() != nullptr)
    windowHandle()->setTransientParent(mainWindow_->windowHandle());
}

void TProgressForm::Close() {
  if (closing_)
    return;
  closing_ = true;
  hide();
  FormClose();
  closing_ = false;
}

void TProgressForm::SetStatus(int kind, const QString& text) {
  if (state_ == psClosed)
    return;
  if (kind == 1) {
    if (OnBeep)
      OnBeep();
    StatusLabel->setText(text);
    SetCaption(text);
    OKBtn->move(CancelBtn->x(), OKBtn->y());
    CancelBtn->hide();
    OKBtn->show();
    OKBtn->setDefault(true);
    OKBtn->setFocus();
    state_ = psFinal;
  } else {
    ShowFailure(false);
    OKBtn->hide();
    CancelBtn->show();
    StatusLabel->setText(text);
    SetCaption(text);
    StatusLabel->repaint();
    state_ = psRunning;
  }
}

void TProgressForm::ShowFailure(bool failed, const QString& detail) {
  SetTextColor(StatusLabel, failed ? QColor(192, 0, 0) : QColor(0, 0, 128));  // red or navy
  ErrorIcon->setVisible(failed);
  DetailLabel->setText(detail);
  DetailLabel->setVisible(failed && !detail.isEmpty());
  const int extra = failed && !detail.isEmpty() ? kDetailHeight + 4 : 0;
  OKBtn->move(OKBtn->x(), kButtonTop + extra);
  CancelBtn->move(CancelBtn->x(), kButtonTop + extra);
  if (height() != kClientHeight + extra)
    SetClientSize(kClientWidth, kClientHeight + extra);
}

void TProgressForm::ShowFinalStatus(const QString& text, const QString& detail) {
  SetStatus(1, text);
  if (state_ == psClosed)
    return;
  ShowFailure(true, detail);
  // A final message needs someone to read and confirm it.
  if (!isVisible())
    Show();
  platform::WaitUntil([this] { return state_ == psClosed; });
}

void TProgressForm::SetMargin(int total) {
  CurLabel->setText(QStringLiteral("0"));
  if (total > 0) {
    TotalLabel->setText(QString::number(total));
    ProgressBar1->setRange(0, total);
  } else {
    TotalLabel->setText(QStringLiteral("0"));
  }
  ProgressBar1->setValue(0);
}

void TProgressForm::SetProgress(int current) {
  CurLabel->setText(QString::number(current));
  ProgressBar1->setValue(current);
}

void TProgressForm::FormShow() {
  if (mainWindow_)
    mainWindow_->setEnabled(false);
  ShowFailure(false);
  SetMargin(0);
  SetProgress(0);
  state_ = psRunning;
}

void TProgressForm::FormClose() {
  if (mainWindow_)
    mainWindow_->setEnabled(true);
}

void TProgressForm::OKBtnClick() {
  Close();
  state_ = psClosed;
}

void TProgressForm::CancelBtnClick() {
  if (OnAbort)
    OnAbort();
  Close();
  state_ = psClosed;
}

void TProgressForm::showEvent(QShowEvent* event) {
  TForm::showEvent(event);
  if (!event->spontaneous())
    FormShow();
}

void TProgressForm::closeEvent(QCloseEvent* event) {
  // Closed by the window manager (there is no close box): as Cancel while running, as OK on a
  // final message, so that no operation waits for a dialog that is gone.
  event->ignore();
  if (state_ == psFinal)
    OKBtnClick();
  else
    CancelBtnClick();
}

void TProgressForm::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape && CancelBtn->isVisible()) {
    CancelBtn->click();
    return;
  }
  if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && OKBtn->isVisible()) {
    OKBtn->click();
    return;
  }
  TForm::keyPressEvent(event);
}

}  // namespace xv4
