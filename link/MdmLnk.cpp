#include "link/MdmLnk.h"

#include "platform/AppDir.h"
#include "platform/CodePage.h"
#include "platform/EventLoop.h"
#include "platform/Files.h"
#include "platform/IniFile.h"
#include "platform/Time.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <optional>
#include <system_error>
#include <thread>

namespace xv4 {

// The link's worker: one pass every 50 ms until stopped, and one more whenever Wake() reports
// work (bytes arrived, a write drained), so that an acknowledged transfer moves at the speed of
// the line rather than of the schedule. The 50 ms passes keep a fixed rate whatever runs between
// them. Owned by the link and joined by Stop(); the sleep between passes is a condition-variable
// wait that Stop() and Wake() cut short.
class TNewData : public QObject {
 public:
  explicit TNewData(TMdmLnk* link) : Link(link) {}
  ~TNewData() override { Stop(); }
  TNewData(const TNewData&) = delete;
  TNewData& operator=(const TNewData&) = delete;

  void Start() {
    Link->workerRunning_ = true;
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (...) {
      Link->workerRunning_ = false;
      throw;
    }
  }

  void Stop() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
      thread_.join();
  }

  // Ends the loop after the current pass, without waiting for it (the worker itself may ask).
  void RequestStop() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
  }

  // Runs a pass as soon as the current one (if any) has ended. Any thread.
  void Wake() {
    {
      std::lock_guard lock(mutex_);
      woken_ = true;
    }
    wake_.notify_all();
  }

  // The worker running on the calling thread, if any.
  static TNewData* Current() { return current_; }

  TMdmLnk* const Link;

 private:
  static constexpr std::chrono::milliseconds kPass{50};
  static thread_local TNewData* current_;

  void Run() {
    using Clock = std::chrono::steady_clock;
    current_ = this;
    std::unique_lock lock(mutex_);
    Clock::time_point nextPass = Clock::now();
    while (!stop_) {
      const Clock::time_point now = Clock::now();
      const bool periodic = now >= nextPass;
      if (periodic) {
        nextPass += kPass;
        if (nextPass <= now)
          nextPass = now + kPass;  // a pass that overran by a whole period is not made up
      }
      woken_ = false;
      lock.unlock();
      const bool more = Link->WorkerPass(this, periodic);
      lock.lock();
      if (more)
        continue;  // the next answer waiting is handled at once
      wake_.wait_until(lock, nextPass, [this] { return stop_ || woken_; });
    }
    Link->workerRunning_ = false;
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;   // guarded by mutex_
  bool woken_ = false;  // guarded by mutex_
  std::thread thread_;
};

thread_local TNewData* TNewData::current_ = nullptr;

// The link as its protocol layers reach it. The layers call the first group with protoMutex_
// held, the second from their actions after it is released.
class TMdmLnk::LayerHost : public LinkLayerHost {
 public:
  explicit LayerHost(TMdmLnk& link) : link_(link) {}

  std::uint32_t Ticks() const override { return link_.Now(); }
  bool IsDebug() const override { return link_.isDebug_; }
  void AddDebugMessage(const QString& message) override { link_.AddDebugMessage(message); }
  QString RemoteName() const override { return link_.remoteName_; }
  void SetRemoteName(const QString& name) override { link_.remoteName_ = name; }
  bool TransfersAllowed() const override {
    return !link_.session_->Wanted() || link_.session_->LoggedIn();
  }

  void SendBytes(const QByteArray& bytes) override {
    link_.SendBytes(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                    static_cast<int>(bytes.size()));
  }
  void RaiseShakeHands(const QString& remotePc, const QString& inStu, const QString& ps) override {
    if (TShakeHandsEvent handler = link_.OnShakeHands)
      handler(&link_, 0, remotePc, inStu, ps);
  }
  void RaiseTransFile(const QString& fileName, const QString& fileDir, qint64 fileSize,
                      std::int16_t status, const QString& ps) override {
    if (TTransFileEvent handler = link_.OnTransFile)
      handler(&link_, fileName, fileDir, fileSize, status, ps);
  }

 private:
  TMdmLnk& link_;
};

namespace {

QString TimeStamp() {
  return QDateTime::currentDateTime().toString(QStringLiteral("MMddHHmmss"));
}

QString DebugDir() {
  return platform::StateDir() + QStringLiteral("debug");
}

// Milliseconds from now until `when`, 0 once it has passed.
int MsUntil(std::chrono::steady_clock::time_point when) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      when - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

}  // namespace

TMdmLnk::TMdmLnk(QObject* owner)
    : QObject(owner),
      comm_(std::make_unique<TComm>()),
      layerHost_(std::make_unique<LayerHost>(*this)),
      session_(std::make_unique<PcLinkSession>(*layerHost_, timers_[2])),
      transfer_(std::make_unique<FileTransfer>(*layerHost_, timers_[3])) {
  SetCommName(QStringLiteral("COM2"));
  incoming_.reserve(kReceiveBufferSize);
  parsing_.reserve(kReceiveBufferSize);
  const std::uint32_t periods[4] = {2000, 1500, 3000, 2000};
  for (std::size_t i = 0; i < timers_.size(); ++i)
    timers_[i].period = periods[i];

  // Fixed line settings of the link: 8 data bits, no parity, one stop bit, DTR and RTS on, no
  // XON/XOFF on output, NUL bytes kept, and every read handed on as soon as it has arrived (read
  // interval 0: no gap wait; even a 1 ms gap wait would hold every acknowledgement back by a
  // millisecond and cut the record rate to a fraction). DTR goes off first and on last.
  TComm& c = *comm_;
  c.SetCommName(commName_);
  c.SetBaudRate(BaudRateBps(baudRate_));
  c.SetDtrControl(TDtrControl::DtrDisable);
  c.SetTxContinueOnXoff(false);
  c.SetOutx_XonXoffFlow(false);
  c.SetIgnoreNullChar(false);
  c.SetRtsControl(TRtsControl::RtsEnable);
  c.SetByteSize(TByteSize::_8);
  c.SetParity(TParity::None);
  c.SetStopBits(TStopBits::_1);
  c.SetReadIntervalTimeout(0);
  c.OnReceiveData = [this](QObject* sender, const std::uint8_t* buffer, std::uint16_t length) {
    PortDataReceived(sender, buffer, length);
  };
  c.OnSendDataEmpty = [this](QObject* sender) { PortSendEmpty(sender); };
  c.OnRequestHangup = [this](QObject* sender) { PortHangup(sender); };
  c.SetDtrControl(TDtrControl::DtrEnable);
}

TMdmLnk::~TMdmLnk() {
  // Let a write that is still on its way finish, so that the last frame is not cut off. A port
  // that neither drains nor hangs up (a wedged adapter) gets the time that write should have
  // taken and no more: the close below drops it, instead of the program hanging on exit.
  WaitSendIdle();
  if (flgAutoWriteDebugFile_) {
    QStringList lines;
    {
      std::lock_guard lock(debugMutex_);
      lines.swap(debugList_);
    }
    if (!lines.isEmpty() && platform::CreateDirectoryPath(DebugDir())) {
      const QString exeBase = QFileInfo(platform::ExecutablePath()).fileName().section('.', 0, 0);
      SaveDebugLines(DebugDir() + QLatin1Char('/') + exeBase + QLatin1Char('_') + TimeStamp() +
                         QStringLiteral(".txt"),
                     lines);
    }
  }
  Activate(false);
}

void TMdmLnk::SetCommName(const QString& name) {
  commName_ = name;
  if (name.size() > 3 && name.startsWith(QLatin1String("COM"), Qt::CaseInsensitive)) {
    const QString digits = name.mid(3);
    bool ok = std::all_of(digits.begin(), digits.end(), [](QChar ch) { return ch.isDigit(); });
    const int number = ok ? digits.toInt(&ok) : 0;
    if (ok && number <= 130)
      tag_ = number;
  }
}

void TMdmLnk::SetPhoneNumber(const QString& number) {
  std::lock_guard lock(protoMutex_);
  phoneNumber_ = number;
}

QString TMdmLnk::PhoneNumber() const {
  std::lock_guard lock(protoMutex_);
  return phoneNumber_;
}

void TMdmLnk::SetWaitForCall(bool wait) {
  std::lock_guard lock(protoMutex_);
  waitForCall_ = wait;
}

bool TMdmLnk::WaitForCall() const {
  std::lock_guard lock(protoMutex_);
  return waitForCall_;
}

void TMdmLnk::SetRingCount(int count) {
  std::lock_guard lock(protoMutex_);
  ringCount_ = count;
}

int TMdmLnk::RingCount() const {
  std::lock_guard lock(protoMutex_);
  return ringCount_;
}

QString TMdmLnk::LastLine() const {
  std::lock_guard lock(protoMutex_);
  return platform::FromAnsi(modem_.LastLine());
}

bool TMdmLnk::ModemConnected() {
  if (!isModem_)
    return true;
  ApplyForwardingCuts();
  return forwarding_;
}

void TMdmLnk::SetTickSource(TickSource source) {
  tickSource_ = std::move(source);
}

void TMdmLnk::SetBaudRate(TBaudRate rate) {
  baudRate_ = BaudRateFromOrdinal(rate);
  comm_->SetBaudRate(BaudRateBps(baudRate_));
}

int TMdmLnk::FilePackSize() const {
  std::lock_guard lock(protoMutex_);
  return transfer_->PackSize();
}

void TMdmLnk::SetFilePackSize(int size) {
  std::lock_guard lock(protoMutex_);
  transfer_->SetPackSize(size);
}

std::int16_t TMdmLnk::TFMode() const {
  std::lock_guard lock(protoMutex_);
  return transfer_->Mode();
}

void TMdmLnk::SetTFMode(std::int16_t mode) {
  std::lock_guard lock(protoMutex_);
  transfer_->SetMode(mode);
}

bool TMdmLnk::WantedToShake() const {
  std::lock_guard lock(protoMutex_);
  return session_->Wanted();
}

void TMdmLnk::SetWantedToShake(bool shake) {
  std::lock_guard lock(protoMutex_);
  session_->SetWanted(shake, linkState_ == 1);
}

QString TMdmLnk::Password() const {
  std::lock_guard lock(protoMutex_);
  return session_->Password();
}

void TMdmLnk::SetPassword(const QString& password) {
  std::lock_guard lock(protoMutex_);
  session_->SetPassword(password);
}

void TMdmLnk::SetMasterPassword(const QString& password) {
  std::lock_guard lock(protoMutex_);
  session_->SetMasterPassword(password);
}

QString TMdmLnk::StationTag() const {
  std::lock_guard lock(protoMutex_);
  return session_->StationTag();
}

void TMdmLnk::SetStationTag(const QString& tag) {
  std::lock_guard lock(protoMutex_);
  session_->SetStationTag(tag);
}

QString TMdmLnk::RemoteName() const {
  std::lock_guard lock(protoMutex_);
  return remoteName_;
}

bool TMdmLnk::LoggedIn() const {
  std::lock_guard lock(protoMutex_);
  return session_->LoggedIn();
}

QString TMdmLnk::ReceiveDir() const {
  std::lock_guard lock(protoMutex_);
  return transfer_->ReceiveRoot();
}

void TMdmLnk::SetReceiveDir(const QString& dir) {
  std::lock_guard lock(protoMutex_);
  transfer_->SetReceiveRoot(dir);
}

bool TMdmLnk::SendDataPack(const QString& address, const QString& command, std::uint16_t value,
                           const std::uint8_t* data, int length) {
  LinkActions after;
  bool built = false;
  {
    // The lock is the builder's busy mark: one pack is built and remembered at a time.
    std::lock_guard lock(protoMutex_);
    built = transfer_->SendDataPack(address, command, value, data, length, after);
  }
  after.Run();
  return built;
}

bool TMdmLnk::TransferFile(const QString& command, const QString& localFile,
                           const QString& remotePath, const QString& remark, QString* error) {
  LinkActions after;
  bool started = true;
  {
    std::lock_guard lock(protoMutex_);
    if (command == QLatin1String("INITIAL"))
      started = transfer_->StartSend(localFile, remotePath, remark, after, error);
    else if (command == QLatin1String("TRANS"))
      transfer_->SendNextPack(after);
    else
      started = false;
  }
  after.Run();
  return started;
}

FileTransfer::Progress TMdmLnk::TransferProgress() const {
  std::lock_guard lock(protoMutex_);
  return transfer_->CurrentProgress();
}

void TMdmLnk::AbandonTransfer(const QString& why) {
  std::lock_guard lock(protoMutex_);
  transfer_->Abandon(why);
}

bool TMdmLnk::SendIdle() const {
  std::lock_guard lock(sendMutex_);
  return sendIdle_;
}

void TMdmLnk::SaveOptions(QObject*, int windowHandle) {
  if (optionFile_.trimmed().isEmpty())
    optionFile_ = QStringLiteral("Option.ini");
  platform::IniFile ini(platform::ApplicationDir() + optionFile_);
  ini.WriteString("Option", "Port", platform::ToAnsi(commName_));
  ini.WriteInteger("Option", "BaudRate", static_cast<int>(baudRate_));
  ini.WriteBool("Option", "IsModem", isModem_);
  ini.WriteBool("Option", "LoadFTCP", loadFTCP_);
  ini.WriteBool("Option", "IsDebug", isDebug_);
  ini.WriteBool("Option", "FlgCreateThd", flgCreateThd_);
  ini.WriteBool("Option", "FlgAutoWriteDebugFile", flgAutoWriteDebugFile_);
  ini.WriteBool("Option", "WaitForCall", WaitForCall());
  ini.WriteBool("Option", "WantedToShake", WantedToShake());
  ini.WriteString("Option", "PhoneNumber", platform::ToAnsi(PhoneNumber()));
  ini.WriteInteger("Option", "TFMode", TFMode());
  ini.WriteInteger("Option", "RingCount", RingCount());
  ini.WriteInteger("Window", "HWnd", windowHandle);
  ini.WriteInteger("Option", "FilePackSize", FilePackSize());
  QString error;
  if (!ini.Save(&error))
    AddDebugMessage(error);
}

void TMdmLnk::SwitchPort(bool open) {
  const QString prefix =
      platform::ExecutablePath() + (open ? QStringLiteral(" Open ") : QStringLiteral(" Close "));
  try {
    if (open) {
      comm_->SetCommName(commName_);
      comm_->SetBaudRate(BaudRateBps(baudRate_));
      // Closing drops DTR (that hangs up a modem); a reopened port raises it again.
      comm_->SetDtrControl(TDtrControl::DtrEnable);
      const bool wasOpen = comm_->IsOpen();
      try {
        comm_->OpenPort();
      } catch (const std::exception&) {
        comm_->ClosePort();
        comm_->OpenPort();
      }
      if (!wasOpen) {
        {
          std::lock_guard lock(sendMutex_);
          sendIdle_ = true;  // nothing can be outstanding on a port that has just opened
          portFailed_ = false;
        }
        ResetReceiveState();
      }
      portOpen_ = true;
    } else {
      if (portOpen_) {
        comm_->SetDtrControl(TDtrControl::DtrDisable);
        comm_->ClosePort();
      }
      portOpen_ = false;
      {
        // Writes still queued were dropped with the port: none is outstanding any more.
        std::lock_guard lock(sendMutex_);
        sendIdle_ = true;
      }
      sendWake_.notify_all();
    }
  } catch (const std::exception&) {
    portOpen_ = false;
    AddDebugMessage(prefix + commName_ + QStringLiteral(" err!"));
    throw;
  }
  AddDebugMessage(prefix + commName_ + QStringLiteral(" OK!"));
}

void TMdmLnk::Activate(bool open) {
  if (OnWorkerThread()) {
    // A handler on the worker: the worker cannot join itself, and the port belongs to the
    // link's thread, where the change is made once that thread handles events. A close stops
    // the protocol work at once: this pass is the last.
    if (!open)
      TNewData::Current()->RequestStop();
    QMetaObject::invokeMethod(
        this, [this, open] { Activate(open); }, Qt::QueuedConnection);
    return;
  }
  if (open) {
    SwitchPort(true);
    if (direct_) {
      // A cable: the line is up as soon as the port is open.
      std::lock_guard lock(protoMutex_);
      linkState_ = 1;
      session_->Connected(!waitForCall_);
      transfer_->Connected();
    }
    if (flgCreateThd_ && !worker_) {
      auto worker = std::make_unique<TNewData>(this);
      try {
        worker->Start();
      } catch (const std::system_error&) {
        SwitchPort(false);
        throw;
      }
      worker_ = std::move(worker);
    }
    platform::DelayMs(6);
    return;
  }
  StopWorker();
  {
    std::lock_guard lock(protoMutex_);
    for (ProtocolTimer& t : timers_)
      t.state = '0';
    // Nothing can move a transfer on once the port is closed: a file being received is dropped
    // (the old one stays) and a send file is closed.
    transfer_->Abandon(QStringLiteral("the link closed"));
    if (direct_) {
      session_->Disconnected();
      linkState_ = 0;
    }
  }
  SwitchPort(false);
}

bool TMdmLnk::OnWorkerThread() const {
  const TNewData* worker = TNewData::Current();
  return worker != nullptr && worker->Link == this;
}

void TMdmLnk::ResetReceiveState() {
  {
    std::lock_guard lock(rxMutex_);
    incoming_.clear();
    droppedBytes_ = 0;
  }
  parsing_.clear();
  lines_.Clear();
  packParser_.Reset();
  rxMasker_ = IdentificationMasker();
  forwardLines_.Clear();
  forwarding_ = false;
  lfEndsConnect_ = false;
  cutsSeen_ = forwardingCuts_.load();
  std::lock_guard lock(protoMutex_);
  // Answers and commands of the earlier open; its modem connection ended with its DTR.
  modem_.Reset();
}

void TMdmLnk::StopWorker() {
  if (!worker_)
    return;
  {
    // A worker waiting in SendBytes for the port to drain gives up, so that it can be joined.
    std::lock_guard lock(sendMutex_);
    workerStopping_ = true;
  }
  sendWake_.notify_all();
  worker_->Stop();
  worker_.reset();
  std::lock_guard lock(sendMutex_);
  workerStopping_ = false;
}

void TMdmLnk::ModemCommand(const QString& command) {
  // Under the protocol lock, so that the queue, the pending code and LinkState never change in
  // the middle of a worker pass; the worker sends the commands from its next pass.
  LinkActions after;
  {
    std::lock_guard lock(protoMutex_);
    modem_.Command(command, after);
  }
  after.Run();
}

LinkSend TMdmLnk::SendBytes(const std::uint8_t* buffer, int length) {
  if (!portOpen_)
    return LinkSend::Closed;
  if (length <= 0 || buffer == nullptr)
    return LinkSend::Taken;  // nothing to send is sent
  // A port that neither drains nor hangs up (a wedged adapter) would hold a sender here for ever.
  // Past the time the outstanding write should have taken, this write is refused instead.
  const bool owner = QThread::currentThread() == thread();
  bool stuck = false;
  if (owner) {
    // UI thread. The test and the clear happen under one lock, so the worker cannot slip in; if
    // it took the port in between, wait for its write.
    for (;;) {
      // The owner's bytes are for the far end: without a connection they would reach the modem
      // as commands. (The wait for the port handles events: the line may go meanwhile.)
      if (!ModemConnected())
        return LinkSend::Offline;
      const bool idle = WaitSendIdle();
      if (!ModemConnected())
        return LinkSend::Offline;
      std::lock_guard lock(sendMutex_);
      if (!portOpen_)
        return LinkSend::Closed;
      if (portFailed_)
        return LinkSend::Failed;
      if (sendIdle_) {
        sendIdle_ = false;
        drainDue_ = DueAfter(length);
        break;
      }
      if (!idle) {
        stuck = true;
        break;
      }
    }
  } else {
    // Worker: no event loop here; PortSendEmpty, PortHangup, SwitchPort and StopWorker wake us.
    std::unique_lock lock(sendMutex_);
    const auto ready = [this] { return sendIdle_ || portFailed_ || !portOpen_ || workerStopping_; };
    sendWake_.wait_until(lock, drainDue_, ready);
    if (!ready()) {
      stuck = true;
    } else {
      if (!portOpen_ || workerStopping_)
        return LinkSend::Closed;
      if (portFailed_)
        return LinkSend::Failed;
      sendIdle_ = false;
      drainDue_ = DueAfter(length);
    }
  }
  if (stuck) {
    AddDebugMessage(
        QStringLiteral("Send dropped (%1 bytes): the previous write has not drained").arg(length));
    return LinkSend::Stuck;
  }

  // From here on, what the port reads may answer these bytes; what it read before may not.
  if (owner)
    ownerReadMark_ = TComm::ReadSequence();
  bool queued = true;
  for (int offset = 0; offset < length && queued;) {
    const int piece = std::min(length - offset, 65535);
    queued = comm_->SendData(buffer + offset, static_cast<std::uint16_t>(piece));
    offset += piece;
  }
  if (queued)
    return LinkSend::Taken;
  // The port refused the bytes: its write side has failed (the device hung up). Nothing will
  // report this write drained, and nothing more can be written until the port is reopened.
  {
    std::lock_guard lock(sendMutex_);
    sendIdle_ = true;
    portFailed_ = true;
  }
  sendWake_.notify_all();
  return LinkSend::Failed;
}

bool TMdmLnk::WaitSendIdle() {
  // The drained report that frees the port is one of the event loop's events; the timer wakes
  // the loop when the outstanding write is due.
  // The due time is looked at only after the events have run once: a report already queued
  // frees the port even when the write was late.
  QTimer due;
  due.setSingleShot(true);
  for (bool eventsRun = false;; eventsRun = true) {
    {
      std::lock_guard lock(sendMutex_);
      if (portFailed_ || !portOpen_)
        return false;
      if (sendIdle_)
        return true;
      if (eventsRun && std::chrono::steady_clock::now() >= drainDue_)
        return false;
      due.start(MsUntil(drainDue_) + 1);
    }
    platform::WaitUntil([this, &due] {
      std::lock_guard lock(sendMutex_);
      return sendIdle_ || portFailed_ || !portOpen_ || !due.isActive();
    });
  }
}

std::chrono::steady_clock::time_point TMdmLnk::DueAfter(int length) const {
  return std::chrono::steady_clock::now() +
         std::chrono::milliseconds(DrainLimitMs(length, baudRate_.load()));
}

void TMdmLnk::PortSendEmpty(QObject* sender) {
  {
    std::lock_guard lock(sendMutex_);
    sendIdle_ = true;
  }
  sendWake_.notify_all();
  WakeWorker();  // the next pack may go
  if (TNotifyEvent handler = OnSendBufEmpty)
    handler(sender);
}

void TMdmLnk::PortHangup(QObject* sender) {
  {
    std::lock_guard lock(sendMutex_);
    portFailed_ = true;
  }
  sendWake_.notify_all();
  AddDebugMessage(commName_ + QStringLiteral(" hung up"));
  if (TNotifyEvent handler = OnPortFailed)
    handler(sender);
}

void TMdmLnk::PortDataReceived(QObject* sender, const std::uint8_t* buffer, std::uint16_t length) {
  // With a modem, only what the far end sent is the owner's; the modem's own answers stay
  // inside the link. The lines are read here before the worker can see the chunk, so that a
  // cut the worker makes in reply to them (an escape) comes after them.
  std::vector<std::pair<std::size_t, std::size_t>> runs;
  if (isModem_)
    FindForwardedRuns(buffer, length, runs);
  else
    runs.emplace_back(0, length);
  {
    // The worker swaps incoming_ out under this lock; the whole chunk lands before or after a
    // swap, never across one.
    std::lock_guard lock(rxMutex_);
    const std::size_t take = std::min<std::size_t>(length, kReceiveBufferLimit - incoming_.size());
    incoming_.insert(incoming_.end(), buffer, buffer + take);
    droppedBytes_ += length - take;
  }
  WakeWorker();
  // The masker follows every byte, so that it knows where a password starts when the dump is
  // switched on in the middle of a line.
  QByteArray dump;
  if (isDebug_)
    dump.reserve(length * 3);
  for (std::uint16_t i = 0; i < length; ++i) {
    const bool secret = rxMasker_.Secret(buffer[i]);
    if (!isDebug_)
      continue;
    static constexpr char kHex[] = "0123456789ABCDEF";
    dump += secret ? '*' : kHex[buffer[i] >> 4];
    dump += secret ? '*' : kHex[buffer[i] & 0x0F];
    dump += ' ';
  }
  if (isDebug_) {
    AddDebugMessage(
        QStringLiteral("In: Data(len=%1)[%2]").arg(length).arg(QString::fromLatin1(dump)));
  }
  // A chunk read before the owner's latest send cannot answer it, even when its event comes
  // after the send.
  if (comm_->ChunkSequence() <= ownerReadMark_)
    return;
  if (TMyNotifyEvent handler = OnReceiveNewData) {
    for (const auto& [begin, end] : runs)
      handler(sender, buffer + begin, static_cast<std::uint16_t>(end - begin));
  }
}

void TMdmLnk::ApplyForwardingCuts() {
  const std::uint32_t cuts = forwardingCuts_.load();
  if (cuts != cutsSeen_) {
    cutsSeen_ = cuts;
    forwarding_ = false;
  }
}

void TMdmLnk::FindForwardedRuns(const std::uint8_t* buffer, std::uint16_t length,
                                std::vector<std::pair<std::size_t, std::size_t>>& runs) {
  // The worker reads the same lines a moment later and acts on them (CONNECT: LinkState 1).
  // Deciding here, byte by byte, puts the far end's first bytes after CONNECT through at once,
  // and nothing after NO CARRIER, whatever the worker has got to.
  ApplyForwardingCuts();
  std::size_t begin = 0;
  for (std::size_t i = 0; i < length; ++i) {
    const std::uint8_t b = buffer[i];
    if (lfEndsConnect_) {
      // The LF of the CONNECT line's CR LF is the modem's, not the far end's.
      lfEndsConnect_ = false;
      if (b == '\n' && forwarding_ && begin == i)
        begin = i + 1;
    }
    if (!forwardLines_.Feed(b))
      continue;
    const int code = ClassifyLine(forwardLines_.Line());
    if (code == kCodeConnect && !forwarding_) {
      forwarding_ = true;
      begin = i + 1;
      lfEndsConnect_ = b == '\r';
    } else if (code == kCodeNoCarrier && forwarding_) {
      // The line itself is the modem's too, as far as it lies in this chunk.
      const std::size_t lineLength = static_cast<std::size_t>(forwardLines_.Line().size());
      const std::size_t lineStart = i >= lineLength ? i - lineLength : 0;
      if (lineStart > begin)
        runs.emplace_back(begin, lineStart);
      forwarding_ = false;
    }
  }
  if (forwarding_ && begin < length)
    runs.emplace_back(begin, length);
}

void TMdmLnk::WakeWorker() {
  if (worker_)
    worker_->Wake();
}

bool TMdmLnk::WorkerPass(QObject* worker, bool periodic) {
  // Each step decides under the protocol lock; its sends and events run after the lock is
  // released, before the next step looks at the state again.
  LinkActions after;
  ProcessIncoming(after);
  after.Run();
  if (isModem_) {
    std::uint32_t bits = 0;
    const std::optional<std::uint32_t> status =
        comm_->GetModemStatus(&bits) ? std::optional<std::uint32_t>(bits) : std::nullopt;
    {
      std::lock_guard lock(protoMutex_);
      modem_.ServiceModem(status, Now(), after);
    }
    after.Run();
  }
  {
    std::lock_guard lock(protoMutex_);
    ServiceTimers(Now(), after);
  }
  after.Run();
  // TFMode 0 streams one pack per 50 ms pass: a station that takes in one pass's worth of bytes
  // at a time keeps up. TFMode 1 sends as soon as the last pack is acknowledged.
  if (linkState_ == 1 && loadFTCP_ && SendIdle()) {
    {
      std::lock_guard lock(protoMutex_);
      if (periodic || transfer_->Mode() == 1)
        TransferNextPack(after);
    }
    after.Run();
  }
  if (TNotifyEvent handler = OnDoExFunc)
    handler(worker);
  std::lock_guard lock(protoMutex_);
  return modem_.CodesWaiting();
}

void LinkActions::Run() {
  for (std::size_t i = 0; i < actions_.size(); ++i) {
    const std::function<void()> action = std::move(actions_[i]);
    action();
  }
  actions_.clear();
}

void LinkLayerHost::QueueSend(const QByteArray& bytes, LinkActions& after) {
  if (!bytes.isEmpty())
    after.Add([this, bytes] { SendBytes(bytes); });
}

void LinkLayerHost::QueueSend(const QString& text, LinkActions& after) {
  QueueSend(platform::ToAnsi(text), after);
}

void TMdmLnk::ProcessIncoming(LinkActions& after) {
  std::size_t dropped = 0;
  {
    std::lock_guard lock(rxMutex_);
    incoming_.swap(parsing_);
    dropped = droppedBytes_;
    droppedBytes_ = 0;
  }
  if (dropped > 0) {
    AddDebugMessage(QStringLiteral("Receive buffer full: %1 bytes dropped").arg(dropped));
  }
  if (!parsing_.empty())
    ParseBytes(parsing_.data(), parsing_.size(), after);
  parsing_.clear();
}

void TMdmLnk::ParseBytes(const std::uint8_t* bytes, std::size_t count, LinkActions& after) {
  if (parseTap_)
    parseTap_(bytes, count);
  parsedBytes_ += count;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t b = bytes[i];
    if (packParser_.Active()) {
      FeedDataPack(b);
      continue;
    }
    if (loadFTCP_ && b == kPackStart) {
      // A data pack shares the line buffer: a partly received text line is given up.
      lines_.Clear();
      packParser_.Start(b);
      continue;
    }
    if (!isModem_ && !direct_)
      continue;  // already forwarded to the owner; nothing for the link in it
    if (!lines_.Feed(b))
      continue;
    if (isModem_) {
      std::lock_guard lock(protoMutex_);
      modem_.LineReceived(lines_.Line(), after);
      continue;
    }
    // A direct line has no modem between the stations: each line is handled as it comes, in
    // stream order with the packs around it.
    LinkActions now;
    {
      std::lock_guard lock(protoMutex_);
      DirectLineReceived(lines_.Line(), now);
    }
    now.Run();
  }
}

void TMdmLnk::ServiceTimers(std::uint32_t now, LinkActions& after) {
  for (std::size_t i = 0; i < timers_.size(); ++i) {
    ProtocolTimer& t = timers_[i];
    if (t.state == '0' || static_cast<std::uint32_t>(now - t.start) < t.period)
      continue;
    switch (i) {
      case 1:
        if (modem_.LineTimerExpired(after))
          return;
        break;
      case 2:
        SessionTimerExpired(t, after);
        return;
      case 3:
        TransferTimerExpired(t, after);
        return;
      default:
        break;  // timer 0 has no action
    }
  }
}

void TMdmLnk::SessionTimerExpired(ProtocolTimer&, LinkActions& after) {
  session_->TimerExpired(after);
}

void TMdmLnk::TransferTimerExpired(ProtocolTimer&, LinkActions& after) {
  transfer_->TimerExpired(after);
}

void TMdmLnk::TransferNextPack(LinkActions& after) {
  transfer_->SendNextPack(after);
}

void TMdmLnk::UpperLineReceived(int code, const QByteArray& line, LinkActions& after) {
  const QString text = platform::FromAnsi(line);
  switch (code) {
    case kCodeLoginPass:
      session_->LoginPassLine(text, after);
      break;
    case kCodeThisIsPc:
      session_->IdentificationLine(text, after);
      break;
    case kCodeShake:
      session_->ShakeLine(text, after);
      break;
    case kCodeFile:
      if (loadFTCP_)
        transfer_->TransferLine(text, after);
      break;
    default:
      break;
  }
}

void TMdmLnk::Connected(int outstanding, LinkActions&) {
  // The side that dialled (the dial command was outstanding) waits for the prompt.
  session_->Connected(outstanding == 0);
  transfer_->Connected();
}

void TMdmLnk::Disconnected(LinkActions&) {
  session_->Disconnected();
}

void TMdmLnk::DirectLineReceived(QByteArrayView line, LinkActions& after) {
  // As the modem layer logs its lines: every one with IsDebug, else those naming the other
  // station; an identification never with its password.
  const QString remote = remoteName_.trimmed();
  if (isDebug_ || !remote.isEmpty()) {
    const QString text = platform::FromAnsi(line.toByteArray());
    if (isDebug_ || text.contains(remoteName_))
      AddDebugMessage(PcLinkSession::MaskIdentification(text));
  }
  const int code = ClassifyLine(line);
  if (code >= kCodeLoginPass && code <= kCodeFile)
    UpperLineReceived(code, line.toByteArray(), after);
}

void TMdmLnk::FeedDataPack(std::uint8_t byte) {
  const DataPackParser& p = packParser_;
  switch (packParser_.Feed(byte)) {
    case DataPackParser::Result::More:
      return;
    case DataPackParser::Result::Pack:
      DeliverPack();
      return;
    case DataPackParser::Result::BadChecksum:
      AddDebugMessage(QStringLiteral("Bad DataPack command ChkSum"));
      if (TCmdDataNotifyEvent handler = OnChkSumErr) {
        static const std::uint8_t kNothing = 0;
        handler(nullptr, p.Header().data(), kPackHeaderSize, &kNothing, 0);
      }
      return;
    case DataPackParser::Result::BadCrc:
      AddDebugMessage(QString::asprintf("Bad DataPack data len=%d CRCValue:%4.4x<>%4.4x",
                                        p.DataLength(), p.ComputedCrc(), p.ReceivedCrc()));
      if (TCmdDataNotifyEvent handler = OnChkCRCErr) {
        handler(nullptr, p.Header().data(), kPackHeaderSize, p.Data(),
                static_cast<std::uint16_t>(p.DataLength()));
      }
      return;
    case DataPackParser::Result::Oversized:
      AddDebugMessage(QStringLiteral("Bad DataPack data len=%1: more than %2 bytes")
                          .arg(p.DataLength())
                          .arg(kMaxReceivedPackData));
      return;
  }
}

void TMdmLnk::DeliverPack() {
  const DataPackParser& p = packParser_;
  const auto length = static_cast<std::uint16_t>(p.DataLength());
  switch (p.Command()) {
    case kPackFileData: {
      if (!loadFTCP_)
        return;
      LinkActions after;
      {
        std::lock_guard lock(protoMutex_);
        transfer_->FileDataPack(p.Header(), p.Data(), length, after);
      }
      after.Run();
      return;
    }
    case kPackText: {
      const auto* text = reinterpret_cast<const char*>(p.Data());
      AddDebugMessage(QStringLiteral("receive cmd_f1 :") +
                      platform::FromAnsi(QByteArray(text, qstrnlen(text, length))));
      return;
    }
    default:
      if (TCmdDataNotifyEvent handler = OnRecvCmdData)
        handler(nullptr, p.Header().data(), kPackHeaderSize, p.Data(), length);
      return;
  }
}

void TMdmLnk::AddDebugMessage(const QString& message) {
  bool rolledOver = false;
  {
    // Both threads add lines; the roll-over runs under the same lock, so no line is lost or
    // written twice.
    std::lock_guard lock(debugMutex_);
    if (debugList_.size() > kDebugListLimit && flgAutoWriteDebugFile_) {
      if (platform::CreateDirectoryPath(DebugDir())) {
        SaveDebugLines(DebugDir() + QLatin1Char('/') + TimeStamp() + QStringLiteral(".txt"),
                       debugList_);
      }
      debugList_.clear();
      rolledOver = true;
    }
    debugList_.append(message);
  }
  if (debugTap_)
    debugTap_(message);
  if (rolledOver) {
    if (TNotifyEvent handler = OnMsgListClear)
      handler(this);
  }
}

QStringList TMdmLnk::DebugLines() const {
  std::lock_guard lock(debugMutex_);
  return debugList_;
}

// Appends, so that two roll-overs within the same second end up in one file instead of the
// second replacing the first.
void TMdmLnk::SaveDebugLines(const QString& path, const QStringList& lines) const {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
    return;
  QByteArray text;
  for (const QString& line : lines) {
    text += platform::ToAnsi(line);
    text += "\r\n";
  }
  file.write(text);
}

QString ExtractField(int first, int last, QChar separator, const QString& text) {
  if (first < 0)
    first = 0;
  if (last <= first)
    return {};
  qsizetype begin = first == 0 ? 0 : -1;
  qsizetype end = text.size();
  int occurrence = 0;
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (text[i] != separator)
      continue;
    ++occurrence;
    if (occurrence == first)
      begin = i + 1;
    if (occurrence == last) {
      end = i;
      break;
    }
  }
  if (begin < 0)
    return {};
  QString field = text.mid(begin, end - begin);
  field.remove(QLatin1Char('\r'));
  return field;
}

}  // namespace xv4
