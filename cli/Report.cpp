#include "cli/Report.h"

#include "appcore/LanguageTexts.h"

#include <QJsonDocument>

namespace xv4::cli {
namespace {

const QString kPasswordKey = QStringLiteral("edt_wifi_pass");

QString Hex(std::uint8_t b) {
  return QStringLiteral("0x") +
         QString::number(b, 16).toUpper().rightJustified(2, QLatin1Char('0'));
}

// The item of the printer-type list for a speed and model byte: medium xv4, high xv4, medium
// xr4, high xr4. Empty when either byte holds something else.
QString PrinterTypeName(const PrinterReport& r) {
  const QStringList items = Items(ItemList::PrintType);
  if (r.printSpeed > 1 || r.printerModel > 1)
    return {};
  return items.value(r.printerModel * 2 + r.printSpeed);
}

QString LanguageName(const PrinterReport& r) {
  return Items(ItemList::LangType).value(r.printerLanguage);
}

QString ClearFlagText(std::uint8_t flag) {
  if (flag == 0xAA)
    return QStringLiteral("set, the maintenance parameters are to be cleared (0xAA)");
  if (flag == 0xFF)
    return QStringLiteral("not set (0xFF)");
  return Hex(flag);
}

QString KindName(ControlKind kind) {
  switch (kind) {
    case ControlKind::Edit:
      return QStringLiteral("edit");
    case ControlKind::DropDownList:
      return QStringLiteral("list");
    case ControlKind::EditableCombo:
      return QStringLiteral("combo");
    case ControlKind::SpinEdit:
      return QStringLiteral("spin");
    default:
      return {};
  }
}

QString ShownText(const SettingDescription& d) {
  return d.key == kPasswordKey ? QString(d.text.size(), QLatin1Char('*')) : d.text;
}

QString PortKindText(const SerialPortInfo& p) {
  switch (p.kind) {
    case SerialPortInfo::Uart:
      return QStringLiteral("%1, a UART").arg(p.comName);
    case SerialPortInfo::UsbAdapter:
      return QStringLiteral("USB serial adapter");
    case SerialPortInfo::UsbModem:
      return QStringLiteral("USB device of the modem class (ACM)");
    case SerialPortInfo::ById:
      return QStringLiteral("-> %1").arg(p.target);
  }
  return {};
}

QString PortKindName(SerialPortInfo::Kind kind) {
  switch (kind) {
    case SerialPortInfo::Uart:
      return QStringLiteral("uart");
    case SerialPortInfo::UsbAdapter:
      return QStringLiteral("usb");
    case SerialPortInfo::UsbModem:
      return QStringLiteral("acm");
    case SerialPortInfo::ById:
      return QStringLiteral("by-id");
  }
  return {};
}

}  // namespace

QString StatusName(const RunReport& report) {
  if (report.usageError)
    return QStringLiteral("usage");
  switch (report.result.status) {
    case OpStatus::Success:
      return QStringLiteral("success");
    case OpStatus::Failed:
      return QStringLiteral("failed");
    case OpStatus::Cancelled:
      return QStringLiteral("cancelled");
    case OpStatus::LinkNotOpened:
      return QStringLiteral("link-not-opened");
    case OpStatus::BadInput:
      return QStringLiteral("bad-input");
  }
  return QStringLiteral("failed");
}

QByteArray ReportJson(const RunReport& report) {
  QJsonObject o = report.extra;
  const OpResult& r = report.result;
  o.insert("command", report.command);
  o.insert("target", r.target);
  o.insert("status", StatusName(report));
  o.insert("exit", report.exitCode);
  o.insert("message", r.text);
  o.insert("detail", r.detail);
  o.insert("records", r.records);
  o.insert("duration", r.elapsedMs / 1000.0);
  if (!r.field.isEmpty())
    o.insert("field", r.field);
  return QJsonDocument(o).toJson(QJsonDocument::Indented);
}

QString InfoText(const PrinterReport& r, const DataBytes& record) {
  QString type = PrinterTypeName(r);
  type = (type.isEmpty() ? QStringLiteral("unknown") : type) +
         QStringLiteral(" (speed byte %1, model byte %2)").arg(r.printSpeed).arg(r.printerModel);
  QString language = LanguageName(r);
  language = (language.isEmpty() ? QStringLiteral("unknown") : language) +
             QStringLiteral(" (%1)").arg(r.printerLanguage);
  QString text;
  const auto line = [&text](const char* caption, const QString& value) {
    text += QStringLiteral("%1 %2\n").arg(QLatin1String(caption), -22).arg(value);
  };
  line("Machine number:", QString::number(r.machineNo));
  line("Printer type:", type);
  line("Printer language:", language);
  line("Clear flag:", ClearFlagText(r.clearFlag));
  line("Bluetooth name:", r.bluetoothName);
  line("Wireless printer IP:", r.wirelessPrinterIp);
  line("Base station IP:", r.baseStationIp);
  line("Wireless printer no.:", QString::number(r.wirelessPrinterNo));
  text += QStringLiteral("Device information received (data bytes, offsets in hex):\n");
  for (int at = 0; at < kDataSize; at += 16) {
    QString hex;
    QString chars;
    for (int i = at; i < at + 16; ++i) {
      hex += QStringLiteral(" %1").arg(record[i], 2, 16, QLatin1Char('0')).toUpper();
      chars += record[i] >= 0x20 && record[i] < 0x7F ? QChar(record[i]) : QLatin1Char('.');
    }
    text += QStringLiteral("  %1 <%2  %3\n")
                .arg(QString::number(at, 16).toUpper().rightJustified(2, QLatin1Char('0')))
                .arg(hex, chars);
  }
  return text;
}

QJsonObject InfoJson(const PrinterReport& r, const DataBytes& record) {
  QJsonObject info;
  info.insert("machine_no", r.machineNo);
  info.insert("print_speed", r.printSpeed);
  info.insert("printer_model", r.printerModel);
  info.insert("printer_type", PrinterTypeName(r));
  info.insert("printer_language", r.printerLanguage);
  info.insert("printer_language_name", LanguageName(r));
  info.insert("clear_flag", r.clearFlag);
  info.insert("bluetooth_name", r.bluetoothName);
  info.insert("wireless_printer_ip", r.wirelessPrinterIp);
  info.insert("base_station_ip", r.baseStationIp);
  info.insert("wireless_printer_no", r.wirelessPrinterNo);
  info.insert("record",
              QString::fromLatin1(
                  QByteArray(reinterpret_cast<const char*>(record.data()), kDataSize).toHex()));
  return info;
}

QString SettingsText(const std::vector<SettingDescription>& settings) {
  QString text;
  for (const SettingDescription& d : settings) {
    QString value;
    QString kind;
    switch (d.kind) {
      case ControlKind::SpinEdit:
        value = QString::number(d.value);
        kind = QStringLiteral("number from %1 to %2").arg(d.minValue).arg(d.maxValue);
        break;
      case ControlKind::DropDownList:
      case ControlKind::EditableCombo:
        value = d.itemIndex >= 0 ? QStringLiteral("%1 (%2)").arg(d.itemIndex).arg(d.text)
                                 : QStringLiteral("-1 (no selection)");
        kind = QStringLiteral("list, by item index");
        break;
      default:
        value = ShownText(d);
        kind = d.maxBytes > 0 ? QStringLiteral("text of at most %1 bytes").arg(d.maxBytes)
                              : QStringLiteral("text");
        break;
    }
    text += QStringLiteral("%1 = %2\n    %3: %4\n").arg(d.key, value, d.caption, kind);
    for (qsizetype i = 0; i < d.items.size(); ++i)
      text += QStringLiteral("%1  %2\n").arg(i, 6).arg(d.items[i]);
  }
  return text;
}

QJsonArray SettingsJson(const std::vector<SettingDescription>& settings) {
  QJsonArray list;
  for (const SettingDescription& d : settings) {
    QJsonObject o;
    o.insert("key", d.key);
    o.insert("label", d.caption);
    o.insert("kind", KindName(d.kind));
    if (d.kind == ControlKind::SpinEdit) {
      o.insert("value", d.value);
      o.insert("min", d.minValue);
      o.insert("max", d.maxValue);
    } else if (d.kind == ControlKind::Edit) {
      o.insert("value", ShownText(d));
      if (d.maxBytes > 0)
        o.insert("max_bytes", d.maxBytes);
    } else {
      o.insert("value", d.itemIndex);
      o.insert("items", QJsonArray::fromStringList(d.items));
    }
    list.append(o);
  }
  return list;
}

QString PortsText(const std::vector<SerialPortInfo>& ports) {
  if (ports.empty())
    return QStringLiteral("No serial ports found.\n");
  QString text;
  for (const SerialPortInfo& p : ports)
    text += QStringLiteral("%1 %2\n").arg(p.path, -16).arg(PortKindText(p));
  return text;
}

QJsonArray PortsJson(const std::vector<SerialPortInfo>& ports) {
  QJsonArray list;
  for (const SerialPortInfo& p : ports) {
    QJsonObject o;
    o.insert("path", p.path);
    o.insert("kind", PortKindName(p.kind));
    if (!p.comName.isEmpty())
      o.insert("com", p.comName);
    if (!p.target.isEmpty())
      o.insert("target", p.target);
    list.append(o);
  }
  return list;
}

}  // namespace xv4::cli
