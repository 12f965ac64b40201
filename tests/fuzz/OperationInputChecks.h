#pragma once
// The harnesses of the settings (Config.cfg, xv4ctl's options) end in the operations' use of
// the snapshot: what the input checks accept must convert without an exception, because the
// operations convert it after the link is open.

#include "appcore/OperationSettings.h"
#include "appcore/ParamBlocks.h"

namespace xv4::fuzz {

// The address checks, then the parameter blocks of both downloads for the input their checks
// accept, built with the given device values. Stops the run when a conversion throws.
void CheckOperationInput(const OperationSettings& s, const DeviceValues& device);

}  // namespace xv4::fuzz
