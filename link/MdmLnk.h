#pragma once
// TMdmLnk: the serial link between the device session and one serial port.
//
// Owns a TComm (fixed line settings: 8N1, DTR and RTS on, no read gap wait), the worker thread
// TNewData while open, two receive buffers, the debug message list, the protocol timers and the
// modem layer (ModemLayer). Writes go out one at a time; received bytes are forwarded to
// OnReceiveNewData at once from the UI thread and are also parsed by the worker (modem lines,
// data packs) every 50 ms. With a modem, the UI thread decides in stream order which bytes are
// the far end's: it reads the same lines as the worker (LineAssembler, ClassifyLine) and passes
// on what follows a CONNECT line until a NO CARRIER line or the link's own escape.
//
// Threads: the owner calls everything from the UI thread. SendBytes and AddDebugMessage may
// also be called from the worker (the protocol layers do). Events marked "worker" run on the
// worker thread; assign events before Activate(true). A handler on the worker may send
// (SendBytes then waits for the port without handling events), add debug lines, read the
// properties and queue modem commands; it must not touch UI objects or wait for the UI thread.
// Activate called on the worker is carried out on the link's own thread once that thread
// handles events (closing stops the worker after its current pass): the worker cannot stop
// itself, and the port belongs to the link's thread.
// The protocol layers (modem, PC-link session, file transfer) keep their state under
// protoMutex_; each step of the worker decides under it and leaves its sends and events to a
// LinkActions, which runs once the lock is released.
// Failures: Activate(true) throws ECommsError when the port cannot be opened (after a second
// try); SendBytes says why bytes did not go out; everything else reports through debug lines
// and events.

#include "link/BaudRate.h"
#include "link/DataPack.h"
#include "link/FileTransfer.h"
#include "link/LinkLayer.h"
#include "link/ModemLayer.h"
#include "link/PcLinkSession.h"
#include "link/SerialLink.h"
#include "platform/Time.h"
#include "transport/Comm.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace xv4 {

using TCmdDataNotifyEvent =
    std::function<void(QObject* sender, const std::uint8_t* cmdPak, std::uint16_t cmdLen,
                       const std::uint8_t* dataPak, std::uint16_t dataLen)>;
using TShakeHandsEvent = std::function<void(QObject* sender, int inStep, const QString& remotePc,
                                            const QString& inStu, const QString& ps)>;
using TTransFileEvent =
    std::function<void(QObject* sender, const QString& fileName, const QString& fileDir,
                       qint64 fileSize, std::int16_t status, const QString& ps)>;

class TNewData;

class TMdmLnk : public QObject, public SerialLink, private ModemClient {
 public:
  // Debug lines kept before the list rolls over into a file.
  static constexpr int kDebugListLimit = 10000;
  // Bytes a receive buffer holds between two worker passes before it grows.
  static constexpr std::size_t kReceiveBufferSize = 4095;
  // Beyond this a receive buffer stops growing and drops bytes (reported as a debug line).
  static constexpr std::size_t kReceiveBufferLimit = std::size_t{1} << 20;
  // Characters of a modem/session text line; a longer line loses its beginning.
  static constexpr std::size_t kLineBufferSize = LineAssembler::kSize;

  explicit TMdmLnk(QObject* owner = nullptr);
  // Waits for an outstanding write (no longer than it should take to drain), saves the debug
  // list and closes the port.
  ~TMdmLnk() override;
  TMdmLnk(const TMdmLnk&) = delete;
  TMdmLnk& operator=(const TMdmLnk&) = delete;

  // --- SerialLink ---
  // Also sets Tag from a leading "COM" number (case-insensitive) of at most 130; any other
  // name leaves Tag as it is. Reaches the port at the next open.
  void SetCommName(const QString& name) override;
  QString CommName() const override { return commName_; }
  // Passes the speed to the port at once (an open port applies it).
  void SetBaudRate(TBaudRate rate) override;
  TBaudRate BaudRate() const override { return baudRate_; }
  void SetIsModem(bool isModem) override { isModem_ = isModem; }
  bool IsModem() const override { return isModem_; }
  // A number that IsValidPhoneNumber refuses is stored but never dialled.
  void SetPhoneNumber(const QString& number) override;
  void SetFlgCreateThd(bool create) override { flgCreateThd_ = create; }
  void SetWaitForCall(bool wait) override;
  // Writes OptionFile (default "Option.ini") in the application directory.
  void SaveOptions(QObject* sender, int windowHandle) override;
  void Activate(bool open) override;
  // Starts a modem operation ("INITIAL", "DIALING", "HANGUP", "RESET", "VIEW", "SOFTRET"); the
  // worker carries it out from its next pass. Any thread.
  void ModemCommand(const QString& command) override;
  QString LastLine() const override;
  bool ModemConnected() override;
  LinkSend SendBytes(const std::uint8_t* buffer, int length) override;

  // --- further properties (plain stores; those the modem layer reads are guarded by its lock)
  int Tag() const { return tag_; }
  void SetTag(int tag) { tag_ = tag; }
  QString PhoneNumber() const;
  int RingCount() const;
  void SetRingCount(int count);
  QString OptionFile() const { return optionFile_; }
  void SetOptionFile(const QString& name) { optionFile_ = name; }
  // Data bytes per file data pack, the same on both stations: 1 to kMaxPackData (0, as
  // constructed, is not usable: a transfer needs it set).
  int FilePackSize() const;
  void SetFilePackSize(int size);
  // Runs the PC-link session on connections. Setting it while connected starts the session as
  // the answering side; clearing it stops the session.
  bool WantedToShake() const;
  void SetWantedToShake(bool shake);
  bool WaitForCall() const;
  bool LoadFTCP() const { return loadFTCP_; }
  void SetLoadFTCP(bool load) { loadFTCP_ = load; }
  // File-transfer acknowledgement: 0 packs stream, 1 each pack waits for its acknowledgement.
  std::int16_t TFMode() const;
  void SetTFMode(std::int16_t mode);
  bool IsDebug() const { return isDebug_; }
  void SetIsDebug(bool debug) { isDebug_ = debug; }
  bool FlgCreateThd() const { return flgCreateThd_; }
  bool FlgAutoWriteDebugFile() const { return flgAutoWriteDebugFile_; }
  void SetFlgAutoWriteDebugFile(bool write) { flgAutoWriteDebugFile_ = write; }
  QString Host() const { return host_; }
  void SetHost(const QString& host) { host_ = host; }
  int Port() const { return port_; }
  void SetPort(int port) { port_ = port; }

  // --- PC-link session (see PcLinkSession.h) ---
  QString Password() const;
  void SetPassword(const QString& password);
  // A second password that logs in; empty (the default) for none.
  void SetMasterPassword(const QString& password);
  QString StationTag() const;
  void SetStationTag(const QString& tag);
  // The other station's name as learned in the session.
  QString RemoteName() const;
  // The login of the current session has succeeded.
  bool LoggedIn() const;

  // --- direct line ---
  // A line without modems (a cable): connected (LinkState 1) from the open, no modem commands
  // and no status-line supervision; received lines are classified as with a modem, so the
  // session and the transfer run unchanged. In the session, a station that waits for calls
  // (WaitForCall) plays the answering side, the other the calling side. Set while closed.
  bool Direct() const { return direct_; }
  void SetDirect(bool direct) { direct_ = direct; }

  // --- file transfer (see FileTransfer.h) ---
  // Where offered files are stored (empty, the default: the application directory).
  QString ReceiveDir() const;
  void SetReceiveDir(const QString& dir);
  // Builds a data pack from its address and command texts and sends it. False, with a debug
  // line, when the command text has fewer than four hexadecimal bytes or the length does not fit.
  bool SendDataPack(const QString& address, const QString& command, std::uint16_t value,
                    const std::uint8_t* data, int length);
  // "INITIAL": starts sending localFile, to be stored as remotePath below the other station's
  // receive directory (false, with the reason in *error, when it cannot start). "TRANS": sends
  // the next pack when one is due (the worker does so by itself).
  bool TransferFile(const QString& command, const QString& localFile, const QString& remotePath,
                    const QString& remark, QString* error = nullptr);
  FileTransfer::Progress TransferProgress() const;
  // Ends a transfer in progress without an event: the owner gives up.
  void AbandonTransfer(const QString& why);

  // --- state ---
  bool PortOpen() const { return portOpen_; }
  bool SendIdle() const;
  int LinkState() const { return linkState_; }
  bool WorkerRunning() const { return workerRunning_; }
  TComm* Comm() const { return comm_.get(); }

  // Where the link reads its millisecond tick count (command time-outs, the line timer and the
  // protocol timers); platform::GetTickCount by default. Tests drive it. Set while closed.
  using TickSource = std::function<std::uint32_t()>;
  void SetTickSource(TickSource source);

  // Appends one line to the debug list; past kDebugListLimit lines (with FlgAutoWriteDebugFile)
  // the list is first saved to debug/mmddhhnnss.txt and cleared. Any thread.
  void AddDebugMessage(const QString& message);
  // A copy of the debug list. Any thread.
  QStringList DebugLines() const;
  // Sees every debug line as it is added, on the thread that adds it (a front end that shows
  // them). Set while closed.
  using DebugTap = std::function<void(const QString& line)>;
  void SetDebugTap(DebugTap tap) { debugTap_ = std::move(tap); }

  // Sees every byte the worker parses, in order (diagnostics and tests). Set while closed.
  using ParseTap = std::function<void(const std::uint8_t* bytes, std::size_t count)>;
  void SetParseTap(ParseTap tap) { parseTap_ = std::move(tap); }
  // Bytes parsed so far. Any thread.
  std::uint64_t ParsedByteCount() const { return parsedBytes_; }

  // Events (SerialLink adds OnReceiveNewData, OnSendBufEmpty, OnPortFailed and the nine modem
  // events).
  TCmdDataNotifyEvent OnRecvCmdData;  // worker
  TCmdDataNotifyEvent OnChkSumErr;    // worker
  TCmdDataNotifyEvent OnChkCRCErr;    // worker
  TShakeHandsEvent OnShakeHands;      // worker
  TTransFileEvent OnTransFile;        // worker
  TNotifyEvent OnDoExFunc;            // worker, once per pass; sender is the worker object
  TNotifyEvent OnMsgListClear;        // thread of the AddDebugMessage that rolled the list over

 private:
  friend class TNewData;
  friend class ModemLayer;
  friend class TMdmLnkTestAccess;

  void SwitchPort(bool open);
  void StopWorker();
  bool OnWorkerThread() const;
  // A new open starts from an empty receive queue, line and pack: nothing read before it is
  // parsed as part of what comes after. Called while no worker runs.
  void ResetReceiveState();
  void PortDataReceived(QObject* sender, const std::uint8_t* buffer, std::uint16_t length);
  void PortSendEmpty(QObject* sender);
  // UI thread: sleeps in the event loop until the port is free for the next write (true), or it
  // has failed or closed, or the outstanding write is past its due time (false).
  bool WaitSendIdle();
  // When a write of `length` bytes started now should have drained.
  std::chrono::steady_clock::time_point DueAfter(int length) const;
  void PortHangup(QObject* sender);
  // UI thread, with a modem: the parts of a received chunk that belong to the far end, in
  // stream order (see the class comment), as [begin, end) offsets.
  void FindForwardedRuns(const std::uint8_t* buffer, std::uint16_t length,
                         std::vector<std::pair<std::size_t, std::size_t>>& runs);
  // Any thread: nothing received from now on is the far end's until the next CONNECT line (the
  // link has written to the modem, or the line has gone).
  void CutForwarding() { forwardingCuts_.fetch_add(1); }
  // UI thread: takes note of the cuts made since the last look.
  void ApplyForwardingCuts();
  // Worker: raises or drops DTR on the open port (false when it has no DTR line).
  bool SetDtrLine(bool on) { return comm_->SetDtrLine(on); }
  std::uint32_t Now() const { return tickSource_ ? tickSource_() : platform::GetTickCount(); }

  // Worker. The protocol steps run with protoMutex_ held and leave their sends and events to
  // `after`.
  // One pass; `periodic` for the pass of the 50 ms schedule (TFMode 0 sends its packs on those
  // only), false for one woken by work. True when work is left for another pass at once (received
  // modem answers still waiting).
  bool WorkerPass(QObject* worker, bool periodic);
  void ProcessIncoming(LinkActions& after);
  void ParseBytes(const std::uint8_t* bytes, std::size_t count, LinkActions& after);
  void ServiceTimers(std::uint32_t now, LinkActions& after);
  void SessionTimerExpired(ProtocolTimer& timer, LinkActions& after);
  void TransferTimerExpired(ProtocolTimer& timer, LinkActions& after);
  void TransferNextPack(LinkActions& after);
  void FeedDataPack(std::uint8_t byte);
  void DeliverPack();
  // Wakes the worker for a pass now: bytes arrived or a write drained.
  void WakeWorker();

  // ModemClient: where the PC-link session and the file transfer take over (protoMutex_ held).
  void UpperLineReceived(int code, const QByteArray& line, LinkActions& after) override;
  void Connected(int outstanding, LinkActions& after) override;
  void Disconnected(LinkActions& after) override;
  // Direct line: a received line handed to the session or the transfer at once.
  void DirectLineReceived(QByteArrayView line, LinkActions& after);

  void SaveDebugLines(const QString& path, const QStringList& lines) const;

  std::unique_ptr<TComm> comm_;

  // Properties. Those the worker reads are atomic or guarded by protoMutex_; the rest belong to
  // the UI thread.
  QString commName_ = QStringLiteral("COM2");
  int tag_ = 0;
  std::atomic<TBaudRate> baudRate_{tbr460800};  // the worker reads it to time its writes
  QString phoneNumber_;                         // guarded by protoMutex_
  int ringCount_ = 0;                           // guarded by protoMutex_
  QString optionFile_ = QStringLiteral("Option.ini");
  bool waitForCall_ = true;  // guarded by protoMutex_
  std::atomic<bool> loadFTCP_{false};
  std::atomic<bool> isModem_{false};
  std::atomic<bool> isDebug_{false};
  bool flgCreateThd_ = true;
  std::atomic<bool> flgAutoWriteDebugFile_{true};
  QString host_;
  int port_ = 0;

  std::atomic<bool> portOpen_{false};
  std::atomic<int> linkState_{0};  // -1 power failure, 0 idle, 1 connected, 2 hanging up
  std::atomic<bool> direct_{false};

  // One write outstanding at a time. sendMutex_ guards the group: SendBytes tests and clears
  // sendIdle_ in one step under it, so two threads can never both find the port idle.
  mutable std::mutex sendMutex_;
  std::condition_variable sendWake_;  // a worker waiting in SendBytes
  bool sendIdle_ = true;
  bool portFailed_ = false;      // the port hung up: nothing more can be written until reopened
  bool workerStopping_ = false;  // a worker waiting in SendBytes gives up
  // When the write outstanding should have drained; a port stuck past it gets no more writes.
  std::chrono::steady_clock::time_point drainDue_{};
  // UI thread: the port's read number when the owner's latest SendBytes handed its bytes over.
  // Chunks read up to then are not the owner's any more.
  std::uint64_t ownerReadMark_ = 0;

  // Forwarding with a modem (UI thread): the receive path's own line reader, whether the far
  // end's bytes pass, and the count of cuts it has acted on. The worker and the owner cut
  // forwarding by counting up forwardingCuts_; the receive path compares before each chunk.
  LineAssembler forwardLines_;
  bool forwarding_ = false;
  bool lfEndsConnect_ = false;  // the CONNECT line ended with CR: its LF may follow
  std::uint32_t cutsSeen_ = 0;
  std::atomic<std::uint32_t> forwardingCuts_{0};

  // Receive double buffer. The UI thread appends whole chunks to incoming_ under rxMutex_; the
  // worker swaps incoming_ with its own parsing_ under the same lock and parses parsing_ without
  // it. Each byte therefore lands in exactly one buffer and is parsed once.
  std::mutex rxMutex_;
  std::vector<std::uint8_t> incoming_;
  std::size_t droppedBytes_ = 0;
  std::vector<std::uint8_t> parsing_;  // worker only

  // Worker-only parser state.
  LineAssembler lines_;
  DataPackParser packParser_;
  ParseTap parseTap_;
  std::atomic<std::uint64_t> parsedBytes_{0};

  // Modem, session and transfer state, shared by the worker and the owner's commands. Held by
  // the worker while a step decides and by the owner while it changes them; never while
  // sending or raising an event.
  mutable std::recursive_mutex protoMutex_;
  QString remoteName_;
  std::array<ProtocolTimer, 4> timers_;
  class LayerHost;
  std::unique_ptr<LayerHost> layerHost_;
  std::unique_ptr<PcLinkSession> session_;  // its timer is timers_[2]
  std::unique_ptr<FileTransfer> transfer_;  // its timer is timers_[3]
  ModemLayer modem_{*this, *this, timers_[1], timers_[2]};
  TickSource tickSource_;  // set while closed; read by the worker

  // UI thread: finds the passwords in received bytes, which the hex dump must not show.
  IdentificationMasker rxMasker_;

  mutable std::mutex debugMutex_;
  QStringList debugList_;
  DebugTap debugTap_;

  std::unique_ptr<TNewData> worker_;
  std::atomic<bool> workerRunning_{false};
};

// Characters after the first-th and before the last-th occurrence of separator in text, with
// every CR removed: field k of a separated line is ExtractField(k, k + 1, ...). Occurrence 0 is
// the start of the text and a missing last occurrence is its end; a field that is not there
// gives an empty text. Fields of any length are returned whole.
QString ExtractField(int first, int last, QChar separator, const QString& text);

}  // namespace xv4
