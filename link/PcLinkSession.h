#pragma once
// PcLinkSession: the text session two stations hold over a connected line. The answering station
// prompts for a password, the calling station names itself and gives the password, the answering
// station accepts or refuses, and both then send a handshake line every few seconds as a
// keep-alive. Lines on the wire, each ended by CR LF:
//
//   "LOGIN PASSWORD:"                            answering: prompt
//   "THIS IS PC/" identity " " password          calling: identification
//   "LOGIN PASSWORD OK/" identity                answering: accepted (its handshake line follows)
//   "PC/" identity "/ SHAKE HANDS"               both: handshake and keep-alive
//   "LOGIN PASSWORD ERROR" + "LOGIN PASSWORD:"   answering: refused, and a new prompt
//
// identity: the computer name (at most 15 characters), "/", the station tag, "/"; "UnKnown"
// when the computer name cannot be read.
//
// The session runs while WantedToShake is set. It starts on a connection (or when WantedToShake
// is set on a connected line) and then lives on the session timer ('P' prompting, 'W' waiting
// for the prompt, 'I' identification sent, 'H' handshake established; ten periods without a
// handshake line end it with "ENQ timeout,offline...").
//
// Only the whole password logs in, in any letter case, and no other unless the owner sets a
// master password. Passwords never reach the debug list: the identification line is logged
// with its password masked (see MaskIdentification and IdentificationMasker).
//
// Threads: every member is called with the link's protocol lock held (see LinkLayer.h); sends
// and OnShakeHands go to the LinkActions. Failures: a refused login is an "ERR" event on both
// sides; silence ends the session with a debug line. Nothing throws.

#include "link/LinkLayer.h"

#include <QString>

#include <cstdint>

namespace xv4 {

class PcLinkSession {
 public:
  static constexpr int kTries = 10;  // expiries without a handshake line before the session ends

  // The session timer (the link's protocol timer 2) belongs to the link.
  PcLinkSession(LinkLayerHost& host, ProtocolTimer& timer);

  // --- Properties.
  QString Password() const { return password_; }
  void SetPassword(const QString& password) { password_ = password; }
  // A second password that also logs in; empty (the default): none.
  void SetMasterPassword(const QString& password) { masterPassword_ = password; }
  QString StationTag() const { return stationTag_; }
  void SetStationTag(const QString& tag) { stationTag_ = tag; }
  // The computer name used in the identity (the host name at construction, blanks and slashes
  // replaced by '-', at most 15 characters); empty gives the identity "UnKnown".
  void SetComputerName(const QString& name);
  QString LocalIdentity() const;
  bool Wanted() const { return wanted_; }

  // --- Driven by the link.
  // WantedToShake assigned (also with an unchanged value). Setting it while connected starts the
  // session as the answering side; clearing it stops it.
  void SetWanted(bool wanted, bool connected);
  // The line is connected: with WantedToShake, the session starts; `calling` is the side that
  // dialled (it waits for the prompt), the other one prompts.
  void Connected(bool calling);
  // The connection is gone (no carrier, the link closed): the session stops.
  void Disconnected();

  // Received lines, as the link's classifier sorts them (each without its CR LF).
  void LoginPassLine(const QString& line, LinkActions& after);       // "LOGIN PASS"
  void IdentificationLine(const QString& line, LinkActions& after);  // "THIS IS PC/"
  void ShakeLine(const QString& line, LinkActions& after);           // "SHAKE"
  // The session timer has run its period.
  void TimerExpired(LinkActions& after);

  // The other station has been logged in (answering side) or has let this one in (calling side)
  // in the current session.
  bool LoggedIn() const { return loggedIn_; }

  // The line with the password of an identification masked, for the debug list.
  static QString MaskIdentification(const QString& line);

 private:
  QString ShakeText() const;
  void Raise(const QString& remote, const QString& stu, const QString& ps, LinkActions& after);

  LinkLayerHost& host_;
  ProtocolTimer& timer_;
  QString password_ = QStringLiteral("kiv");
  QString masterPassword_;
  QString stationTag_;
  QString computerName_;
  QString resendText_;  // the line the timer sends again
  bool wanted_ = false;
  bool answering_ = false;  // this side prompts and checks passwords
  bool loggedIn_ = false;
};

// Masks passwords in a stream of received bytes for its hex dump: after "THIS IS PC/" and the
// blank that ends the identity, every byte up to the end of the line is reported as secret. Keeps
// its place across chunks. One thread (the one that dumps received bytes).
class IdentificationMasker {
 public:
  // Whether the byte belongs to a password (feed every received byte in order).
  bool Secret(std::uint8_t byte);

 private:
  int matched_ = 0;      // characters of "THIS IS PC/" matched so far in this line
  bool inName_ = false;  // after "THIS IS PC/", before the blank
  bool inSecret_ = false;
};

}  // namespace xv4
