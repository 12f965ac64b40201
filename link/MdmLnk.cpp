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

// The link's worker: one pass every 50 ms until stopped. Owned by the link and joined by
// Stop(); the sleep between passes is a condition-variable wait that Stop() cuts short.
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

  // The worker running on the calling thread, if any.
  static TNewData* Current() { return current_; }

  TMdmLnk* const Link;

 private:
  static constexpr std::chrono::milliseconds kPass{50};
  static thread_local TNewData* current_;

  void Run() {
    current_ = this;
    std::unique_lock lock(mutex_);
    while (!stop_) {
      lock.unlock();
      Link->WorkerPass(this);
      lock.lock();
      wake_.wait_for(lock, kPass, [this] { return stop_; });
    }
    Link->workerRunning_ = false;
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;  // guarded by mutex_
  std::thread thread_;
};

thread_local TNewData* TNewData::current_ = nullptr;

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

TMdmLnk::TMdmLnk(QObject* owner) : QObject(owner), comm_(std::make_unique<TComm>()) {
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

void TMdmLnk::SetWantedToShake(bool shake) {
  std::lock_guard lock(protoMutex_);
  wantedToShake_ = shake;
}

bool TMdmLnk::WantedToShake() const {
  std::lock_guard lock(protoMutex_);
  return wantedToShake_;
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
  ini.WriteInteger("Option", "TFMode", tfMode_);
  ini.WriteInteger("Option", "RingCount", RingCount());
  ini.WriteInteger("Window", "HWnd", windowHandle);
  ini.WriteInteger("Option", "FilePackSize", filePackSize_);
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
  packActive_ = false;
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
  if (isDebug_) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    QByteArray dump;
    dump.reserve(length * 3);
    for (std::uint16_t i = 0; i < length; ++i) {
      dump += kHex[buffer[i] >> 4];
      dump += kHex[buffer[i] & 0x0F];
      dump += ' ';
    }
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

void TMdmLnk::WorkerPass(QObject* worker) {
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
  if (linkState_ == 1 && loadFTCP_ && SendIdle()) {
    {
      std::lock_guard lock(protoMutex_);
      TransferNextPack(after);
    }
    after.Run();
  }
  if (TNotifyEvent handler = OnDoExFunc)
    handler(worker);
}

void LinkActions::Run() {
  for (std::size_t i = 0; i < actions_.size(); ++i) {
    const std::function<void()> action = std::move(actions_[i]);
    action();
  }
  actions_.clear();
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
    if (packActive_) {
      FeedDataPack(b);
      continue;
    }
    if (loadFTCP_ && b == 0xAA) {
      // A data pack shares the line buffer: a partly received text line is given up.
      lines_.Clear();
      StartDataPack(b);
      continue;
    }
    if (!isModem_)
      continue;  // already forwarded to the owner; nothing for the link in it
    if (lines_.Feed(b)) {
      std::lock_guard lock(protoMutex_);
      modem_.LineReceived(lines_.Line(), after);
    }
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

void TMdmLnk::SessionTimerExpired(ProtocolTimer&, LinkActions&) {
  // The PC-link session resends its prompt, identification or keep-alive line here.
}

void TMdmLnk::TransferTimerExpired(ProtocolTimer&, LinkActions&) {
  // The file transfer resends its last line or pack, or gives up, here.
}

void TMdmLnk::TransferNextPack(LinkActions&) {
  // The file transfer sends its next data pack here while connected and no write is pending.
}

void TMdmLnk::UpperLineReceived(int, const QByteArray&, LinkActions&) {
  // The PC-link session takes its login and handshake lines (codes 9, 10, 11) here, the file
  // transfer its "_FILE|" lines (code 12).
}

void TMdmLnk::Connected(int, LinkActions&) {
  // The PC-link session starts its login here when WantedToShake is set (prompting when this
  // side answered, waiting for the prompt when it dialled), and the file transfer resets its
  // pack counter and last pack text.
}

void TMdmLnk::Disconnected(LinkActions&) {
  // The connection has ended: the session and the transfer forget it here. (The modem layer
  // has already stopped the SessionTimer and cleared RemoteName.)
}

void TMdmLnk::StartDataPack(std::uint8_t) {
  // The data-pack receiver (header with checksum, data with CRC) takes over from the start byte
  // once the file transfer is in place; until then the start byte only ends the text line.
  packActive_ = false;
}

void TMdmLnk::FeedDataPack(std::uint8_t) {
  packActive_ = false;
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
