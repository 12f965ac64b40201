// The progress dialog's states as the user and the operations meet them.

#include "app/Progress.h"
#include "widgets/MyLabel.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

namespace xv4 {
namespace {

class ProgressDialog : public ::testing::Test {
 protected:
  ProgressDialog() {
    dialog.SetMainWindow(&mainWindow);
    dialog.OnAbort = [this] { ++aborts; };
    dialog.OnBeep = [this] { ++beeps; };
  }
  // Clicks OK or Cancel later, from inside the dialog's wait; records that it had to.
  void ClickLater(QPushButton* button) {
    QTimer::singleShot(0, button, [this, button] {
      ++lateClicks;
      button->click();
    });
  }

  QWidget mainWindow;
  TProgressForm dialog;
  int aborts = 0;
  int beeps = 0;
  int lateClicks = 0;
};

TEST_F(ProgressDialog, ShowDisablesTheMainWindowAndStartsRunning) {
  dialog.SetMargin(50);
  dialog.SetProgress(20);
  dialog.Show();
  EXPECT_FALSE(mainWindow.isEnabled());
  EXPECT_EQ(dialog.State(), psRunning);
  EXPECT_EQ(dialog.CurLabel->text(), "0");
  EXPECT_EQ(dialog.TotalLabel->text(), "0");
  EXPECT_EQ(dialog.ProgressBar1->value(), 0);
  dialog.SetStatus(0, QStringLiteral("连接..."));
  EXPECT_EQ(dialog.StatusLabel->text(), QStringLiteral("连接..."));
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("连接..."));
  EXPECT_TRUE(dialog.CancelBtn->isVisible());
  EXPECT_FALSE(dialog.OKBtn->isVisible());
  dialog.Close();
  EXPECT_TRUE(mainWindow.isEnabled());
  EXPECT_EQ(beeps, 0);
}

TEST_F(ProgressDialog, FinalMessageBeepsShowsOkAndOkClosesAndReenables) {
  dialog.Show();
  dialog.SetStatus(0, "Connecting...");
  dialog.SetStatus(1, "Connecting... failed!");
  EXPECT_EQ(beeps, 1);
  EXPECT_EQ(dialog.State(), psFinal);
  EXPECT_EQ(dialog.StatusLabel->text(), "Connecting... failed!");
  EXPECT_EQ(dialog.windowTitle(), "Connecting... failed!");
  EXPECT_TRUE(dialog.OKBtn->isVisible());
  EXPECT_FALSE(dialog.CancelBtn->isVisible());
  EXPECT_EQ(dialog.OKBtn->geometry(), dialog.CancelBtn->geometry());
  EXPECT_FALSE(mainWindow.isEnabled());
  dialog.OKBtn->click();
  EXPECT_EQ(dialog.State(), psClosed);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_TRUE(mainWindow.isEnabled());
  EXPECT_EQ(aborts, 0);
}

TEST_F(ProgressDialog, ShowFinalStatusWaitsForOk) {
  dialog.Show();
  ClickLater(dialog.OKBtn);
  dialog.ShowFinalStatus("failed");
  EXPECT_EQ(lateClicks, 1);
  EXPECT_EQ(dialog.State(), psClosed);
  EXPECT_TRUE(mainWindow.isEnabled());
}

TEST_F(ProgressDialog, CancelAbortsAndDropsTheLaterFailureMessage) {
  dialog.Show();
  dialog.SetStatus(0, "Downloading parameters...");
  dialog.CancelBtn->click();
  EXPECT_EQ(aborts, 1);
  EXPECT_EQ(dialog.State(), psClosed);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_TRUE(mainWindow.isEnabled());

  // The aborted transaction fails; its message must not bring anything back, nor wait.
  ClickLater(dialog.OKBtn);
  dialog.ShowFinalStatus("Parameter download failed!");
  EXPECT_EQ(dialog.State(), psClosed);
  EXPECT_EQ(dialog.StatusLabel->text(), "Downloading parameters...");
  EXPECT_EQ(beeps, 0);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(lateClicks, 0) << "the wait returned before the event loop ran";
  QCoreApplication::processEvents();
}

TEST_F(ProgressDialog, EscapeCancelsAndEnterConfirms) {
  dialog.Show();
  dialog.SetStatus(0, "x");
  QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QCoreApplication::sendEvent(&dialog, &esc);
  EXPECT_EQ(aborts, 1);
  EXPECT_EQ(dialog.State(), psClosed);

  dialog.Show();
  dialog.SetStatus(1, "y");
  QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QCoreApplication::sendEvent(&dialog, &enter);
  EXPECT_EQ(aborts, 1);
  EXPECT_EQ(dialog.State(), psClosed);
}

TEST_F(ProgressDialog, MarginAndProgressDriveTheNumbersAndTheBar) {
  dialog.Show();
  dialog.SetMargin(128);
  EXPECT_EQ(dialog.TotalLabel->text(), "128");
  EXPECT_EQ(dialog.ProgressBar1->maximum(), 128);
  dialog.SetProgress(57);
  EXPECT_EQ(dialog.CurLabel->text(), "57");
  EXPECT_EQ(dialog.ProgressBar1->value(), 57);
  EXPECT_TRUE(dialog.ProgressBar1->isTextVisible());
  EXPECT_EQ(dialog.ProgressBar1->text(), "44%") << "57 of 128 shown as a share";
  for (QWidget* w : std::initializer_list<QWidget*>{dialog.Label3D1, dialog.StatusLabel,
                                                    dialog.CancelBtn, dialog.ProgressBar1}) {
    EXPECT_EQ(w->font().families(), dialog.OKBtn->font().families())
        << w->objectName().toStdString() << ": one font family throughout";
  }
  for (int total : {0, -3}) {
    dialog.SetMargin(total);
    EXPECT_EQ(dialog.TotalLabel->text(), "0") << total;
    EXPECT_EQ(dialog.CurLabel->text(), "0") << total;
    EXPECT_EQ(dialog.ProgressBar1->maximum(), 128) << "range kept for " << total;
    EXPECT_EQ(dialog.ProgressBar1->value(), 0) << total;
  }
}

TEST_F(ProgressDialog, ClosingTheWindowActsAsTheVisibleButton) {
  dialog.Show();
  dialog.SetStatus(0, "x");
  dialog.close();
  EXPECT_EQ(aborts, 1);
  EXPECT_EQ(dialog.State(), psClosed);
  dialog.Show();
  dialog.SetStatus(1, "y");
  dialog.close();
  EXPECT_EQ(aborts, 1);
  EXPECT_EQ(dialog.State(), psClosed);
  EXPECT_TRUE(mainWindow.isEnabled());
}

}  // namespace
}  // namespace xv4
