#include "tests/fuzz/OperationInputChecks.h"

#include "protocol/DeviceRecord.h"
#include "tests/fuzz/FuzzSupport.h"

#include <cstdio>
#include <exception>

namespace xv4::fuzz {

void CheckOperationInput(const OperationSettings& s, const DeviceValues& device) {
  try {
    if (AddressInputError(s.ipAddress).isEmpty())
      AddressToNumber(s.ipAddress, true);
    ParseDecimal(s.ipPort);
    ParseDecimal(s.machineId);
    if (BluetoothNameTooLong(s))
      return;
    for (const ParamVariant variant : {ParamVariant::ParamDownload, ParamVariant::DataDownload}) {
      if (!CheckParamInput(s, variant).isEmpty())
        continue;
      const NameBuffer name = UsesDeviceName(s) ? DeviceName(device.info) : TypedName(s);
      BuildParamBlockA(s, device, name, variant);
      if (variant == ParamVariant::ParamDownload)
        BuildParamBlockB(s);
      else
        BuildDataBlockB(s);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "exception: %s\n", e.what());
    XV4_FUZZ_CHECK(!"input the checks accepted converts without an exception");
  }
}

}  // namespace xv4::fuzz
