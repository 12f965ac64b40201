#pragma once
// The window's values after a first start (no Config.cfg, language applied), as an operation
// snapshot, a patterned data file, and a byte-slice helper for comparing record contents. The
// printer address is 127.0.0.1: tests never address anything but loopback.

#include "appcore/OperationSettings.h"

#include <QByteArray>

#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

namespace xv4::test {

// A data or program file whose every record differs from its neighbours, so a record sent out of
// place or twice shows on the wire.
inline QByteArray PatternFile(int bytes) {
  QByteArray f(bytes, '\0');
  for (int i = 0; i < bytes; ++i)
    f[i] = static_cast<char>((i / 256) * 7 + (i % 256));
  return f;
}

inline OperationSettings DesignSettings() {
  OperationSettings s;
  s.commMode = 0;
  s.ipAddress = QStringLiteral("127.0.0.1");
  s.ipPort = QStringLiteral("5013");
  s.portName = QStringLiteral("COM1");
  s.baudIndex = -1;
  s.machineId = QStringLiteral("1234");
  s.pp3Id = QStringLiteral("12345678");
  s.density = 0;
  s.labelMode = false;
  s.labelHeight = QStringLiteral("210");
  s.labelProbe = 0;
  s.defBaudIndex = 5;
  s.alertIndex = -1;
  s.alarmInterval = 50;
  s.ethIndex = 0;
  s.kitchenNo = QStringLiteral("1");
  s.printTypeIndex = -1;
  s.printerLanguageIndex = -1;
  s.clearMaintenance = false;
  s.codePageIndex = -1;
  s.codePageText.clear();
  s.btChecked = false;
  s.btName.clear();
  s.radioChecked = false;
  s.wirelessPrinterIp = QStringLiteral("192.168.1.9");
  s.baseStationIp = QStringLiteral("192.168.1.10");
  s.wirelessPrinterId = QStringLiteral("1234");
  s.newIpAddress = QStringLiteral("192.168.1.7");
  s.wifiKeyTypeIndex = 0;
  s.wifiIp = QStringLiteral("192.168.1.7");
  s.wifiLinkIndex = 0;
  s.wifiPassword.clear();
  s.wifiSsid.clear();
  return s;
}

inline std::vector<std::uint8_t> Bytes(std::initializer_list<std::uint8_t> bytes) {
  return std::vector<std::uint8_t>(bytes);
}
inline std::vector<std::uint8_t> Bytes(const std::vector<std::uint8_t>& bytes) {
  return bytes;
}
inline std::vector<std::uint8_t> Bytes(std::span<const std::uint8_t> bytes, int from, int count) {
  return std::vector<std::uint8_t>(bytes.begin() + from, bytes.begin() + from + count);
}
inline std::vector<std::uint8_t> Bytes(const QByteArray& bytes, int from, int count) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.constData());
  return std::vector<std::uint8_t>(p + from, p + from + count);
}

}  // namespace xv4::test
