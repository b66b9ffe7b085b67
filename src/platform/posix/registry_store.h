// The emulated registry's storage on Linux: <root>/registry/HKLM, one folder per key, named by the
// key's name in lower case (escaped so that any name is a valid, unique folder name), holding the
// file ".key" with the key's name as written and its values.
//
// The ".key" file: "ZKEY", version 1, the key name, the number of values, each value (name, type,
// data), all lengths as 32-bit little-endian numbers and texts as UTF-16LE, then the SHA-1 digest
// of everything before it. A file that is short, long, inconsistent or fails its digest is
// damaged: the key answers 1015 (ERROR_REGISTRY_CORRUPT) until it is rewritten or deleted.
#pragma once

#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/registry.h"

namespace platform::posix {

struct KeyRecord {
    std::u16string name;
    std::vector<RegistryValue> values;
};

// The folder of a key given by its path below HKLM ("Software\\halvar"); empty when the path is
// not a valid key path.
std::string registry_key_folder(const std::u16string& path);
// The ".key" file of that folder.
std::string registry_key_file(const std::u16string& path);

std::vector<uint8_t> encode_key_record(const KeyRecord& record);
// 0, or 1015 when the bytes are not a sound key record.
Error decode_key_record(const std::vector<uint8_t>& bytes, KeyRecord& record);

} // namespace platform::posix
