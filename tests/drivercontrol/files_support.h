// Files of the driver control tests: reading a file's bytes as UTF-16LE text, writing one, and a
// files family that fails chosen deletions.
#pragma once

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "../platform/fresh_machine.h"
#include "platform/files.h"
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
class FailingDeletes : public platform::Files {
public:
    explicit FailingDeletes(platform::Files& real) : real_(real) {}
    std::set<std::u16string> refused; // file names (the last component)
    std::vector<std::u16string> removed;

    platform::Error open(const std::u16string& p, uint32_t a, uint32_t s, uint32_t d, uint32_t f,
                         platform::Handle& h) override
    {
        return real_.open(p, a, s, d, f, h);
    }
    platform::Error read(platform::Handle h, void* b, uint32_t n, uint32_t& r) override { return real_.read(h, b, n, r); }
    platform::Error write(platform::Handle h, const void* b, uint32_t n, uint32_t& w) override
    {
        return real_.write(h, b, n, w);
    }
    platform::Error size(platform::Handle h, uint64_t& s) override { return real_.size(h, s); }
    platform::Error close(platform::Handle h) override { return real_.close(h); }
    platform::Error remove(const std::u16string& p) override
    {
        const std::u16string name = p.substr(p.find_last_of(u"\\/") + 1);
        if (refused.count(name)) return platform::err::access_denied;
        removed.push_back(name);
        return real_.remove(p);
    }
    platform::Error create_directory(const std::u16string& p) override { return real_.create_directory(p); }
    uint32_t attributes(const std::u16string& p, platform::Error& e) override { return real_.attributes(p, e); }
    platform::Error find(const std::u16string& p, std::vector<platform::FindEntry>& e) override { return real_.find(p, e); }
    platform::Error move_replace(const std::u16string& f, const std::u16string& t) override
    {
        return real_.move_replace(f, t);
    }
    int stat(const std::u16string& p, bool& d) override { return real_.stat(p, d); }
    int make_writable(const std::u16string& p) override { return real_.make_writable(p); }
    uint32_t drive_type(const std::u16string& r) override { return real_.drive_type(r); }

private:
    platform::Files& real_;
};

} // namespace dc_test
