#include "appcore/ParamBlocks.h"

#include "support/AppSettings.h"

#include <cstdlib>

#include <gtest/gtest.h>

namespace xv4 {
namespace {

using test::Bytes;
using test::DesignSettings;

// Device information with every byte distinct, so a byte taken from the printer is recognisable.
DeviceValues SampleDevice() {
  DeviceValues d;
  for (int i = 0; i < kDataSize; ++i)
    d.info[i] = static_cast<std::uint8_t>(i ^ 0x5A);
  d.machineNo = {0x11, 0x22, 0x33, 0x44};
  return d;
}

DataBytes BlockA(const OperationSettings& s, ParamVariant v = ParamVariant::ParamDownload) {
  const DeviceValues d = SampleDevice();
  return BuildParamBlockA(s, d, UsesDeviceName(s) ? DeviceName(d.info) : TypedName(s), v);
}

class CodePageScope {
 public:
  explicit CodePageScope(const char* acp) { setenv("XV4_ACP", acp, 1); }
  ~CodePageScope() { unsetenv("XV4_ACP"); }
};

TEST(ParamBlockA, FirstStartWithAlarmTypeChosen) {
  OperationSettings s = DesignSettings();
  s.alertIndex = 0;     // "闪灯且警报" chosen ...
  s.defBaudIndex = -1;  // ... which copied BaudRateCB's empty selection into DefBaudRateCB
  const DataBytes a = BlockA(s);
  const DeviceValues d = SampleDevice();

  EXPECT_EQ(Bytes(a, 4, 4), Bytes({0x11, 0x22, 0x33, 0x44})) << "device's machine number";
  EXPECT_EQ(a[13], 0);
  EXPECT_EQ(Bytes(a, 64, 5), Bytes({0xFF, 0x00, 0xD2, 160, 0xFF}));
  EXPECT_EQ(a[69], 0xFF);
  EXPECT_EQ(Bytes(a, 70, 3), Bytes({3, 0x00, 0x32}));
  EXPECT_EQ(Bytes(a, 80, 2), Bytes({0x00, 1}));
  EXPECT_EQ(Bytes(a, 102, 4), Bytes(d.info, 102, 4)) << "print type, language, clear flag";
  EXPECT_EQ(a[106], 0xFF);
  EXPECT_EQ(Bytes(a, 112, 31), Bytes(d.info, 112, 31)) << "Bluetooth name";
  EXPECT_EQ(Bytes(a, 160, 12), Bytes(d.info, 160, 12)) << "wireless values";
  EXPECT_EQ(Bytes(a, 254, 2), Bytes({0x55, 0x55}));

  // Every byte the block does not set is 0xFF.
  const std::vector<std::pair<int, int>> set = {{4, 4},   {13, 1},   {64, 5},   {70, 3}, {80, 2},
                                                {102, 5}, {112, 31}, {160, 12}, {254, 2}};
  for (int i = 0; i < kDataSize; ++i) {
    bool inField = false;
    for (auto [from, n] : set)
      inField = inField || (i >= from && i < from + n);
    if (!inField) {
      EXPECT_EQ(a[i], 0xFF) << "byte " << i;
    }
  }
}

TEST(ParamBlockA, AlarmTypeNeverChosenKeepsDesignSpeedIndex) {
  const DataBytes a = BlockA(DesignSettings());
  EXPECT_EQ(a[68], 5);
  EXPECT_EQ(a[70], 0xFF);
}

TEST(ParamBlockA, AlarmTypesMapToPrinterCodes) {
  const int expected[] = {3, 2, 1, 4};
  for (int index = 0; index < 4; ++index) {
    OperationSettings s = DesignSettings();
    s.alertIndex = index;
    EXPECT_EQ(BlockA(s)[70], expected[index]) << index;
  }
}

TEST(ParamBlockA, AlarmIntervalOnlyUpperLimitEnforced) {
  const struct {
    int value;
    std::uint8_t high, low;
  } cases[] = {{1000, 0x03, 0x84}, {900, 0x03, 0x84}, {5, 0x00, 0x05}, {30, 0x00, 0x1E}};
  for (const auto& c : cases) {
    OperationSettings s = DesignSettings();
    s.alarmInterval = c.value;
    const DataBytes a = BlockA(s);
    EXPECT_EQ(Bytes(a, 71, 2), Bytes({c.high, c.low})) << c.value;
  }
}

TEST(ParamBlockA, LabelProbePositions) {
  const struct {
    int probe;
    std::uint8_t byte;
  } cases[] = {{-5, 120}, {0, 160}, {5, 200}};
  for (const auto& c : cases) {
    OperationSettings s = DesignSettings();
    s.labelProbe = c.probe;
    EXPECT_EQ(BlockA(s)[67], c.byte) << c.probe;
  }
}

TEST(ParamBlockA, NumberFieldsFallBackToTheirDefaults) {
  OperationSettings s = DesignSettings();
  s.labelHeight = QStringLiteral("abc");
  s.kitchenNo = QStringLiteral("");
  s.machineNoRowVisible = true;
  s.pp3Id = QStringLiteral("12x");
  const DataBytes a = BlockA(s);
  EXPECT_EQ(Bytes(a, 65, 2), Bytes({0x00, 0xD2}));
  EXPECT_EQ(a[81], 1);
  EXPECT_EQ(Bytes(a, 4, 4), Bytes({0, 0, 0, 0}));

  s.labelHeight = QStringLiteral("300");
  s.kitchenNo = QStringLiteral("258");
  s.labelMode = true;
  s.density = 7;
  s.ethIndex = 1;
  const DataBytes b = BlockA(s);
  EXPECT_EQ(Bytes(b, 64, 3), Bytes({0xA6, 0x01, 0x2C}));
  EXPECT_EQ(b[81], 2) << "low 8 bits of 258";
  EXPECT_EQ(b[13], 7);
  EXPECT_EQ(b[80], 0xFF) << "100M";

  s.ethIndex = -1;  // no selection (also a restored index outside the list): never sent as 0x01
  const auto refused = FindParamInputError(s, ParamVariant::ParamDownload);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->field, "EthCB");
}

TEST(ParamBlockA, RevealedMachineNumberIsSentBigEndian) {
  OperationSettings s = DesignSettings();
  s.machineNoRowVisible = true;
  s.pp3Id = QStringLiteral("12345678");
  EXPECT_EQ(Bytes(BlockA(s), 4, 4), Bytes({0x00, 0xBC, 0x61, 0x4E}));
  s.pp3Id = QStringLiteral("-2");
  EXPECT_EQ(Bytes(BlockA(s), 4, 4), Bytes({0xFF, 0xFF, 0xFF, 0xFE}));
}

TEST(ParamBlockA, PrintTypeRowsRevealed) {
  OperationSettings s = DesignSettings();
  s.printTypeRowsVisible = true;
  s.printTypeIndex = 3;  // "高速xr4"
  s.printerLanguageIndex = 1;
  s.clearMaintenance = true;
  EXPECT_EQ(Bytes(BlockA(s), 102, 4), Bytes({0x01, 0x01, 0x01, 0xAA}));

  s.printTypeIndex = -1;
  s.printerLanguageIndex = -1;
  s.clearMaintenance = false;
  EXPECT_EQ(Bytes(BlockA(s), 102, 4), Bytes({0xFF, 0x00, 0xFF, 0xFF}));

  const struct {
    int type;
    std::uint8_t speed, model;
  } types[] = {{0, 0, 0}, {1, 1, 0}, {2, 0, 1}, {3, 1, 1}};
  for (const auto& t : types) {
    s.printTypeIndex = t.type;
    EXPECT_EQ(Bytes(BlockA(s), 102, 2), Bytes({t.speed, t.model})) << t.type;
  }
}

TEST(ParamBlockA, CodePageNeedsAText) {
  OperationSettings s = DesignSettings();
  s.codePageIndex = 5;
  s.codePageText = QStringLiteral("5->伊朗文");
  EXPECT_EQ(BlockA(s)[106], 5);
  s.codePageText = QStringLiteral("   ");
  EXPECT_EQ(BlockA(s)[106], 0xFF);
}

TEST(ParamBlockA, TypedBluetoothNameIsNulPadded) {
  OperationSettings s = DesignSettings();
  s.btChecked = true;
  s.btName = QStringLiteral("ABC");
  ASSERT_FALSE(UsesDeviceName(s));
  const DataBytes a = BlockA(s);
  EXPECT_EQ(Bytes(a, 112, 3), Bytes({0x41, 0x42, 0x43}));
  EXPECT_EQ(Bytes(a, 115, 28), Bytes(std::vector<std::uint8_t>(28, 0x00)));
  EXPECT_EQ(a[143], 0xFF);
}

TEST(ParamBlockA, CheckedButEmptyNameSendsTheDevicesName) {
  OperationSettings s = DesignSettings();
  s.btChecked = true;
  EXPECT_TRUE(UsesDeviceName(s));
  EXPECT_EQ(Bytes(BlockA(s), 112, 31), Bytes(SampleDevice().info, 112, 31));
}

TEST(ParamBlockA, BluetoothNameLengthCountsCodePageBytes) {
  CodePageScope gbk("936");
  OperationSettings s = DesignSettings();
  s.btChecked = true;
  s.btName = QString(31, QLatin1Char('x'));
  EXPECT_FALSE(BluetoothNameTooLong(s));
  s.btName = QString(32, QLatin1Char('x'));
  EXPECT_TRUE(BluetoothNameTooLong(s));
  s.btName = QString(16, QChar(0x84DD));  // 蓝: two bytes each in GBK
  EXPECT_TRUE(BluetoothNameTooLong(s));
  s.btName = QString(15, QChar(0x84DD));
  EXPECT_FALSE(BluetoothNameTooLong(s));
  EXPECT_EQ(TypedName(s)[0], 0xC0);
  EXPECT_EQ(TypedName(s)[1], 0xB6);
  EXPECT_EQ(TypedName(s)[30], 0x00);
  s.btChecked = false;
  s.btName = QString(40, QLatin1Char('x'));
  EXPECT_FALSE(BluetoothNameTooLong(s)) << "an unchecked name is never sent";
}

TEST(ParamBlockA, WirelessValuesFromTheWindowWhenChecked) {
  OperationSettings s = DesignSettings();
  s.radioChecked = true;
  const DataBytes a = BlockA(s);
  EXPECT_EQ(Bytes(a, 160, 12),
            Bytes({0xC0, 0xA8, 0x01, 0x09, 0xC0, 0xA8, 0x01, 0x0A, 0xD2, 0x04, 0x00, 0x00}));
  s.wirelessPrinterId = QStringLiteral("-1");
  EXPECT_EQ(Bytes(BlockA(s), 168, 4), Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(ParamBlockA, DataDownloadLeavesAlarmAndCodePageAlone) {
  OperationSettings s = DesignSettings();
  s.alertIndex = 1;
  s.alarmInterval = 100;
  s.codePageIndex = 3;
  s.codePageText = QStringLiteral("3");
  s.radioChecked = true;
  const DataBytes a = BlockA(s, ParamVariant::DataDownload);
  EXPECT_EQ(Bytes(a, 70, 3), Bytes({0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(a[106], 0xFF);
  EXPECT_EQ(Bytes(a, 160, 4), Bytes({0xC0, 0xA8, 0x01, 0x09}));
  EXPECT_EQ(Bytes(a, 254, 2), Bytes({0x55, 0x55}));
}

TEST(ParamBlockB, FirstStartDefaults) {
  const DataBytes b = BuildParamBlockB(DesignSettings());
  EXPECT_EQ(Bytes(b, 0, 5), Bytes({0xC0, 0xA8, 0x01, 0x07, 0xAA}));
  EXPECT_EQ(Bytes(b, 5, 11), Bytes(std::vector<std::uint8_t>(11, 0xFF)));
  EXPECT_EQ(b[16], 0x01);
  EXPECT_EQ(Bytes(b, 17, 5), Bytes({0xC0, 0xA8, 0x01, 0x07, 1}));
  EXPECT_EQ(Bytes(b, 22, 45), Bytes(std::vector<std::uint8_t>(45, 0x00)));
  EXPECT_EQ(Bytes(b, 67, 189), Bytes(std::vector<std::uint8_t>(189, 0xFF)));
}

TEST(ParamBlockB, WifiSettings) {
  OperationSettings s = DesignSettings();
  s.wifiKeyTypeIndex = 1;
  s.wifiLinkIndex = 1;
  s.wifiIp = QStringLiteral("10.1.2.3");
  s.wifiPassword = QStringLiteral("  0123456789abcdef ");
  s.wifiSsid = QStringLiteral(" shop ");
  DataBytes b = BuildParamBlockB(s);
  EXPECT_EQ(b[16], 0x11);
  EXPECT_EQ(Bytes(b, 17, 5), Bytes({10, 1, 2, 3, 2}));
  EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(&b[22]), 13), "0123456789abc")
      << "trimmed, cut to 13 bytes";
  EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(&b[35]), 5), QByteArray("shop\0", 5));
  EXPECT_EQ(b[66], 0x00);
  EXPECT_EQ(b[67], 0xFF);

  s.wifiKeyTypeIndex = -1;
  s.wifiLinkIndex = -1;
  s.wifiSsid = QString(40, QLatin1Char('s'));
  b = BuildParamBlockB(s);
  EXPECT_EQ(b[16], 0x11) << "no selection counts as long key";
  EXPECT_EQ(b[21], 0);
  EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(&b[35]), 32), QByteArray(32, 's'));
  EXPECT_EQ(b[67], 0xFF);
}

TEST(ParamBlockB, WifiTextsAreCutBetweenCharacters) {
  CodePageScope gbk("936");
  OperationSettings s = DesignSettings();
  s.wifiSsid = QLatin1Char('x') + QString(16, QChar(0x84DD));  // 33 bytes in GBK
  s.wifiPassword = QString(7, QChar(0x84DD));                  // 14 bytes
  const DataBytes b = BuildParamBlockB(s);
  EXPECT_EQ(b[35], 'x');
  EXPECT_EQ(Bytes(b, 64, 3), Bytes({0xC0, 0xB6, 0x00})) << "no lone lead byte at the end";
  EXPECT_EQ(Bytes(b, 32, 3), Bytes({0xC0, 0xB6, 0x00}));
}

TEST(DataBlockB, WirelessValuesOnlyWithRadioChecked) {
  OperationSettings s = DesignSettings();
  s.radioChecked = true;
  const DataBytes b = BuildDataBlockB(s);
  EXPECT_EQ(Bytes(b, 0, 21),
            Bytes({0xC0, 0xA8, 0x01, 0x07, 0xAA, 0xFF, 0xFF, 0xFF, 0xFF, 0xC0, 0xA8,
                   0x01, 0x09, 0xC0, 0xA8, 0x01, 0x0A, 0xD2, 0x04, 0x00, 0x00}));
  EXPECT_EQ(Bytes(b, 21, 235), Bytes(std::vector<std::uint8_t>(235, 0xFF)));

  s.radioChecked = false;
  const DataBytes c = BuildDataBlockB(s);
  EXPECT_EQ(Bytes(c, 0, 5), Bytes({0xC0, 0xA8, 0x01, 0x07, 0xAA}));
  EXPECT_EQ(Bytes(c, 5, 251), Bytes(std::vector<std::uint8_t>(251, 0xFF)));
}

TEST(AddressInputError, RefusesWhatTheConversionWouldTurnIntoAnotherAddress) {
  const struct {
    const char* text;
    bool accepted;
  } cases[] = {
      {"192.168.1.7", true},     {"10.0.0.0", true},
      {"255.255.255.255", true}, {"010.000.001.007", true},
      {"192.168.1.256", false},  {"192.168.300.1", false},
      {"10.0.0.1.99", false},    {"10.0.0.1.", false},
      {"+10.0.0.1", false},      {"10.-1.0.1", false},
      {"1.2.3.4", false},        {"192.168.1", false},
      {" 10.0.0.1", false},      {"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AddressInputError(QString::fromLatin1(c.text)),
              c.accepted ? QString() : QStringLiteral("Invalid S/N"))
        << c.text;
  }
}

TEST(CheckParamInput, RefusesWhatTheBlocksCannotConvert) {
  CodePageScope latin("1252");  // no Chinese characters: they would be sent as '?'
  const struct {
    const char* name;
    void (*change)(OperationSettings&);
    ParamVariant variant;
    const char* error;  // empty: accepted
  } cases[] = {
      {"defaults", [](OperationSettings&) {}, ParamVariant::ParamDownload, ""},
      {"new address", [](OperationSettings& s) { s.newIpAddress = "192.168.1"; },
       ParamVariant::ParamDownload, "Invalid S/N"},
      {"new address, data", [](OperationSettings& s) { s.newIpAddress = ""; },
       ParamVariant::DataDownload, "Invalid S/N"},
      {"wifi address", [](OperationSettings& s) { s.wifiIp = "1.2.3.x"; },
       ParamVariant::ParamDownload, "Invalid S/N"},
      {"new address with a group above 255",
       [](OperationSettings& s) { s.newIpAddress = "192.168.1.256"; }, ParamVariant::ParamDownload,
       "Invalid S/N"},
      {"wifi address with a fifth group", [](OperationSettings& s) { s.wifiIp = "192.168.1.7.9"; },
       ParamVariant::ParamDownload, "Invalid S/N"},
      {"wifi address unused by data", [](OperationSettings& s) { s.wifiIp = "junk"; },
       ParamVariant::DataDownload, ""},
      {"wireless address unchecked", [](OperationSettings& s) { s.wirelessPrinterIp = "junk"; },
       ParamVariant::ParamDownload, ""},
      {"wireless address checked",
       [](OperationSettings& s) {
         s.radioChecked = true;
         s.wirelessPrinterIp = "1000.0.0.1";
       },
       ParamVariant::DataDownload, "Invalid S/N"},
      {"base address checked",
       [](OperationSettings& s) {
         s.radioChecked = true;
         s.baseStationIp = "10..0.1.5";
       },
       ParamVariant::ParamDownload, "Invalid S/N"},
      {"wireless number checked",
       [](OperationSettings& s) {
         s.radioChecked = true;
         s.wirelessPrinterId = "12a";
       },
       ParamVariant::ParamDownload, "'12a' is not a valid integer value"},
      {"wireless number unchecked", [](OperationSettings& s) { s.wirelessPrinterId = "12a"; },
       ParamVariant::ParamDownload, ""},
      {"label height in 16 bits", [](OperationSettings& s) { s.labelHeight = "65535"; },
       ParamVariant::DataDownload, ""},
      {"label height above 16 bits", [](OperationSettings& s) { s.labelHeight = "65536"; },
       ParamVariant::DataDownload,
       "a label height of 65536 does not fit in two bytes (at most 65535)"},
      {"SSID the code page cannot hold",
       [](OperationSettings& s) { s.wifiSsid = QStringLiteral("café 网络"); },
       ParamVariant::ParamDownload,
       "SSID (edt_wifi_ssid): the character \"网\" (U+7F51) does not exist in code page 1252, so "
       "it cannot be sent to the printer."},
      {"SSID unused by data", [](OperationSettings& s) { s.wifiSsid = QStringLiteral("网络"); },
       ParamVariant::DataDownload, ""},
      {"password", [](OperationSettings& s) { s.wifiPassword = QStringLiteral("pass😀"); },
       ParamVariant::ParamDownload,
       "WiFi password (edt_wifi_pass): the character \"😀\" (U+1F600) does not exist in code page "
       "1252, so it cannot be sent to the printer."},
      {"typed Bluetooth name",
       [](OperationSettings& s) {
         s.btChecked = true;
         s.btName = QStringLiteral("打印机");
       },
       ParamVariant::DataDownload,
       "Bluetooth name (edtlanyani): the character \"打\" (U+6253) does not exist in code page "
       "1252, so it cannot be sent to the printer."},
      {"Bluetooth name not sent", [](OperationSettings& s) { s.btName = QStringLiteral("打印机"); },
       ParamVariant::ParamDownload, ""},
  };
  for (const auto& c : cases) {
    OperationSettings s = DesignSettings();
    c.change(s);
    EXPECT_EQ(CheckParamInput(s, c.variant), QString::fromUtf8(c.error)) << c.name;
    if (QByteArray(c.error).isEmpty()) {
      EXPECT_NO_THROW(BlockA(s, c.variant)) << c.name;
      if (c.variant == ParamVariant::ParamDownload) {
        EXPECT_NO_THROW(BuildParamBlockB(s)) << c.name;
      } else {
        EXPECT_NO_THROW(BuildDataBlockB(s)) << c.name;
      }
    }
  }
}

TEST(ParseDecimal, AcceptsSignedDecimalIn32Bits) {
  const struct {
    const char* text;
    std::optional<std::int32_t> value;
  } cases[] = {{"0", 0},
               {"1234", 1234},
               {"  42", 42},
               {"+7", 7},
               {"-5", -5},
               {"2147483647", 2147483647},
               {"-2147483648", INT32_MIN},
               {"2147483648", std::nullopt},
               {"99999999999999999999", std::nullopt},
               {"", std::nullopt},
               {"-", std::nullopt},
               {"12 ", std::nullopt},
               {"0x10", std::nullopt},
               {"1.5", std::nullopt}};
  for (const auto& c : cases)
    EXPECT_EQ(ParseDecimal(QString::fromUtf8(c.text)), c.value) << c.text;
}

}  // namespace
}  // namespace xv4
