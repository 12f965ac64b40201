#pragma once
// A serial link double for device-session tests: records what the session asks of the link and
// plays back scripted printer answers as received chunks, on the UI thread, like the real link.

#include "link/SerialLink.h"
#include "platform/Time.h"

#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

namespace xv4::test {

class FakeSerialLink : public SerialLink {
 public:
  using Bytes = std::vector<std::uint8_t>;
  struct Chunk {
    Bytes bytes;
    int delayMs = 1;  // after the send
  };
  struct Sent {
    Bytes bytes;
    TBaudRate baud;
    std::uint32_t tick;
  };
  // Answers to the index-th SendBytes.
  using Script = std::function<std::vector<Chunk>(int index, const Bytes& sent)>;

  void SetCommName(const QString& name) override { commName = name; }
  QString CommName() const override { return commName; }
  void SetBaudRate(TBaudRate rate) override {
    baud = rate;
    baudChanges.push_back(rate);
  }
  TBaudRate BaudRate() const override { return baud; }
  void SetIsModem(bool on) override { isModem = on; }
  bool IsModem() const override { return isModem; }
  void SetPhoneNumber(const QString& number) override { phoneNumber = number; }
  void SetFlgCreateThd(bool on) override { flgCreateThd = on; }
  void SetWaitForCall(bool on) override { waitForCall = on; }
  void SaveOptions(QObject*, int windowHandle) override { savedOptions.push_back(windowHandle); }
  void Activate(bool open) override {
    activations.push_back(open);
    if (open && failOpen)
      throw std::runtime_error("port busy");
    isOpen = open;
  }
  void ModemCommand(const QString& command) override { modemCommands << command; }
  QString LastLine() const override { return {}; }
  bool ModemConnected() override { return true; }
  LinkSend SendBytes(const std::uint8_t* buffer, int length) override {
    // The real link runs events while it waits for the previous write to drain.
    if (whileWaiting)
      whileWaiting(static_cast<int>(sent.size()));
    if (sendResult != LinkSend::Taken) {
      ++refusals;
      return sendResult;
    }
    Bytes bytes(buffer, buffer + length);
    sent.push_back({bytes, baud, platform::GetTickCount()});
    const int index = static_cast<int>(sent.size()) - 1;
    if (sendDoneDelayMs >= 0) {
      QTimer::singleShot(sendDoneDelayMs, &context_, [this] {
        if (OnSendBufEmpty)
          OnSendBufEmpty(nullptr);
      });
    }
    if (!script)
      return LinkSend::Taken;
    for (Chunk& chunk : script(index, bytes)) {
      QTimer::singleShot(chunk.delayMs, &context_, [this, data = std::move(chunk.bytes)] {
        if (OnReceiveNewData)
          OnReceiveNewData(nullptr, data.data(), static_cast<std::uint16_t>(data.size()));
      });
    }
    return LinkSend::Taken;
  }

  Script script;
  // Runs at the start of the index-th SendBytes, before the bytes are taken.
  std::function<void(int index)> whileWaiting;
  // When the port reports the write drained; negative: never.
  int sendDoneDelayMs = 0;
  // Anything but Taken: SendBytes refuses every send with it (a port that hung up, ...).
  LinkSend sendResult = LinkSend::Taken;
  int refusals = 0;
  bool failOpen = false;

  QString commName;
  TBaudRate baud = tbr460800;
  std::vector<TBaudRate> baudChanges;
  bool isModem = false;
  QString phoneNumber;
  bool flgCreateThd = false;
  bool waitForCall = true;
  bool isOpen = false;
  std::vector<int> savedOptions;
  std::vector<bool> activations;
  QStringList modemCommands;
  std::vector<Sent> sent;

 private:
  // Owns the pending timers: they die with the double.
  QObject context_;
};

}  // namespace xv4::test
