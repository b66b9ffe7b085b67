// The registry below HKEY_LOCAL_MACHINE, with the meaning of RegOpenKeyExW, RegCreateKeyExW,
// RegQueryValueExW, RegSetValueExW, RegDeleteValueW, RegDeleteKeyExW, RegEnumKeyExW, RegEnumValueW
// and RegCloseKey.
//
// Key paths are relative to HKEY_LOCAL_MACHINE ("Software\\halvar"); key and value names are
// compared without regard to case; the empty value name is the key's default value. Values are a
// type and bytes, stored and returned exactly as given (a REG_SZ carries its UTF-16LE code units and
// whatever terminator the writer put in).
//
// Windows: the real registry, always in its 64-bit view (KEY_WOW64_64KEY), so that a 32-bit build
// would read the keys the 64-bit suite and driver use.
// posix: <root>/registry/HKLM/..., one folder per key holding one file with the key's values,
// replaced atomically on every change; a damaged file is reported as 1015, never trusted.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/errors.h"

namespace platform {

// Value types: the Windows values.
namespace reg_type {
constexpr uint32_t none = 0;
constexpr uint32_t sz = 1;
constexpr uint32_t expand_sz = 2;
constexpr uint32_t binary = 3;
constexpr uint32_t dword = 4;
constexpr uint32_t multi_sz = 7;
constexpr uint32_t qword = 11;
} // namespace reg_type

// Key access rights: the Windows values.
namespace key_access {
constexpr uint32_t query_value = 0x0001;
constexpr uint32_t set_value = 0x0002;
constexpr uint32_t create_sub_key = 0x0004;
constexpr uint32_t enumerate_sub_keys = 0x0008;
constexpr uint32_t read = 0x20019;       // KEY_READ
constexpr uint32_t write = 0x20006;      // KEY_WRITE
constexpr uint32_t all_access = 0xF003F; // KEY_ALL_ACCESS
} // namespace key_access

struct RegistryValue {
    std::u16string name;
    uint32_t type = reg_type::none;
    std::vector<uint8_t> data;
};

class Registry {
public:
    virtual ~Registry() = default;

    // RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, access): 2 when the key is missing.
    virtual Error open_key(const std::u16string& path, uint32_t access, Handle& key) = 0;
    // RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, ..., REG_OPTION_NON_VOLATILE, access): opens the
    // key, creating it and every missing key above it.
    virtual Error create_key(const std::u16string& path, uint32_t access, Handle& key) = 0;
    virtual Error close_key(Handle key) = 0;

    // RegQueryValueExW: the type and all the bytes of a value; 2 when it is missing, 5 when the
    // key was not opened for query.
    virtual Error query_value(Handle key, const std::u16string& name, uint32_t& type,
                              std::vector<uint8_t>& data) = 0;
    // RegSetValueExW: creates or replaces the value; 5 when the key was not opened for setting.
    virtual Error set_value(Handle key, const std::u16string& name, uint32_t type,
                            std::span<const uint8_t> data) = 0;
    // RegDeleteValueW: 2 when it is missing.
    virtual Error delete_value(Handle key, const std::u16string& name) = 0;

    // RegEnumKeyExW: the names of the direct sub-keys.
    virtual Error enum_subkeys(Handle key, std::vector<std::u16string>& names) = 0;
    // RegEnumValueW: every value with its type and bytes.
    virtual Error enum_values(Handle key, std::vector<RegistryValue>& values) = 0;

    // RegDeleteKeyExW: deletes a key that has no sub-keys (5 when it has some, 2 when missing).
    virtual Error delete_key(const std::u16string& path) = 0;
    // The key with everything below it (RegDeleteTreeW on the key, then the key itself).
    virtual Error delete_tree(const std::u16string& path) = 0;
};

} // namespace platform
