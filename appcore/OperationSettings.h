#pragma once
// What the operations read from the main window: a snapshot of its controls taken when an
// operation starts. The window fills it from its widgets, the command line from a form without
// widgets, so both run the same operations on the same values.
//
// Plain data; texts are as the controls hold them (Unicode), item indexes are -1 when nothing
// is selected, spin-edit values are what the control reports.

#include <QString>

namespace xv4 {

struct OperationSettings {
  // Connection: CommRG and the Ethernet/COM fields.
  int commMode = 0;    // CommRG item index: 0 TCP/IP, 1 RS232
  QString ipAddress;   // IPAddrEd: printer address (TCP/IP), also the cash drawer's host
  QString ipPort;      // IPPortEd: device port (TCP/IP)
  QString portName;    // PortCB text: "COM1".."COM8" or a device path (RS232)
  int baudIndex = -1;  // BaudRateCB item index (RS232)
  QString machineId;   // IdEd: machine number (RS232)
  // RS232 through a modem: the number it dials. Empty: no modem (the window has no modem
  // settings, so it always leaves this empty).
  QString phoneNumber;

  // Service rows, revealed by Ctrl+Alt+F3, F4 and F10.
  bool labelProbeRowVisible = false;  // LabelProbeLBL, LabelProbeEd
  bool machineNoRowVisible = false;   // PP3IDLBL, PP3IDEd
  bool printTypeRowsVisible = false;  // cbbsort, cbbJianFan and chkClear all visible

  // Parameter block A (record 121).
  QString pp3Id;                  // PP3IDEd: machine number to write
  int density = 0;                // DensityEd value
  bool labelMode = false;         // LabelModeCB
  QString labelHeight;            // LabelHeightEd
  int labelProbe = 0;             // LabelProbeEd value
  int defBaudIndex = 5;           // DefBaudRateCB item index
  int alertIndex = -1;            // cb_alert item index
  int alarmInterval = 50;         // se1 value (the window brings a value above 900 back first)
  int ethIndex = 0;               // EthCB item index
  QString kitchenNo;              // edKcid
  int printTypeIndex = -1;        // cbbsort item index
  int printerLanguageIndex = -1;  // cbbJianFan item index
  bool clearMaintenance = false;  // chkClear
  int codePageIndex = -1;         // cb_codepage item index
  QString codePageText;           // cb_codepage text
  bool btChecked = false;         // chkBT: send the typed Bluetooth name
  QString btName;                 // edtlanyani
  bool radioChecked = false;      // chkRadio: send the wireless settings
  QString wirelessPrinterIp;      // WuxianPrinterIPEdit
  QString baseStationIp;          // BaseIPEdit
  QString wirelessPrinterId;      // WuxianPrinterIDEdit

  // Parameter block B (record 122).
  QString newIpAddress;      // NewIPAddrEd
  int wifiKeyTypeIndex = 0;  // cbb_wifi_keyType item index
  QString wifiIp;            // edt_WiFi_Ip
  int wifiLinkIndex = 0;     // cbb_wifi_link item index
  QString wifiPassword;      // edt_wifi_pass
  QString wifiSsid;          // edt_wifi_ssid

  bool operator==(const OperationSettings&) const = default;
};

}  // namespace xv4
