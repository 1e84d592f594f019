#include "run/settings.h"

#include <cstring>

namespace Vantrel {

namespace {

const char kSettingsKey[] = "Software\\Keldran\\Settings\\";
const char kDisableValueName[] = "DisableVantrel";
const char kModelValueName[] = "GpsPositionMode";

// Leaves *value alone unless the value exists as a REG_DWORD. A value of
// another type, a string holding digits included, is not a setting.
void QueryDword(HKEY settings, const char* name, DWORD* value) {
  unsigned char area[4];
  std::memset(area, 0, sizeof area);
  DWORD size = sizeof area;
  DWORD type = 0;
  if (RegQueryValueExA(settings, name, nullptr, &type, area, &size) != ERROR_SUCCESS) return;
  if (type != REG_DWORD || size == 0) return;
  *value = static_cast<DWORD>(area[0]) | static_cast<DWORD>(area[1]) << 8 |
           static_cast<DWORD>(area[2]) << 16 | static_cast<DWORD>(area[3]) << 24;
}

}  // namespace

void ReadSettings(DWORD* disable, DWORD* model) {
  *disable = 0;
  *model = 0;
  HKEY settings = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_READ, &settings) != ERROR_SUCCESS)
    return;
  QueryDword(settings, kDisableValueName, disable);
  QueryDword(settings, kModelValueName, model);
  RegCloseKey(settings);
}

}  // namespace Vantrel
