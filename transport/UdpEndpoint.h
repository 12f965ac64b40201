#pragma once
// One IPv4 UDP socket bound to a local port, exchanging datagrams with one remote host and port.
//
// Owns the socket, its read notifier and, while a host name is being looked up, one helper
// thread that is joined before the lookup returns. UI thread only: a datagram's arrival runs
// OnDataReceived on the thread that created the endpoint, whenever that thread handles events
// (the device session's waits do so continuously).
//
// Failures: a socket that cannot be created throws UDPSockError ("Unknown Error No. " + errno);
// an unusable destination throws UDPSockError ("Null Remote Address", "Host Lookup Canceled"); a
// send of no bytes throws std::runtime_error("Invalid buffer"); a remote port outside 1..65535
// throws std::out_of_range. A failed bind leaves the socket unbound (the first send binds it to
// a port the system chooses) and is kept in BindError() for the owner to report; a datagram that
// the system refuses to send is lost without notice: to the printer protocol that looks like a
// time-out.

#include "platform/UniqueFd.h"

#include <QObject>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

class QSocketNotifier;

namespace xv4 {

// Thrown when a socket cannot be created or a datagram has no usable destination.
class UDPSockError : public std::runtime_error {
 public:
  explicit UDPSockError(const std::string& message, int code = 0)
      : std::runtime_error(message), code_(code) {}
  // The errno behind the failure; 0 for the destination errors.
  int Code() const noexcept { return code_; }

 private:
  int code_;
};

using TNotifyEvent = std::function<void(QObject* sender)>;

class TUdpEndpoint : public QObject {
 public:
  // A received datagram larger than this is not delivered: its length reads as -1.
  static constexpr int kReceiveBufferSize = 2048;
  // RemoteHost keeps at most this many characters.
  static constexpr int kMaxHostLength = 128;

  // Status levels: OnStatus sees the texts whose level is at most ReportLevel.
  static constexpr int kStatusSending = 2;    // "Sending Data"
  static constexpr int kStatusErrorText = 8;  // "Initializing Winsock", "Looking Up Error Message"
  static constexpr int kStatusErrorCheck = 16;  // "Checking Error In Error Manager"

  // numberBytes is the datagram's length, or -1 after a receive error or an oversized datagram.
  // fromIP is the sender's dotted address, port its port. The handler should call ReadDatagram
  // before it returns: the next datagram replaces the receive buffer.
  using TOnReceive =
      std::function<void(QObject* sender, int numberBytes, const QString& fromIP, int port)>;
  using TOnStatus = std::function<void(QObject* sender, const QString& status)>;
  // A host-name lookup failed; setting handled asks for one more attempt.
  using THandlerEvent = std::function<void(QObject* sender, bool& handled)>;
  // Asked to send no bytes; the handler may supply another buffer and length and set handled.
  using TBuffInvalid =
      std::function<void(QObject* sender, bool& handled, const std::uint8_t*& buffer, int& length)>;

  // Looks a host name up; returns its IPv4 address in host byte order, or nothing. Runs on a
  // helper thread, so it must not touch UI-thread state.
  using HostResolver = std::function<std::optional<std::uint32_t>(const QString& name)>;
  // Sees every datagram right before it goes out (address in host byte order); returning false
  // drops it unsent. Lets a test capture what would go to a non-loopback printer address.
  using TransmitFilter = std::function<bool(std::uint32_t address, std::uint16_t port,
                                            const std::uint8_t* data, int length)>;

  // Creates an unbound socket. Throws UDPSockError when the socket cannot be created.
  explicit TUdpEndpoint(QObject* owner = nullptr);
  ~TUdpEndpoint() override;
  TUdpEndpoint(const TUdpEndpoint&) = delete;
  TUdpEndpoint& operator=(const TUdpEndpoint&) = delete;

  // Destination: a dotted IPv4 address (resolved at once, no lookup) or a host name (looked up
  // at every send). Only the first kMaxHostLength characters are kept.
  QString RemoteHost() const { return remoteHost_; }
  void SetRemoteHost(const QString& host);
  int RemotePort() const { return remotePort_; }
  // Throws std::out_of_range for a port outside 1..65535 and keeps the previous one: a wider
  // number would be cut to 16 bits and reach another port.
  void SetRemotePort(int port);

  // Closes the socket, creates a new one and binds it to this port on every local address
  // (0 lets the system choose; BoundPort() tells which). Arms the read notifications. Throws
  // UDPSockError when the new socket cannot be created (the endpoint then has no socket). A
  // bind that fails (the port is taken) is not an error; BoundPort() then reads 0 until the
  // first send and BindError() tells why.
  int LocalPort() const { return localPort_; }
  void SetLocalPort(int port);
  // The local port the socket is bound to now, 0 when it is not bound.
  int BoundPort() const;
  // errno of the bind of the last SetLocalPort (EADDRINUSE: another program has the port), 0
  // when it succeeded.
  int BindError() const { return bindError_; }

  // When set, each send first reads and drops the datagrams that are already waiting, right
  // before its own datagram leaves: for a request and its answer, nothing that arrived earlier
  // is taken for the answer. Off at creation.
  void SetDiscardBeforeSend(bool on) { discardBeforeSend_ = on; }

  // Highest status level passed to OnStatus; 1 at creation.
  int ReportLevel() const { return reportLevel_; }
  void SetReportLevel(int level) { reportLevel_ = level; }

  // Sends one datagram of length bytes to RemoteHost:RemotePort. A length of 0 or less asks
  // OnBufferInvalid once and otherwise throws std::runtime_error("Invalid buffer"). Throws
  // UDPSockError for a destination of 0.0.0.0 or a host name that cannot be looked up. While a
  // name is looked up, events keep being handled (datagrams are delivered meanwhile).
  void SendDatagram(const std::uint8_t* buffer, int length);

  // Copies the last received datagram into buffer (at most buffer.size() bytes) and returns the
  // number of bytes copied, or -1 when the last receive failed or the datagram was too large.
  int ReadDatagram(std::span<std::uint8_t> buffer) const;

  // The destination's IPv4 address in host byte order (0 for 0.0.0.0), looking a name up when
  // RemoteHost is not a dotted address. Throws UDPSockError("Host Lookup Canceled").
  std::uint32_t ResolveRemoteAddress();

  // Stores text as the last status and passes it to OnStatus when level <= ReportLevel.
  void ReportStatus(int level, const QString& text);
  QString LastStatus() const { return lastStatus_; }
  // errno of the last failed socket call (bind, sendto, recvfrom, socket), 0 if none.
  int LastError() const { return lastError_; }

  TOnReceive OnDataReceived;
  TNotifyEvent OnDataSend;
  TOnStatus OnStatus;
  THandlerEvent OnInvalidHost;
  TBuffInvalid OnBufferInvalid;

  // Empty: getaddrinfo.
  HostResolver Resolver;
  // Empty: every datagram is sent.
  TransmitFilter BeforeTransmit;

 private:
  friend class TUdpEndpointTestAccess;

  void CreateSocket();
  void CloseSocket();
  void Bind();
  void ReadReady();
  bool ReceivePending();
  void DiscardWaiting();
  std::optional<std::uint32_t> LookupHost(const QString& name);
  void RaiseSocketError(int code);
  const QString& SenderText(std::uint32_t address);

  platform::UniqueFd fd_;
  std::unique_ptr<QSocketNotifier> notifier_;
  bool reading_ = false;  // inside a read notification's handler
  bool ready_ = false;

  QString remoteHost_;
  std::optional<std::uint32_t> dottedHost_;  // RemoteHost as an address, when it is one
  int remotePort_ = 0;
  int localPort_ = 0;
  int reportLevel_ = 1;
  int bindError_ = 0;
  bool discardBeforeSend_ = false;
  std::uint32_t remoteAddress_ = 0;  // last resolved destination, host byte order

  std::array<std::uint8_t, kReceiveBufferSize> receiveBuffer_{};
  int lastLength_ = 0;
  // Most senders are the one printer: its dotted text is formatted once, not per datagram.
  std::uint32_t lastSender_ = 0;
  QString lastSenderText_;

  QString lastStatus_;
  int lastError_ = 0;
};

}  // namespace xv4
