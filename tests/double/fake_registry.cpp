// The registry below HKEY_LOCAL_MACHINE: keys, typed values, the real
// return codes, and a record of every key opened and closed.
#include <cstring>

#include "double/world.h"

namespace Vantrel {
namespace Fake {

namespace {

constexpr std::uintptr_t kFirstKey = 0x2000;
// What the caller finds in area bytes the call does not promise to write.
constexpr std::uint8_t kUnpromisedByte = 0xCD;

bool IsStringType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

std::string NormalisedPath(const std::string& path) {
  std::string normalised = Lower(path);
  while (!normalised.empty() && normalised.back() == '\\') normalised.pop_back();
  return normalised;
}

OpenKey* KeyFor(HKEY key) {
  World& w = TheWorld();
  const std::uintptr_t value = reinterpret_cast<std::uintptr_t>(key);
  if (value >= kFirstKey && (value - kFirstKey) % 4 == 0) {
    const std::size_t index = (value - kFirstKey) / 4;
    if (index < w.keys.size() && w.keys[index].open) return &w.keys[index];
  }
  return nullptr;
}

}  // namespace

void AddRegistryKey(const std::string& keyPath) { TheWorld().registry[NormalisedPath(keyPath)]; }

void SetRegistryValue(const std::string& keyPath, const std::string& name, DWORD type,
                      const std::vector<std::uint8_t>& data) {
  TheWorld().registry[NormalisedPath(keyPath)].values[Lower(name)] = RegistryValue{type, data};
}

void SetRegistryString(const std::string& keyPath, const std::string& name,
                       const std::string& text, bool withTerminator) {
  std::vector<std::uint8_t> data(text.begin(), text.end());
  if (withTerminator) data.push_back(0);
  SetRegistryValue(keyPath, name, REG_SZ, data);
}

void SetRegistryDword(const std::string& keyPath, const std::string& name, DWORD value) {
  SetRegistryValue(keyPath, name, REG_DWORD,
                   {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                    static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)});
}

}  // namespace Fake
}  // namespace Vantrel

using namespace Vantrel::Fake;

extern "C" LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                              PHKEY phkResult) {
  World& w = TheWorld();
  const bool injected = Enter(Call::RegOpenKey);
  const std::string subKey = lpSubKey != nullptr ? lpSubKey : "";
  KeyOpen record{subKey, samDesired, ulOptions, false};
  if (phkResult == nullptr) {
    Violation("RegOpenKeyExA without a result");
    w.keyOpens.push_back(record);
    return ERROR_INVALID_PARAMETER;
  }
  if (hKey != HKEY_LOCAL_MACHINE) {
    Violation("RegOpenKeyExA below a root other than HKEY_LOCAL_MACHINE");
    w.keyOpens.push_back(record);
    return ERROR_INVALID_HANDLE;
  }
  const std::string path = NormalisedPath(subKey);
  if (injected) {
    w.keyOpens.push_back(record);
    return ERROR_ACCESS_DENIED;
  }
  if (w.registry.find(path) == w.registry.end()) {
    w.keyOpens.push_back(record);
    return ERROR_FILE_NOT_FOUND;
  }
  record.opened = true;
  w.keyOpens.push_back(record);
  w.keys.push_back(OpenKey{path, true});
  *phkResult = reinterpret_cast<HKEY>(kFirstKey + (w.keys.size() - 1) * 4);
  return ERROR_SUCCESS;
}

extern "C" LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved,
                                 LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  World& w = TheWorld();
  const bool injected = Enter(Call::RegQueryValue);
  const std::string name = lpValueName != nullptr ? lpValueName : "";
  w.queriedValues.push_back(name);
  if (lpReserved != nullptr) Violation("RegQueryValueExA given a reserved argument");
  const OpenKey* key = KeyFor(hKey);
  if (key == nullptr) {
    Violation("RegQueryValueExA on a key that is not open");
    return ERROR_INVALID_HANDLE;
  }
  if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
  if (injected) return ERROR_ACCESS_DENIED;

  const RegistryKey& stored = w.registry[key->path];
  const auto found = stored.values.find(Lower(name));
  if (found == stored.values.end()) return ERROR_FILE_NOT_FOUND;
  const RegistryValue& value = found->second;
  const DWORD size = static_cast<DWORD>(value.data.size());
  if (lpType != nullptr) *lpType = value.type;
  if (lpData == nullptr) {
    if (lpcbData != nullptr) *lpcbData = size;
    return ERROR_SUCCESS;
  }
  if (size > *lpcbData) {
    // The area's contents are undefined after this; make that visible.
    std::memset(lpData, kUnpromisedByte, *lpcbData);
    *lpcbData = size;
    return ERROR_MORE_DATA;
  }
  // The bytes exactly as stored: a string stored without its terminator
  // comes back without one. Nothing past a string's returned size is
  // promised, so the rest of its area holds no terminator either; data of
  // other types is copied as it is, the rest left as the caller had it.
  if (IsStringType(value.type)) std::memset(lpData, kUnpromisedByte, *lpcbData);
  if (size != 0) std::memcpy(lpData, value.data.data(), size);
  *lpcbData = size;
  return ERROR_SUCCESS;
}

extern "C" LONG RegCloseKey(HKEY hKey) {
  World& w = TheWorld();
  Enter(Call::RegCloseKey);
  OpenKey* key = KeyFor(hKey);
  if (key == nullptr) {
    Violation("RegCloseKey on a key that is not open");
    return ERROR_INVALID_HANDLE;
  }
  key->open = false;
  ++w.keysClosed;
  return ERROR_SUCCESS;
}
