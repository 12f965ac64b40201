#pragma once
// What xv4ctl prints once a command is done: the JSON report of --json, and the plain texts of
// the read-back and discovery commands (info, settings, ports).
//
// Pure functions; UI thread (the names of printer types and languages come from the current
// language texts).

#include "appcore/FormModel.h"
#include "appcore/Operations.h"
#include "appcore/ParamBlocks.h"
#include "transport/SerialPorts.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <vector>

namespace xv4::cli {

// The outcome of one run of xv4ctl, whatever the command.
struct RunReport {
  QString command;
  OpResult result;
  int exitCode = 0;
  bool usageError = false;  // refused before any command ran
  QJsonObject extra;        // "info", "settings" or "ports"
};

// "success", "failed", "cancelled", "link-not-opened", "bad-input", "usage".
QString StatusName(const RunReport& report);
// One JSON object and a line end.
QByteArray ReportJson(const RunReport& report);

QString InfoText(const PrinterReport& report, const DataBytes& record);
QJsonObject InfoJson(const PrinterReport& report, const DataBytes& record);

// The WiFi password is listed by its length only.
QString SettingsText(const std::vector<SettingDescription>& settings);
QJsonArray SettingsJson(const std::vector<SettingDescription>& settings);

QString PortsText(const std::vector<SerialPortInfo>& ports);
QJsonArray PortsJson(const std::vector<SerialPortInfo>& ports);

}  // namespace xv4::cli
