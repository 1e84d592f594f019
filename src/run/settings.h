// The machine-wide settings that steer a run, read from the registry.
#pragma once

#include "platform/win32.h"

namespace Vantrel {

// *disable: nonzero skips the model stage. *model: the requested dynamic
// platform model, as stored (sanitised later by the run). Each is 0 unless
// a REG_DWORD value says otherwise.
void ReadSettings(DWORD* disable, DWORD* model);

}  // namespace Vantrel
