#pragma once
// What the device session needs of its serial link.
//
// TMdmLnk is the real link (serial port, optional AT modem, worker thread). The session talks to
// it only through this interface, so tests can put a double in its place.
//
// UI thread only, except that OnAnswerOK is raised on the link's worker thread.
// Failures: opening throws; a send that cannot go out says why in its result.

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
  Taken,   // handed to the port; its drain report follows
  Closed,  // the port is not open
  Failed,  // the port hung up or failed (an unplugged adapter): nothing leaves until it reopens
  Stuck,   // the previous write has not left in the time it should have taken
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
  // Queues a modem command ("INITIAL", ...); does nothing useful without a modem.
  virtual void ModemCommand(const QString& command) = 0;
  // Queues bytes for the port. At most one write is outstanding: a second call waits, handling
  // events, until the first has drained. Anything but Taken means nothing was sent and no drain
  // report follows, so the caller need not wait for one. Bytes that the port had read before
  // the call handed its bytes over are not passed on to OnReceiveNewData afterwards (their
  // events may still be queued): they cannot be an answer to these bytes.
  virtual LinkSend SendBytes(const std::uint8_t* buffer, int length) = 0;

  // Raised on the UI thread with every chunk of received bytes that the link passes on.
  TMyNotifyEvent OnReceiveNewData;
  // Raised on the UI thread when the port's write queue has drained.
  TNotifyEvent OnSendBufEmpty;
  // Raised on the UI thread when the port hangs up or fails: an outstanding write will never be
  // reported drained, and SendBytes refuses until the port is opened again.
  TNotifyEvent OnPortFailed;
  // Raised on the link's worker thread when the modem answered OK.
  TNotifyEvent OnAnswerOK;
};

}  // namespace xv4
