// Files of the driver control tests: reading a file's bytes as UTF-16LE text, writing one, and a
// files family that fails chosen deletions.
#pragma once

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "../support/fresh_machine.h"
#include "platform/files.h"
#include "platform/forwarding.h"
#include "platform/platform.h"
#include "text/text.h"

namespace dc_test {

// The whole file as UTF-16LE code units; "<missing>" when it cannot be read.
inline std::u16string read_utf16(const std::filesystem::path& p)
{
    if (!std::filesystem::exists(p)) return u"<missing>";
    const std::string bytes = platform_test::read_text_file(p);
    return text::from_utf16le(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

inline void write_bytes(const std::filesystem::path& p, const std::string& bytes)
{
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline void write_utf16(const std::filesystem::path& p, std::u16string_view s)
{
    const auto b = text::to_utf16le(s);
    write_bytes(p, std::string(b.begin(), b.end()));
}

// The native files family, except that deleting a path whose name is listed fails with 5.
class FailingDeletes : public platform::ForwardingFiles {
public:
    using ForwardingFiles::ForwardingFiles;
    std::set<std::u16string> refused; // file names (the last component)
    std::vector<std::u16string> removed;

    platform::Error remove(const std::u16string& p) override
    {
        const std::u16string name = p.substr(p.find_last_of(u"\\/") + 1);
        if (refused.count(name)) return platform::err::access_denied;
        removed.push_back(name);
        return inner_.remove(p);
    }
};

} // namespace dc_test
