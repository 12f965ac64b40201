#pragma once
// What the device session needs of its serial link.
//
// TMdmLnk is the real link (serial port, optional AT modem, worker thread). The session talks to
// it only through this interface, so tests can put a double in its place; the operations use it
// to dial through the modem.
//
// UI thread only, except that the modem events (OnAnswerOK among them) are raised on the link's
// worker thread. Failures: opening throws; a send that cannot go out says why in its result.

#include "link/BaudRate.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>

namespace xv4 {

// Received bytes: valid only during the call.
using TMyNotifyEvent =
    std::function<void(QObject* sender, const std::uint8_t* buffer, std::uint16_t bufferLength)>;
using TNotifyEvent = std::function<void(QObject* sender)>;

// What became of the bytes handed to SendBytes.
enum class LinkSend : std::uint8_t {
  Taken,    // handed to the port; its drain report follows
  Closed,   // the port is not open
  Failed,   // the port hung up or failed (an unplugged adapter): nothing leaves until it reopens
  Stuck,    // the previous write has not left in the time it should have taken
  Offline,  // a modem is attached and has no connection: the bytes would reach only the modem
};

class SerialLink {
 public:
  virtual ~SerialLink() = default;

  virtual void SetCommName(const QString& name) = 0;
  virtual QString CommName() const = 0;
  // Takes effect at once on an open port.
  virtual void SetBaudRate(TBaudRate rate) = 0;
  virtual TBaudRate BaudRate() const = 0;
  virtual void SetIsModem(bool isModem) = 0;
  virtual bool IsModem() const = 0;
  virtual void SetPhoneNumber(const QString& number) = 0;
  virtual void SetFlgCreateThd(bool create) = 0;
  virtual void SetWaitForCall(bool wait) = 0;

  // Writes the link-options file (Option.ini in the application directory).
  virtual void SaveOptions(QObject* sender, int windowHandle) = 0;
  // Opens (true) or closes (false) the port. Opening throws (ECommsError) when the port cannot
  // be opened.
  virtual void Activate(bool open) = 0;
  // Queues a modem command ("INITIAL", "DIALING", "HANGUP", ...); does nothing useful without a
  // modem.
  virtual void ModemCommand(const QString& command) = 0;
  // UI thread. With a modem: whether the far end is on the line now, as the received lines tell
  // in stream order (from CONNECT until NO CARRIER or the link's own escape); the owner's sends
  // go out only then. Always true without a modem.
  virtual bool ModemConnected() = 0;
  // The modem's answer that the latest modem event was about ("BUSY", "NO DIALTONE"); empty
  // when the event came from a time-out. Any thread; meaningful inside a modem event's handler.
  virtual QString LastLine() const = 0;
  // Queues bytes for the port. At most one write is outstanding: a second call waits, handling
  // events, until the first has drained. Anything but Taken means nothing was sent and no drain
  // report follows, so the caller need not wait for one. Bytes that the port had read before
  // the call handed its bytes over are not passed on to OnReceiveNewData afterwards (their
  // events may still be queued): they cannot be an answer to these bytes. With a modem, the
  // owner's bytes go out only while the modem is connected (Offline otherwise).
  virtual LinkSend SendBytes(const std::uint8_t* buffer, int length) = 0;

  // Raised on the UI thread with every chunk of received bytes that the link passes on: every
  // chunk without a modem; with one, what arrives between its CONNECT line and its NO CARRIER
  // line (or the link's own escape).
  TMyNotifyEvent OnReceiveNewData;
  // Raised on the UI thread when the port's write queue has drained.
  TNotifyEvent OnSendBufEmpty;
  // Raised on the UI thread when the port hangs up or fails: an outstanding write will never be
  // reported drained, and SendBytes refuses until the port is opened again.
  TNotifyEvent OnPortFailed;

  // The modem events, raised on the link's worker thread with the link as sender. A handler may
  // send, queue modem commands and read the link's state; it must not touch UI objects or wait
  // for the UI thread. Assign them while the link is closed.
  TNotifyEvent OnConnection;          // this side dialled and the modem connected
  TNotifyEvent OnAnswerOK;            // this side answered a call (or the modem did) and connected
  TNotifyEvent OnBusy;                // BUSY
  TNotifyEvent OnNoCarrier;           // NO CARRIER, and the escape step of a sequence (twice)
  TNotifyEvent OnNoDialTone;          // NO DIALTONE, a dial or answer time-out, the hang-up step
  TNotifyEvent OnNoAnswer;            // NO ANSWER
  TNotifyEvent OnResponseForDial;     // RING, while answering calls
  TNotifyEvent OnFinishedExecMdmCmd;  // a command sequence has ended (its last OK, or CONNECT)
  TNotifyEvent OnOffLine;             // every OK
};

}  // namespace xv4
