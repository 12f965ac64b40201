#pragma once
// A small TCP client for short raw connections (the cash-drawer command to a printer's raw
// printing port): resolve, connect within a time-out, send, disconnect, connect again.
//
// Owns at most one socket. UI thread (or any single thread); Connect() blocks the caller for the
// host look-up and at most the time-out, Disconnect() for at most kLingerMs. Connect() throws
// ESocketError with the message the user sees ("Connect timed out.", "Socket Error # N" + line
// break + the error's text, "Already connected.", or the look-up's own text such as "Host not
// found."); Send() and Disconnect() never throw.

#include <QString>

#include <cstdint>
#include <stdexcept>

namespace xv4 {

class ESocketError : public std::runtime_error {
 public:
  // code is the socket error number (an errno value, or a host look-up error code); 0 for the
  // errors that have no number (time-out, already connected).
  ESocketError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
  int Code() const { return code_; }

 private:
  int code_;
};

// The text that names a socket error: "Connection refused.", "Host not found.", ... Codes at or
// above zero are errno values; negative codes are host look-up (getaddrinfo) errors.
QString SocketErrorText(int code);

// "Socket Error # N" + line break + SocketErrorText(N).
QString SocketErrorMessage(int code);

class TTcpClient {
 public:
  // How long Disconnect waits for the other side to close its end.
  static constexpr int kLingerMs = 500;

  TTcpClient();
  ~TTcpClient();
  TTcpClient(const TTcpClient&) = delete;
  TTcpClient& operator=(const TTcpClient&) = delete;

  // Target of the next Connect: a host name or an address literal, and a port.
  void SetHost(const QString& host) { host_ = host; }
  const QString& Host() const { return host_; }
  void SetPort(int port) { port_ = port; }
  int Port() const { return port_; }

  // Resolves Host (not covered by the time-out) and connects to the first address that accepts
  // within timeoutMs. On failure the socket is closed and ESocketError is thrown.
  void Connect(int timeoutMs);

  // Writes the bytes; returns the number written, -1 when the socket failed before any byte
  // went out or the client is not connected. Never raises SIGPIPE.
  std::int64_t Send(const void* data, std::int64_t size);

  // Ends the connection in order (shutdown, then reading to the end of the other side's stream
  // for at most kLingerMs) and closes it; harmless when not connected.
  void Disconnect();

  bool Connected() const { return fd_ >= 0; }

 private:
  QString host_;
  int port_ = 0;
  int fd_ = -1;
};

}  // namespace xv4
