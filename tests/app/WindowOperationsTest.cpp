// The operations as the window runs them: its handlers read the widgets, the progress dialog
// shows the phases and waits for OK on a failure, Cancel aborts, message boxes report the end.
// Offscreen, against the printer simulator on 127.0.0.1 (set before anything runs).
#include "app/Main.h"
#include "app/Progress.h"
#include "appcore/Operations.h"
#include "platform/EventLoop.h"
#include "platform/Time.h"
#include "sim/PrinterEngine.h"
#include "sim/SerialServer.h"
#include "sim/UdpServer.h"
#include "tests/app/AppFixture.h"
#include "tests/support/AppSettings.h"
#include "tests/support/LoopbackTcp.h"

#include <QComboBox>
#include <QLabel>
#include <QRegularExpression>
#include <QTimer>

#include <functional>
#include <memory>

namespace xv4 {
namespace {

using test::Bytes;
using test::PatternFile;

class WindowOperations : public test::AppFixture {
 protected:
  void SetUp() override {
    AppFixture::SetUp();
    server_.Start("127.0.0.1", 0);
    form_ = std::make_unique<TMainForm>();
    progress_ = std::make_unique<TProgressForm>();
    form_->AttachProgress(progress_.get());
    progress_->OnBeep = [this] { ++beeps_; };
    form_->FormShow();
    // Loopback before any operation runs.
    form_->SetText("IPAddrEd", "127.0.0.1");
    form_->SetText("IPPortEd", QString::number(server_.Port()));
    form_->Comm->SetRetryInterval(150);
    // The user: reads a final message and presses OK.
    confirm_.setInterval(5);
    QObject::connect(&confirm_, &QTimer::timeout, [this] {
      if (progress_->State() == psFinal) {
        finals_ << progress_->StatusLabel->text();
        titles_ << progress_->Caption();
        progress_->OKBtnClick();
      }
    });
    confirm_.start();
  }
  void TearDown() override {
    confirm_.stop();
    progress_.reset();
    form_.reset();
    AppFixture::TearDown();
  }

  std::vector<std::pair<int, int>> WireLog() const {
    std::vector<std::pair<int, int>> w;
    for (const auto& r : engine_.Captured())
      w.emplace_back(r.command, r.word);
    return w;
  }
  // RS232 at 115200 on the simulator's line. The port list shows the adapters it finds; the
  // simulator's line is one of them here.
  void UseSerialLine(const sim::SerialServer& serial) {
    auto* ports = static_cast<QComboBox*>(form_->Control("PortCB"));
    ports->addItem(QString::fromStdString(serial.Path()));
    ports->setCurrentIndex(ports->count() - 1);
    form_->SetItemIndex("CommRG", 1);
    form_->CommRGClick();
    Choose("BaudRateCB", 6);
  }
  // The status line starts with the given text and ends in ", N.N s)".
  void ExpectStatusLine(const QString& start, const QColor& colour) {
    const QString line = form_->StatusLine->text();
    EXPECT_TRUE(line.startsWith(start) &&
                QRegularExpression(QStringLiteral(", \\d+\\.\\d s\\)$")).match(line).hasMatch())
        << line.toStdString();
    EXPECT_EQ(form_->StatusLine->palette().color(QPalette::WindowText), colour);
  }
  void Choose(const char* combo, int index) {
    auto* box = static_cast<QComboBox*>(form_->Control(combo));
    box->setCurrentIndex(index);
    emit box->activated(index);
  }

  sim::PrinterEngine engine_;
  sim::UdpServer server_{engine_};
  std::unique_ptr<TMainForm> form_;
  std::unique_ptr<TProgressForm> progress_;
  QTimer confirm_;
  QStringList finals_;
  QStringList titles_;
  int beeps_ = 0;
};

TEST_F(WindowOperations, TestButtonSucceedsSilently) {
  form_->TestBtnClick();
  EXPECT_TRUE(form_->CommTested);
  EXPECT_EQ(WireLog(), (std::vector<std::pair<int, int>>{{14, 1}, {14, 16}, {63, 124}, {14, 2}}));
  EXPECT_FALSE(progress_->isVisible());
  EXPECT_TRUE(form_->isEnabled());
  EXPECT_TRUE(messages.empty());
  EXPECT_TRUE(finals_.isEmpty());
  // The dialog's last progress message was the disconnect.
  EXPECT_EQ(progress_->StatusLabel->text(), "断开...");
  // The status line keeps the outcome, where it went and how long it took.
  ExpectStatusLine("通讯测试: 通讯测试成功! (127.0.0.1:" + QString::number(server_.Port()),
                   QColor(0, 110, 0));
}

TEST_F(WindowOperations, FailedTestWaitsForOkThenClosesTheLink) {
  sim::FaultConfig f;
  f.silentAfter = 2;
  engine_.SetFaults(f);
  form_->Comm->SetRetryCount(1);
  form_->TestBtnClick();
  EXPECT_EQ(finals_, QStringList{"通讯测试...失败!"});
  EXPECT_EQ(titles_, QStringList{"通讯测试...失败!"});
  EXPECT_EQ(beeps_, 1);
  EXPECT_FALSE(form_->CommTested);
  EXPECT_TRUE(form_->isEnabled());
  EXPECT_TRUE(messages.empty());
  // The failure looks like one and says where and how long under the window's text.
  EXPECT_FALSE(progress_->ErrorIcon->isHidden());
  EXPECT_TRUE(progress_->DetailLabel->text().startsWith(
      QStringLiteral("The test record to 127.0.0.1:%1 failed after 2 tries in ")
          .arg(server_.Port())))
      << progress_->DetailLabel->text().toStdString();
  EXPECT_NE(progress_->StatusLabel->palette().color(QPalette::WindowText), QColor(0, 0, 128));
  ExpectStatusLine("通讯测试: 通讯测试...失败! (127.0.0.1:", QColor(170, 0, 0));
  engine_.SetFaults({});
  form_->TestBtnClick();  // the next run has the look of progress again
  EXPECT_TRUE(progress_->ErrorIcon->isHidden());
  EXPECT_EQ(progress_->StatusLabel->palette().color(QPalette::WindowText), QColor(0, 0, 128));
}

TEST_F(WindowOperations, ParamDownloadFromTheWindow) {
  ASSERT_TRUE(dir.Write("zk16.hex", PatternFile(40960)));
  Choose("cb_alert", 0);  // also copies BaudRateCB's empty selection into DefBaudRateCB
  form_->DownloadParamBtnClick();
  ASSERT_EQ(MessageTexts(), QStringList{"下载参数成功！请重新启动打印机。"});
  const auto c = engine_.Captured();
  ASSERT_EQ(c.size(), 5u + 128u + 1u);
  const auto& a = c[5 + 121].data;
  EXPECT_EQ(Bytes(a, 64, 9), Bytes({0xFF, 0x00, 0xD2, 160, 0xFF, 0xFF, 3, 0x00, 0x32}));
  EXPECT_EQ(Bytes(c[5 + 122].data, 0, 5), Bytes({0xC0, 0xA8, 0x01, 0x07, 0xAA}));
  EXPECT_EQ(dir.Read("log.hex").size(), 512);
  EXPECT_EQ(progress_->TotalLabel->text(), "128");
  EXPECT_EQ(progress_->CurLabel->text(), "128");
}

TEST_F(WindowOperations, MissingDataFileAsksWithTheFontTitle) {
  QStringList titles;
  form_->OpenDialogHook = [&](const QString& title) {
    titles << title;
    return QString();
  };
  form_->DownloadParamBtnClick();
  EXPECT_EQ(titles, QStringList{"打开字库文件"});
  EXPECT_TRUE(engine_.Captured().empty());
  EXPECT_EQ(dir.Read("log.hex"), QByteArray());
  EXPECT_TRUE(messages.empty());
}

TEST_F(WindowOperations, BadNewAddressIsRefusedBeforeTheLinkOpens) {
  ASSERT_TRUE(dir.Write("zk16.hex", PatternFile(40960)));
  form_->SetText("NewIPAddrEd", "192.168.1.");
  form_->DownloadParamBtnClick();
  EXPECT_EQ(MessageTexts(), QStringList{"Invalid S/N"});
  EXPECT_EQ(MessageDetails(), QStringList{QStringLiteral(
                                  "新IP地址 192.168.1.: Invalid S/N (an address is four numbers "
                                  "from 0 to 255, such as 192.168.1.7)")});
  EXPECT_TRUE(engine_.Captured().empty());
  EXPECT_FALSE(progress_->isVisible()) << "no dialog is left open";
  EXPECT_TRUE(form_->isEnabled());
}

TEST_F(WindowOperations, CancelStopsTheDataDownload) {
  ASSERT_TRUE(dir.Write("zk16.hex", PatternFile(400 * 256)));
  sim::FaultConfig f;
  f.delayMs = 10;
  engine_.SetFaults(f);
  QTimer cancel;
  cancel.setInterval(5);
  QObject::connect(&cancel, &QTimer::timeout, [&] {
    if (engine_.Stats().requests >= 30 && progress_->State() == psRunning)
      progress_->CancelBtnClick();
  });
  cancel.start();
  form_->DownloadDataBtnClick();
  cancel.stop();
  EXPECT_TRUE(finals_.isEmpty()) << "the aborted step's failure text is dropped";
  EXPECT_TRUE(messages.empty()) << "no success message";
  EXPECT_LT(engine_.Stats().requests, 40);
  EXPECT_TRUE(form_->isEnabled());
  EXPECT_FALSE(progress_->isVisible());
}

TEST_F(WindowOperations, ProgramDownloadThroughTheHiddenButton) {
  ASSERT_TRUE(dir.Write("fw.bin", PatternFile(1000)));
  QStringList titles;
  form_->OpenDialogHook = [&](const QString& title) {
    titles << title;
    return dir.File("fw.bin");
  };
  form_->UpdateProgramBtnClick();
  EXPECT_EQ(titles, QStringList{""}) << "no title of its own";
  EXPECT_EQ(WireLog(), (std::vector<std::pair<int, int>>{
                           {14, 1}, {14, 16}, {15, 0}, {15, 0}, {15, 1}, {15, 2}, {15, 3}}));
  EXPECT_EQ(MessageTexts(), QStringList{"升级程序成功!"});
}

TEST_F(WindowOperations, DrawerOverTcpFromTheWindow) {
  test::LoopbackListener printer;
  form_->Ops().SetDrawerPort(printer.Port());
  form_->SetText("IPAddrEd", " 127.0.0.1 ");
  form_->btnOpenDrawerClick();
  EXPECT_EQ(printer.AcceptAndReadAll(5000), QByteArray("\x1B\x70\x00\x18\x18", 5));
  EXPECT_TRUE(engine_.Captured().empty());
  EXPECT_TRUE(messages.empty());
  ExpectStatusLine("开钱箱: OK (127.0.0.1:" + QString::number(printer.Port()), QColor(0, 110, 0));

  test::RefusingPort closed;
  form_->Ops().SetDrawerPort(closed.Port());
  form_->btnOpenDrawerClick();
  EXPECT_EQ(MessageTexts(), QStringList{"Socket Error # 111\nConnection refused."});
  ExpectStatusLine(
      "开钱箱: Socket Error # 111 Connection refused. (127.0.0.1:" + QString::number(closed.Port()),
      QColor(170, 0, 0));
}

TEST_F(WindowOperations, SerialDrawerRunsTheTestOnceThenSendsDirectly) {
  sim::SerialServer serial(engine_);
  serial.StartPty();
  UseSerialLine(serial);

  form_->btnOpenDrawerClick();
  EXPECT_TRUE(form_->CommTested);
  EXPECT_EQ(WireLog(), (std::vector<std::pair<int, int>>{{14, 1}, {14, 16}, {63, 124}, {14, 2}}));
  EXPECT_FALSE(form_->Comm->isModem());
  // Outside frames the printer saw four frame trailers (0xFF) and the five command bytes.
  auto waitForDiscarded = [&](std::uint64_t n) {
    const platform::Deadline deadline = platform::Deadline::In(5000);
    while (serial.Stats().discardedBytes < n && !deadline.Expired())
      platform::DelayMs(10);
    return serial.Stats().discardedBytes;
  };
  EXPECT_EQ(waitForDiscarded(4 + 5), 4u + 5u);
  form_->btnOpenDrawerClick();
  EXPECT_EQ(waitForDiscarded(4 + 5 + 5), 4u + 5u + 5u) << "the five raw command bytes";
  EXPECT_EQ(engine_.Captured().size(), 4u) << "no second test";
  EXPECT_TRUE(messages.empty());
}

// The records of a run with repeats folded: a refused, lost or garbled exchange is sent again,
// and what matters is that every record got through in order.
std::vector<std::pair<int, int>> Folded(const std::vector<sim::CapturedRecord>& records) {
  std::vector<std::pair<int, int>> w;
  for (const auto& r : records) {
    const std::pair<int, int> cw{r.command, r.word};
    if (w.empty() || w.back() != cw)
      w.push_back(cw);
  }
  return w;
}

std::vector<std::pair<int, int>> WithRecords(std::vector<std::pair<int, int>> head, int command,
                                             int records, std::vector<std::pair<int, int>> tail) {
  for (int i = 0; i < records; ++i)
    head.emplace_back(command, i);
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

TEST_F(WindowOperations, EveryOperationOverRs232ThroughLineFaults) {
  sim::SerialServer serial(engine_);
  serial.StartPty();
  UseSerialLine(serial);
  ASSERT_TRUE(dir.Write("zk16.hex", PatternFile(160 * 256)));
  ASSERT_TRUE(dir.Write("fw.bin", PatternFile(1000)));
  form_->OpenDialogHook = [&](const QString&) { return dir.File("fw.bin"); };

  // A refusal, a reply with a wrong header, a reply frame with a bad checksum, a false start and
  // line noise before every answer: each operation must still get every record through.
  sim::FaultConfig faults;
  faults.nakFirst = 1;
  faults.corruptFirst = 1;
  faults.badChecksumFirst = 1;
  faults.falseStart = true;
  faults.garbageBytes = 7;

  const std::vector<std::pair<int, int>> open = {{14, 1}, {14, 16}};
  struct Case {
    const char* name;
    std::function<void()> run;
    std::vector<std::pair<int, int>> wire;
    QStringList messages;
  } cases[] = {
      {"test", [&] { form_->TestBtnClick(); }, {{14, 1}, {14, 16}, {63, 124}, {14, 2}}, {}},
      {"params",
       [&] { form_->DownloadParamBtnClick(); },
       WithRecords({{14, 1}, {14, 16}, {63, 124}, {14, 16}}, 63, 128, {{14, 2}}),
       {"下载参数成功！请重新启动打印机。"}},
      {"data",
       [&] { form_->DownloadDataBtnClick(); },
       WithRecords({{14, 1}, {14, 16}, {63, 124}, {14, 16}}, 63, 160, {{14, 2}}),
       {"下载数据成功！请重新启动打印机。"}},
      {"program",
       [&] { form_->UpdateProgramBtnClick(); },
       WithRecords(open, 15, 4, {}),
       {"升级程序成功!"}},
  };
  for (const Case& c : cases) {
    engine_.ClearCapture();
    engine_.SetFaults(faults);
    messages.clear();
    c.run();
    EXPECT_EQ(Folded(engine_.Captured()), c.wire) << c.name;
    EXPECT_EQ(MessageTexts(), c.messages) << c.name;
    EXPECT_TRUE(finals_.isEmpty()) << c.name << ": " << finals_.join("|").toStdString();
    EXPECT_GT(engine_.Captured().size(), c.wire.size()) << c.name << ": the faults cost repeats";
    EXPECT_TRUE(form_->isEnabled()) << c.name;
  }
  EXPECT_TRUE(form_->CommTested);

  // After the successful test the drawer command goes straight out, through the same noise.
  const std::uint64_t before = serial.Stats().discardedBytes;
  engine_.ClearCapture();
  form_->btnOpenDrawerClick();
  const platform::Deadline deadline = platform::Deadline::In(5000);
  while (serial.Stats().discardedBytes < before + 5 && !deadline.Expired())
    platform::DelayMs(10);
  EXPECT_EQ(serial.Stats().discardedBytes, before + 5) << "the five raw command bytes";
  EXPECT_TRUE(engine_.Captured().empty());
}

}  // namespace
}  // namespace xv4
