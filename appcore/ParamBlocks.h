#pragma once
// The two parameter blocks that travel inside the data file's record stream: record 121 (block A:
// machine number, label, alarm, Ethernet, kitchen number, print type, code page, Bluetooth name,
// wireless values) and record 122 (block B: new address and WiFi settings, or, in the data
// download, new address and wireless values). Built byte by byte from the window's snapshot and
// from the values read back from the printer, so that settings the user did not choose to change
// are written back unchanged.
//
// Pure functions; any thread. The builders expect input that CheckParamInput() accepted; given
// a malformed address they throw std::invalid_argument("Invalid S/N").

#include "appcore/OperationSettings.h"
#include "protocol/DeviceRecord.h"

#include <QString>

#include <array>
#include <cstdint>
#include <optional>

namespace xv4 {

using DataBytes = std::array<std::uint8_t, kDataSize>;

constexpr int kNameBufferSize = 31;  // Bluetooth name, NUL-padded
using NameBuffer = std::array<std::uint8_t, kNameBufferSize>;

// Record numbers of the data file that carry the parameters instead of file content.
constexpr int kParamRecordA = 121;
constexpr int kParamRecordB = 122;
constexpr int kParamRecordBlank = 123;  // sent as 256 bytes of 0xFF

// The parameter download writes all of block A; the data download leaves the alarm bytes and
// the code page at 0xFF and sends the wireless values in block B instead of the WiFi settings.
enum class ParamVariant { ParamDownload, DataDownload };

// What the printer told us before the blocks are built.
struct DeviceValues {
  // The DataBlock as the device-information read left it: the source of the print type,
  // language, clear flag, Bluetooth name and wireless values that the window does not set.
  DataBytes info{};
  // Bytes 4..7 of the machine-number read (command 14, word 16 with F9 01 00): the printer's
  // machine number as it holds it, written back while the machine-number row is hidden.
  std::array<std::uint8_t, 4> machineNo{};
};

// A text typed into a number field as a 32-bit decimal integer: optional leading blanks, an
// optional sign, decimal digits, nothing else, within the signed 32-bit range.
std::optional<std::int32_t> ParseDecimal(const QString& text);
// The text without the characters at or below the blank at either end.
QString TrimBlanks(const QString& text);

// "Invalid S/N" when the text is not an IPv4 address the printer can be given, else empty: the
// conversion itself lets a group above 255 spill into the next byte (192.168.1.256 would go out
// as 192.168.2.0) and ignores text after the fourth group, so an address typed that way would
// reach another device or set the printer to an address nobody typed. Four groups of 1 to 3
// digits, each 0 to 255, and nothing else.
QString AddressInputError(const QString& text);

// chkBT checked with a name longer than 31 bytes in the system code page: refused with
// "Length > 31" before anything else happens.
bool BluetoothNameTooLong(const OperationSettings& s);

// Whether the name sent back is the printer's own (chkBT unchecked or the name field empty).
bool UsesDeviceName(const OperationSettings& s);
// The typed name in the system code page, NUL-padded to 31 bytes (cut at 31).
NameBuffer TypedName(const OperationSettings& s);
// The printer's current name: bytes 112..142 of the device information.
NameBuffer DeviceName(const DataBytes& info);

// The refusal of a text field (edtlanyani, edt_wifi_pass, edt_wifi_ssid) holding a character
// that the system code page cannot hold: it would reach the printer, and Config.cfg, as '?'.
// Names the field and the character; empty when the whole text survives. The window shows the
// same refusal when such a character is typed.
QString CodePageRefusal(const char* field, const QString& text);

// Input refused before anything is sent.
struct InputError {
  QString text;   // the message the tool shows: "Invalid S/N" for an address, "Length > 31", ...
  QString field;  // the Config.cfg key of the field ("NewIPAddrEd")
  QString value;  // the field's text
  QString hint;   // what a value the printer can take looks like
};

// The refusal of an address field, or nothing when text is an address AddressInputError accepts.
std::optional<InputError> AddressFieldError(const QString& field, const QString& text);

// Checks every field that the blocks convert, so that bad input is refused before the link is
// opened: the addresses (NewIPAddrEd; edt_WiFi_Ip in the parameter download; with chkRadio the
// wireless printer and base-station addresses), with chkRadio the wireless printer number, a
// label height that does not fit its 16 bits, an Ethernet list without a choice, and the texts
// that are sent (the typed Bluetooth name; the WiFi password and SSID in the parameter download)
// for characters the code page cannot hold.
std::optional<InputError> FindParamInputError(const OperationSettings& s, ParamVariant variant);
// The message of FindParamInputError ("Invalid S/N" for an address), or an empty text.
QString CheckParamInput(const OperationSettings& s, ParamVariant variant);

// What a printer reports about itself, decoded from the replies the parameter download reads
// before it builds its blocks: the machine-number read and the device information.
struct PrinterReport {
  std::int32_t machineNo = 0;        // machine-number read, bytes 4..7, big-endian
  std::uint8_t printSpeed = 0;       // 102: 0 medium, 1 high
  std::uint8_t printerModel = 0;     // 103: 0 xv4, 1 xr4
  std::uint8_t printerLanguage = 0;  // 104: 0 Simplified Chinese, 1 Traditional Chinese, 2 English
  std::uint8_t clearFlag = 0;        // 105: 0xAA clears the maintenance parameters
  QString bluetoothName;             // 112..142, up to the first NUL, in the system code page
  QString wirelessPrinterIp;         // 160..163, in address order
  QString baseStationIp;             // 164..167
  std::int32_t wirelessPrinterNo = 0;  // 168..171, little-endian
};
PrinterReport DecodePrinterReport(const DeviceValues& device);

// Record 121.
DataBytes BuildParamBlockA(const OperationSettings& s, const DeviceValues& device,
                           const NameBuffer& name, ParamVariant variant);
// Record 122 of the parameter download: new address, mark 0xAA, WiFi settings.
DataBytes BuildParamBlockB(const OperationSettings& s);
// Record 122 of the data download: new address, mark 0xAA, wireless values with chkRadio.
DataBytes BuildDataBlockB(const OperationSettings& s);

}  // namespace xv4
