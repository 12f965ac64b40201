// xv4ctl's command line: the parser, then the options applied to the form as the program applies
// them (each value goes through the same field rules as typed text), the snapshot and the
// operations' input checks.
//
// Input: the arguments after the program name, each ended by a NUL byte (as the system passes
// them), in UTF-8.
#include "appcore/FormModel.h"
#include "cli/CommandLine.h"
#include "tests/fuzz/FuzzSupport.h"
#include "tests/fuzz/OperationInputChecks.h"

#include <QList>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace xv4;
  fuzz::Environment();
  QStringList args;
  QList<QByteArray> parts = fuzz::ToByteArray({data, size}).split('\0');
  if (!parts.isEmpty() && parts.back().isEmpty())
    parts.removeLast();
  for (const QByteArray& part : parts)
    args << QString::fromUtf8(part);

  cli::Options options;
  if (cli::ParseCommandLine(args, &options))
    return 0;
  XV4_FUZZ_CHECK(options.help || options.version || !options.command.isEmpty());

  HeadlessMainForm form;
  for (const cli::FormAction& a : options.actions) {
    switch (a.kind) {
      case cli::FormAction::Check:
        form.SetCheck(a.key, true);
        break;
      case cli::FormAction::Reveal:
        form.Reveal(a.key == QLatin1String("label-probe")  ? ServiceRow::LabelProbe
                    : a.key == QLatin1String("machine-no") ? ServiceRow::MachineNo
                                                           : ServiceRow::PrintType);
        break;
      case cli::FormAction::Serial:
      case cli::FormAction::Baud: {
        form.SelectMode(1);
        const qsizetype index = form.Items(a.key).indexOf(a.value);
        if (index >= 0)
          form.Set(a.key, QString::number(index));
        break;
      }
      default:
        form.Set(a.key, a.value);
        break;
    }
  }
  fuzz::CheckOperationInput(form.Snapshot(), DeviceValues{});
  return 0;
}
