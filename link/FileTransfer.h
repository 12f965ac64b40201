#pragma once
// FileTransfer: a file from one station to another over a connected line. Text lines (CR LF
// ended, fields separated by "|") negotiate the file; its bytes travel in data packs of
// PackSize bytes (DataPack.h, command byte 0xF0, text "f0 00 hh ll" for pack number hhll); a
// pack shorter than PackSize ends the file (so a file whose size is a multiple of it ends with an
// empty pack).
//
//   sender                                        receiver
//   "SEND_FILE|" name "|" dir "|" size "|" remark "|"   ->
//                                   <-   "RECEIVE_FILE|" name "|" dir "|"
//   "READY_TO_TRANS_FILE|" (three times, 1 s apart) ->
//   data packs; in TFMode 1 each one waits for   <-   "GOOD_WRITE_FILE|" pack text
//   "FINISHED_FILE|" name "|" dir "|" size "|"    ->
//                                   <-   "OVER_TALK_FILE|" name "|" OK or ERR "|"
//
// TFMode 0 streams one pack per call of SendNextPack (the link calls it once per worker pass);
// TFMode 1 sends the next pack once the last one is acknowledged and resends a pack that is not
// (a repeated pack is acknowledged again and not written twice). The transfer timer (the link's
// protocol timer 3; its text is the last line sent) paces the resends and gives up: the sender
// reports status 13 when the other station stops answering, the receiver 23 when no data comes.
//
// What a receiving station does with an offer from the other station is checked first: the file
// goes below the receive root and nowhere else (ReceivePath.h), not before the login while the
// session runs, not with a size that is not a number, and not while this station is busy with
// another transfer. A refused offer gets no acceptance (the sender times out), a debug line says
// why, and status 22 is raised. The file is received into a temporary file beside the target,
// which replaces the target only when the transfer ends OK; a failure keeps the old file.
//
// OnTransFile statuses (PS is the remark plus the text given): 11 "|finished send file ok",
// 12 "|finished send file err", 13 "|trans file timeout,so failed!", 20 "|receive file name",
// 21 "|receive file ... OK!", 22 "|receive file ... ERR!", 23 "|receive file timeout,so failed!".
//
// Threads: every member is called with the link's protocol lock held (see LinkLayer.h); sends
// and events go to the LinkActions. Files are read and written under the lock, by whichever
// thread holds it. Failures are return values, events and debug lines; nothing throws.

#include "link/DataPack.h"
#include "link/LinkLayer.h"

#include <QString>
#include <QStringView>

#include <array>
#include <cstdint>
#include <memory>

class QFile;
class QSaveFile;

namespace xv4 {

class FileTransfer {
 public:
  // Statuses of OnTransFile.
  enum Status : std::int16_t {
    kSentOk = 11,
    kSentErr = 12,
    kSendTimeout = 13,
    kOffered = 20,
    kReceivedOk = 21,
    kReceivedErr = 22,
    kReceiveTimeout = 23,
  };

  // Where a transfer stands, for a progress display.
  struct Progress {
    enum Direction { kIdle, kSending, kReceiving };
    Direction direction = kIdle;
    QString name;        // sending: the remote path; receiving: the local path
    qint64 done = 0;     // bytes sent or received so far
    qint64 total = 0;    // the file's size
    bool packs = false;  // a data pack has gone or come
    // Ticks of the first and the latest data pack, and the bytes done with the first one: the
    // data rate is (done - doneAfterFirstPack) / (lastPackTick - firstPackTick).
    std::uint32_t firstPackTick = 0;
    std::uint32_t lastPackTick = 0;
    qint64 doneAfterFirstPack = 0;
    std::uint32_t startTick = 0;  // when the send started or the offer came
    QString failure;              // why the last transfer failed, for the owner
  };

  // The transfer timer (the link's protocol timer 3) belongs to the link.
  FileTransfer(LinkLayerHost& host, ProtocolTimer& timer);
  ~FileTransfer();
  FileTransfer(const FileTransfer&) = delete;
  FileTransfer& operator=(const FileTransfer&) = delete;

  // --- Properties.
  std::int16_t Mode() const { return mode_; }
  void SetMode(std::int16_t mode) { mode_ = mode; }
  // Data bytes per pack, 1 to kMaxPackData; 0 (as constructed) is not a usable size.
  int PackSize() const { return packSize_; }
  void SetPackSize(int size) { packSize_ = size; }
  // Offered files are stored below this directory (empty: the application directory).
  QString ReceiveRoot() const;
  void SetReceiveRoot(const QString& dir) { receiveRoot_ = dir; }

  // --- Driven by the owner and the link.
  // A new connection: pack numbers start again.
  void Connected();
  // Starts sending localFile, to be stored on the other station as remotePath. False, with the
  // reason in *error (also a debug line), when the file cannot be read, the remote path or the
  // remark cannot travel in a line, PackSize or TFMode is unusable, a transfer is running, or the
  // session has not logged in yet.
  bool StartSend(const QString& localFile, const QString& remotePath, const QString& remark,
                 LinkActions& after, QString* error = nullptr);
  // Sends the next pack when one is due. The link calls it while connected and no write is
  // outstanding.
  void SendNextPack(LinkActions& after);
  // Builds a pack from its texts and sends it, remembering it as the last pack sent (a resend
  // repeats it). False, with a debug line, when the command text has fewer than four bytes or a
  // token is not hexadecimal, or the length does not fit a pack.
  bool SendDataPack(QStringView address, QStringView command, std::uint16_t value,
                    const std::uint8_t* data, int length, LinkActions& after);
  // A received line of the transfer ("..._FILE|...", without its CR LF).
  void TransferLine(const QString& line, LinkActions& after);
  // A received file data pack (command byte 0xF0) whose checksum and CRC were good.
  void FileDataPack(const std::array<std::uint8_t, kPackHeaderSize>& header,
                    const std::uint8_t* data, int length, LinkActions& after);
  // The transfer timer has run its period.
  void TimerExpired(LinkActions& after);
  // Ends a transfer in progress without an event (the owner gave up, the link closed): the send
  // file is closed, a file being received is dropped and the old one kept. `why` goes to the
  // debug list.
  void Abandon(const QString& why);

  bool Busy() const;
  Progress CurrentProgress() const;

 private:
  void Raise(const QString& name, const QString& dir, qint64 size, Status status,
             const QString& text, LinkActions& after);
  void Offer(const QString& line, LinkActions& after);
  void RefuseOffer(const QString& why, LinkActions& after);
  void Finished(const QString& line, LinkActions& after);
  void CloseSend();
  void DropReceive();
  // A data pack went or came; doneAfter: the bytes done with it.
  void MarkPack(qint64 doneAfter);
  QString FinishedText() const;

  LinkLayerHost& host_;
  ProtocolTimer& timer_;  // text: the last line sent (LastCommandText)
  std::int16_t mode_ = 0;
  int packSize_ = 0;
  QString receiveRoot_;

  // Sending.
  std::unique_ptr<QFile> sendFile_;
  QString sendName_;
  QString sendDir_;
  QString sendRemotePath_;  // as the owner gave it
  qint64 sendSize_ = 0;
  qint64 bytesSent_ = 0;
  int sendState_ = -1;  // -1 idle or all read, 0 next pack may go, 1 waiting for its ack
  QByteArray lastPack_;

  // Receiving.
  std::unique_ptr<QSaveFile> receiveFile_;  // the temporary file until the end line says OK
  QString receiveName_;
  QString receiveDir_;
  QString receivePath_;
  qint64 expectedSize_ = 0;
  qint64 bytesReceived_ = 0;
  int receiveState_ = -1;       // -1 idle or all received, 0 receiving
  bool receiveFailed_ = false;  // a write failed or the data ran past the announced size
  // The answer to the last end line, sent again when that end line comes again.
  QString lastResultName_;
  QString lastResultLine_;

  std::uint16_t packCounter_ = 0;
  QString lastPackText_;  // upper-case text of the last file data pack sent or received
  QString remark_;
  Progress::Direction direction_ = Progress::kIdle;
  bool packs_ = false;
  std::uint32_t firstPackTick_ = 0;
  std::uint32_t lastPackTick_ = 0;
  qint64 doneAfterFirstPack_ = 0;
  std::uint32_t startTick_ = 0;
  QString failure_;
};

}  // namespace xv4
