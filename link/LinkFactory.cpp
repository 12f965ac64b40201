// Stand-in serial link until TMdmLnk is wired in here: it keeps its settings and refuses to open,
// so a session in RS232 mode reports "Error opening ..." instead of pretending to talk.
#include "link/LinkFactory.h"

#include <stdexcept>

namespace xv4 {
namespace {

class UnavailableSerialLink : public SerialLink {
 public:
  void SetCommName(const QString& name) override { commName_ = name; }
  QString CommName() const override { return commName_; }
  void SetBaudRate(TBaudRate rate) override { baudRate_ = rate; }
  TBaudRate BaudRate() const override { return baudRate_; }
  void SetIsModem(bool isModem) override { isModem_ = isModem; }
  bool IsModem() const override { return isModem_; }
  void SetPhoneNumber(const QString&) override {}
  void SetFlgCreateThd(bool) override {}
  void SetWaitForCall(bool) override {}
  void SaveOptions(QObject*, int) override {}
  void Activate(bool open) override {
    if (open)
      throw std::runtime_error("Error opening serial port " + commName_.toStdString());
  }
  void ModemCommand(const QString&) override {}
  void SendBytes(const std::uint8_t*, int) override {}

 private:
  QString commName_ = QStringLiteral("COM2");
  TBaudRate baudRate_ = tbr460800;
  bool isModem_ = false;
};

}  // namespace

std::unique_ptr<SerialLink> CreateSerialLink(QObject*) {
  return std::make_unique<UnavailableSerialLink>();
}

}  // namespace xv4
