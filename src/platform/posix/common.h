// Small pieces the posix families share: errno as a Windows error code (from the running machine's
// errno_codes.h, which the machine's own steps use too), Linux paths in Windows form, whole-file
// I/O and the SHA-1 primitive.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"
#include "platform/handle_table.h"
#include "platform/linux/errno_codes.h"

namespace platform::posix {

// 2 when the folder that would hold `native` exists (so only the last component is missing),
// 3 otherwise: Windows' ERROR_FILE_NOT_FOUND against ERROR_PATH_NOT_FOUND.
Error missing_path_error(const std::string& native);

// A Linux path as Windows callers see it: UTF-16 with "/" turned into "\\".
std::u16string windows_form(std::string_view native);

// Reads a whole file of at most `limit` bytes: 0, or a Windows code (2/3 missing, 8 when larger
// than the limit).
Error read_file(const std::string& native, std::vector<uint8_t>& data, size_t limit);

// Replaces a file atomically: writes a temporary file beside it, flushes it and renames it over
// the target, then flushes the folder. Readers see either the old or the new content, also after
// a crash.
Error replace_file(const std::string& native, std::span<const uint8_t> data);

// SHA-1 through libcrypto.
bool sha1(std::span<const uint8_t> data, uint8_t (&digest)[20]);

} // namespace platform::posix
