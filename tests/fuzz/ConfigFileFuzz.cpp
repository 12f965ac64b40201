// Config.cfg: the window's saved fields, read at start into the form, taken into an operation's
// snapshot and through the operations' input checks and conversions; saved and read again.
//
// Input: a byte choosing the system code page (936, 950, 1252) and the check boxes and service
// rows set before the snapshot, then the file's bytes.
#include "appcore/FormModel.h"
#include "appcore/ParamBlocks.h"
#include "platform/CodePage.h"
#include "tests/fuzz/FuzzSupport.h"
#include "tests/fuzz/OperationInputChecks.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace xv4;
  fuzz::Environment();
  fuzz::Input in(data, size);
  const std::uint8_t choice = in.Byte();
  static const char* const kCodePages[] = {"936", "950", "1252"};
  setenv("XV4_ACP", kCodePages[(choice & 3) % 3], 1);
  fuzz::WriteScratchFile(QStringLiteral("Config.cfg"), in.Rest());

  const auto prepare = [choice](HeadlessMainForm& form) {
    form.StartUp();
    const char* const checks[] = {"chkBT", "chkRadio", "chkClear", "LabelModeCB"};
    for (int i = 0; i < 4; ++i)
      form.SetCheck(QString::fromLatin1(checks[i]), (choice & (4 << i)) != 0);
    if (choice & 0x40) {
      form.Reveal(ServiceRow::LabelProbe);
      form.Reveal(ServiceRow::MachineNo);
      form.Reveal(ServiceRow::PrintType);
    }
  };
  HeadlessMainForm form;
  prepare(form);
  const OperationSettings settings = form.Snapshot();
  DeviceValues device;
  device.info.fill((choice & 0x80) ? 0xFF : 0x00);
  fuzz::CheckOperationInput(settings, device);

  // What was read is what the next start reads after the exit saved it.
  XV4_FUZZ_CHECK(form.SaveSettings());
  HeadlessMainForm again;
  prepare(again);
  XV4_FUZZ_CHECK(again.Snapshot() == settings);
  return 0;
}
