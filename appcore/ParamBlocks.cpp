#include "appcore/ParamBlocks.h"

#include "platform/CodePage.h"

#include <QStringList>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

namespace xv4 {
namespace {

// Block A offsets.
constexpr int kMachineNo = 4;  // 4 bytes, big-endian
constexpr int kDensity = 13;
constexpr int kLabelMode = 64;    // 0xA6 label printer, 0xFF receipt printer
constexpr int kLabelHeight = 65;  // 2 bytes, big-endian
constexpr int kLabelProbe = 67;   // probe position x 8 + 160
constexpr int kDefBaudIndex = 68;
constexpr int kAlarmType = 70;
constexpr int kAlarmInterval = 71;  // 2 bytes, big-endian, unit 100 ms
constexpr int kEthernet = 80;       // 0x00 10M, 0xFF 100M
constexpr int kKitchenNo = 81;
constexpr int kPrintSpeed = 102;    // 0 medium, 1 high
constexpr int kPrinterModel = 103;  // 0 xv4, 1 xr4
constexpr int kPrinterLanguage = 104;
constexpr int kClearMaintenance = 105;  // 0xAA clears
constexpr int kCodePage = 106;
constexpr int kBluetoothName = 112;  // 31 bytes
constexpr int kWirelessPrinterIp = 160;
constexpr int kBaseStationIp = 164;
constexpr int kWirelessPrinterId = 168;  // 4 bytes, little-endian
constexpr int kBlockAMark = 254;         // 0x55 0x55

// Block B offsets, parameter download.
constexpr int kNewIp = 0;
constexpr int kBlockBMark = 4;  // 0xAA
constexpr int kWifiKeyType = 16;
constexpr int kWifiIp = 17;
constexpr int kWifiLink = 21;
constexpr int kWifiPassword = 22;
constexpr int kWifiPasswordSize = 13;
constexpr int kWifiSsid = 35;
constexpr int kWifiSsidSize = 32;

// Block B offsets, data download.
constexpr int kDataWirelessPrinterIp = 9;
constexpr int kDataBaseStationIp = 13;
constexpr int kDataWirelessPrinterId = 17;

constexpr int kAlarmIntervalMax = 900;   // se1's upper limit
constexpr int kLabelHeightMax = 0xFFFF;  // two bytes
constexpr int kDefaultLabelHeight = 210;

void PutBigEndian32(DataBytes& b, int at, std::uint32_t v) {
  b[at] = static_cast<std::uint8_t>(v >> 24);
  b[at + 1] = static_cast<std::uint8_t>(v >> 16);
  b[at + 2] = static_cast<std::uint8_t>(v >> 8);
  b[at + 3] = static_cast<std::uint8_t>(v);
}

void PutLittleEndian32(DataBytes& b, int at, std::uint32_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
  b[at + 2] = static_cast<std::uint8_t>(v >> 16);
  b[at + 3] = static_cast<std::uint8_t>(v >> 24);
}

void PutBigEndian16(DataBytes& b, int at, int v) {
  b[at] = static_cast<std::uint8_t>(v >> 8);
  b[at + 1] = static_cast<std::uint8_t>(v);
}

// An address in address order: 192.168.1.9 is C0 A8 01 09.
void PutAddress(DataBytes& b, int at, const QString& text) {
  PutBigEndian32(b, at, AddressToNumber(text, true));
}

// Text bytes, cut to the field and NUL-padded.
void PutText(DataBytes& b, int at, int size, const QByteArray& bytes) {
  const int n = std::min<int>(size, static_cast<int>(bytes.size()));
  std::memcpy(b.data() + at, bytes.constData(), static_cast<size_t>(n));
  std::fill(b.begin() + at + n, b.begin() + at + size, std::uint8_t{0});
}

void CopyDeviceBytes(DataBytes& b, const DataBytes& info, int from, int count) {
  std::copy(info.begin() + from, info.begin() + from + count, b.begin() + from);
}

std::int32_t WirelessPrinterId(const OperationSettings& s) {
  const std::optional<std::int32_t> id = ParseDecimal(s.wirelessPrinterId);
  if (!id)
    throw std::invalid_argument(
        QStringLiteral("'%1' is not a valid integer value").arg(s.wirelessPrinterId).toStdString());
  return *id;
}

std::uint8_t AlarmTypeCode(int alertIndex) {
  // cb_alert items: lamp and buzzer, lamp only, buzzer only, neither.
  static constexpr std::uint8_t kCodes[] = {3, 2, 1, 4};
  return kCodes[alertIndex];
}

}  // namespace

std::optional<std::int32_t> ParseDecimal(const QString& text) {
  qsizetype i = 0;
  while (i < text.size() && text[i] == QLatin1Char(' '))
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) {
    negative = text[i] == QLatin1Char('-');
    ++i;
  }
  if (i == text.size())
    return std::nullopt;
  std::int64_t value = 0;
  for (; i < text.size(); ++i) {
    const char16_t c = text[i].unicode();
    if (c < u'0' || c > u'9')
      return std::nullopt;
    value = value * 10 + (c - u'0');
    if (value > std::int64_t{1} << 31)
      return std::nullopt;
  }
  if (negative)
    value = -value;
  if (value > INT32_MAX || value < INT32_MIN)
    return std::nullopt;
  return static_cast<std::int32_t>(value);
}

QString TrimBlanks(const QString& text) {
  qsizetype begin = 0;
  qsizetype end = text.size();
  while (begin < end && text[begin].unicode() <= u' ')
    ++begin;
  while (end > begin && text[end - 1].unicode() <= u' ')
    --end;
  return text.mid(begin, end - begin);
}

QString AddressInputError(const QString& text) {
  try {
    AddressToNumber(text, true);
  } catch (const std::invalid_argument& e) {
    return QString::fromStdString(e.what());
  }
  const QStringList groups = text.split(QLatin1Char('.'));
  bool plain = groups.size() == 4;
  for (qsizetype g = 0; plain && g < groups.size(); ++g) {
    const QString& group = groups[g];
    plain = !group.isEmpty() && group.size() <= 3;
    for (QChar c : group)
      plain = plain && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    plain = plain && group.toInt() <= 255;
  }
  return plain ? QString() : QStringLiteral("Invalid S/N");
}

bool BluetoothNameTooLong(const OperationSettings& s) {
  return s.btChecked && platform::ToAnsi(s.btName).size() > kNameBufferSize;
}

bool UsesDeviceName(const OperationSettings& s) {
  return !s.btChecked || s.btName.isEmpty();
}

NameBuffer TypedName(const OperationSettings& s) {
  NameBuffer name{};
  const QByteArray bytes = platform::ToAnsi(s.btName);
  std::memcpy(name.data(), bytes.constData(),
              static_cast<size_t>(std::min<qsizetype>(bytes.size(), kNameBufferSize)));
  return name;
}

NameBuffer DeviceName(const DataBytes& info) {
  NameBuffer name{};
  std::copy(info.begin() + kBluetoothName, info.begin() + kBluetoothName + kNameBufferSize,
            name.begin());
  return name;
}

QString CodePageRefusal(const char* field, const QString& text) {
  const int codePage = platform::GetACP();
  const QString c = platform::UnencodableCharacter(text, codePage);
  if (c.isEmpty())
    return {};
  static const std::pair<const char*, const char*> kNames[] = {
      {"edtlanyani", "Bluetooth name"},
      {"edt_wifi_pass", "WiFi password"},
      {"edt_wifi_ssid", "SSID"},
  };
  QString name = QString::fromLatin1(field);
  for (const auto& [key, plain] : kNames) {
    if (name == QLatin1String(key))
      name = QStringLiteral("%1 (%2)").arg(QLatin1String(plain), name);
  }
  return QStringLiteral(
             "%1: the character \"%2\" (U+%3) does not exist in code page %4, so it "
             "cannot be sent to the printer.")
      .arg(name, c, QString::number(c.toUcs4().value(0), 16).toUpper().rightJustified(4, u'0'))
      .arg(codePage);
}

std::optional<InputError> AddressFieldError(const QString& field, const QString& text) {
  const QString error = AddressInputError(text);
  if (error.isEmpty())
    return std::nullopt;
  return InputError{error, field, text,
                    QStringLiteral("an address is four numbers from 0 to 255, such as "
                                   "192.168.1.7")};
}

std::optional<InputError> FindParamInputError(const OperationSettings& s, ParamVariant variant) {
  if (auto e = AddressFieldError(QStringLiteral("NewIPAddrEd"), s.newIpAddress))
    return e;
  if (variant == ParamVariant::ParamDownload) {
    if (auto e = AddressFieldError(QStringLiteral("edt_WiFi_Ip"), s.wifiIp))
      return e;
  }
  if (s.radioChecked) {
    if (auto e = AddressFieldError(QStringLiteral("WuxianPrinterIPEdit"), s.wirelessPrinterIp))
      return e;
    if (auto e = AddressFieldError(QStringLiteral("BaseIPEdit"), s.baseStationIp))
      return e;
    if (!ParseDecimal(s.wirelessPrinterId)) {
      return InputError{
          QStringLiteral("'%1' is not a valid integer value").arg(s.wirelessPrinterId),
          QStringLiteral("WuxianPrinterIDEdit"), s.wirelessPrinterId,
          QStringLiteral("the wireless printer number is a whole number, such as 1234")};
    }
  }
  // Bytes 65 and 66: a larger height would lose its upper bits on the way.
  if (const auto height = ParseDecimal(s.labelHeight); height && *height > kLabelHeightMax) {
    return InputError{QStringLiteral("a label height of %1 does not fit in two bytes (at most %2)")
                          .arg(*height)
                          .arg(kLabelHeightMax),
                      QStringLiteral("LabelHeightEd"), s.labelHeight,
                      QStringLiteral("the label height is a number from 0 to 65535")};
  }
  // Byte 80 has a code for 10M and one for 100M; a list left without a choice (an index from
  // Config.cfg outside the list) would send index x 255 = 0x01, a speed the printer does not have.
  if (s.ethIndex != 0 && s.ethIndex != 1) {
    return InputError{QStringLiteral("no Ethernet speed is chosen"), QStringLiteral("EthCB"),
                      QString::number(s.ethIndex), QStringLiteral("choose 10M or 100M")};
  }
  // The texts that are sent: a character the code page cannot hold would reach the printer as '?'.
  struct SentText {
    const char* field;
    QString text;
  };
  std::vector<SentText> texts;
  if (!UsesDeviceName(s))
    texts.push_back({"edtlanyani", s.btName});
  if (variant == ParamVariant::ParamDownload) {
    texts.push_back({"edt_wifi_pass", TrimBlanks(s.wifiPassword)});
    texts.push_back({"edt_wifi_ssid", TrimBlanks(s.wifiSsid)});
  }
  for (const SentText& t : texts) {
    if (const QString refusal = CodePageRefusal(t.field, t.text); !refusal.isEmpty())
      return InputError{refusal, QString::fromLatin1(t.field), t.text, {}};
  }
  return std::nullopt;
}

QString CheckParamInput(const OperationSettings& s, ParamVariant variant) {
  const std::optional<InputError> e = FindParamInputError(s, variant);
  return e ? e->text : QString();
}

PrinterReport DecodePrinterReport(const DeviceValues& device) {
  const DataBytes& d = device.info;
  const auto& m = device.machineNo;
  auto address = [&d](int at) {
    return QStringLiteral("%1.%2.%3.%4").arg(d[at]).arg(d[at + 1]).arg(d[at + 2]).arg(d[at + 3]);
  };
  PrinterReport r;
  r.machineNo = static_cast<std::int32_t>(static_cast<std::uint32_t>(m[0]) << 24 |
                                          static_cast<std::uint32_t>(m[1]) << 16 |
                                          static_cast<std::uint32_t>(m[2]) << 8 | m[3]);
  r.printSpeed = d[kPrintSpeed];
  r.printerModel = d[kPrinterModel];
  r.printerLanguage = d[kPrinterLanguage];
  r.clearFlag = d[kClearMaintenance];
  const auto nameBegin = d.begin() + kBluetoothName;
  const auto nameEnd = std::find(nameBegin, nameBegin + kNameBufferSize, std::uint8_t{0});
  r.bluetoothName = platform::FromAnsi(
      QByteArray(reinterpret_cast<const char*>(&*nameBegin), nameEnd - nameBegin));
  r.wirelessPrinterIp = address(kWirelessPrinterIp);
  r.baseStationIp = address(kBaseStationIp);
  r.wirelessPrinterNo =
      static_cast<std::int32_t>(static_cast<std::uint32_t>(d[kWirelessPrinterId]) |
                                static_cast<std::uint32_t>(d[kWirelessPrinterId + 1]) << 8 |
                                static_cast<std::uint32_t>(d[kWirelessPrinterId + 2]) << 16 |
                                static_cast<std::uint32_t>(d[kWirelessPrinterId + 3]) << 24);
  return r;
}

DataBytes BuildParamBlockA(const OperationSettings& s, const DeviceValues& device,
                           const NameBuffer& name, ParamVariant variant) {
  DataBytes b;
  b.fill(0xFF);

  if (s.machineNoRowVisible) {
    PutBigEndian32(b, kMachineNo, static_cast<std::uint32_t>(ParseDecimal(s.pp3Id).value_or(0)));
  } else {
    std::copy(device.machineNo.begin(), device.machineNo.end(), b.begin() + kMachineNo);
  }
  b[kDensity] = static_cast<std::uint8_t>(s.density);
  b[kLabelMode] = s.labelMode ? 0xA6 : 0xFF;
  PutBigEndian16(b, kLabelHeight, ParseDecimal(s.labelHeight).value_or(kDefaultLabelHeight));
  b[kLabelProbe] = static_cast<std::uint8_t>(s.labelProbe * 8 + 160);
  b[kDefBaudIndex] = static_cast<std::uint8_t>(s.defBaudIndex);
  if (variant == ParamVariant::ParamDownload) {
    if (s.alertIndex >= 0 && s.alertIndex <= 3)
      b[kAlarmType] = AlarmTypeCode(s.alertIndex);
    PutBigEndian16(b, kAlarmInterval, std::min(s.alarmInterval, kAlarmIntervalMax));
  }
  b[kEthernet] = static_cast<std::uint8_t>(s.ethIndex * 255);  // 10M 0x00, 100M 0xFF
  b[kKitchenNo] = static_cast<std::uint8_t>(ParseDecimal(s.kitchenNo).value_or(1));

  if (s.printTypeRowsVisible) {
    // cbbsort: 0 medium xv4, 1 high xv4, 2 medium xr4, 3 high xr4.
    const int type = s.printTypeIndex;
    if (type >= 0)
      b[kPrintSpeed] = (type == 1 || type == 3) ? 1 : 0;
    b[kPrinterModel] = (type == 2 || type == 3) ? 1 : 0;
    b[kPrinterLanguage] = static_cast<std::uint8_t>(s.printerLanguageIndex);
    if (s.clearMaintenance)
      b[kClearMaintenance] = 0xAA;
  }
  if (variant == ParamVariant::ParamDownload && !TrimBlanks(s.codePageText).isEmpty())
    b[kCodePage] = static_cast<std::uint8_t>(s.codePageIndex);

  std::copy(name.begin(), name.end(), b.begin() + kBluetoothName);

  if (s.radioChecked) {
    PutAddress(b, kWirelessPrinterIp, s.wirelessPrinterIp);
    PutAddress(b, kBaseStationIp, s.baseStationIp);
    PutLittleEndian32(b, kWirelessPrinterId, static_cast<std::uint32_t>(WirelessPrinterId(s)));
  }

  // What the window does not set goes back as the printer holds it.
  if (!s.printTypeRowsVisible)
    CopyDeviceBytes(b, device.info, kPrintSpeed, 4);
  if (!s.radioChecked)
    CopyDeviceBytes(b, device.info, kWirelessPrinterIp, 12);

  b[kBlockAMark] = 0x55;
  b[kBlockAMark + 1] = 0x55;
  return b;
}

DataBytes BuildParamBlockB(const OperationSettings& s) {
  DataBytes b;
  b.fill(0xFF);
  PutAddress(b, kNewIp, s.newIpAddress);
  b[kBlockBMark] = 0xAA;
  b[kWifiKeyType] = s.wifiKeyTypeIndex == 0 ? 0x01 : 0x11;  // short key, long key
  PutAddress(b, kWifiIp, s.wifiIp);
  b[kWifiLink] = static_cast<std::uint8_t>(s.wifiLinkIndex + 1);  // 1 Adhoc, 2 Infrastructure
  PutText(b, kWifiPassword, kWifiPasswordSize,
          platform::ToAnsiWithin(TrimBlanks(s.wifiPassword), kWifiPasswordSize));
  PutText(b, kWifiSsid, kWifiSsidSize,
          platform::ToAnsiWithin(TrimBlanks(s.wifiSsid), kWifiSsidSize));
  return b;
}

DataBytes BuildDataBlockB(const OperationSettings& s) {
  DataBytes b;
  b.fill(0xFF);
  PutAddress(b, kNewIp, s.newIpAddress);
  b[kBlockBMark] = 0xAA;
  if (s.radioChecked) {
    PutAddress(b, kDataWirelessPrinterIp, s.wirelessPrinterIp);
    PutAddress(b, kDataBaseStationIp, s.baseStationIp);
    PutLittleEndian32(b, kDataWirelessPrinterId, static_cast<std::uint32_t>(WirelessPrinterId(s)));
  }
  return b;
}

}  // namespace xv4
