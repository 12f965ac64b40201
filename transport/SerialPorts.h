#pragma once
// The serial ports present on this machine, and why one of them could not be opened.
//
// Looks at the device directory and at the kernel's tty class directory: /dev/ttyS* count only
// when a UART is behind them (the kernel creates the first four whether or not one is fitted),
// /dev/ttyUSB* and /dev/ttyACM* whenever they exist, and the stable names in
// /dev/serial/by-id with the device each one points at.
//
// Pure functions over the file system; any thread. Nothing is opened, so looking never
// disturbs a port another program holds. A directory that is missing simply adds no ports.

#include <QString>

#include <vector>

namespace xv4 {

struct SerialPortInfo {
  enum Kind { Uart, UsbAdapter, UsbModem, ById };
  Kind kind = Uart;
  QString path;     // /dev/ttyS0, /dev/ttyUSB0, /dev/serial/by-id/usb-...
  QString target;   // ById: the device the name points at; else empty
  QString comName;  // Uart: the COMn name that stands for it (COM1 is /dev/ttyS0); else empty
};

struct SerialPortDirs {
  QString dev = QStringLiteral("/dev");
  QString ttyClass = QStringLiteral("/sys/class/tty");
};

// UARTs first (by number), then USB adapters and USB modems (ttyUSB2 before ttyUSB10), then the
// by-id names in name order.
std::vector<SerialPortInfo> FindSerialPorts(const SerialPortDirs& dirs = {});

// A short reason, with what to do about it, why devicePath could not be opened as a serial
// port: "no such device (...)", "permission denied (add your user to the dialout group)", "no
// UART behind it (...)", or, when nothing is visibly wrong, "in use by another program, or not
// a serial port".
QString SerialOpenFailureReason(const QString& devicePath, const SerialPortDirs& dirs = {});

}  // namespace xv4
