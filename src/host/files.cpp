#include "host/files.h"

#include <cstring>

#include "platform/files.h"
#include "platform/platform.h"
#include "platform/processes.h"
#include "platform/registry.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "text/text.h"

using platform::Handle;

void CByteBuffer::append(const void* data, size_t size)
{
    if (size == 0) return;
    const size_t used = bytes_.size() - 2;
    bytes_.resize(used + size + 2);
    std::memcpy(bytes_.data() + used, data, size);
    bytes_[used + size] = 0;
    bytes_[used + size + 1] = 0;
}

std::u16string CByteBuffer::as_utf16() const
{
    return text::from_utf16le(std::span<const uint8_t>(bytes_.data(), size()));
}

void JoinPath(std::u16string& base, std::u16string_view tail)
{
    if (base.empty() || base.back() != u'\\') base.push_back(u'\\');
    if (!tail.empty() && tail.front() == u'\\') tail.remove_prefix(1);
    base.append(tail);
}

std::u16string joined(std::u16string base, std::u16string_view tail)
{
    JoinPath(base, tail);
    return base;
}

bool EnsureFolders(const std::u16string& path)
{
    auto& files = platform::files();
    for (size_t i = 1; i < path.size(); ++i)
        if (path[i] == u'\\') files.create_directory(path.substr(0, i));
    if (!path.empty()) files.create_directory(path);
    return true;
}

namespace {
std::u16string folder_of(const std::u16string& path)
{
    const size_t slash = path.rfind(u'\\');
    return slash == std::u16string::npos ? std::u16string() : path.substr(0, slash);
}

// Writes all of `data` through `h`; false on any error or short write.
bool write_all(Handle h, const uint8_t* data, size_t count)
{
    while (count > 0) {
        const uint32_t chunk = count > 0x40000000u ? 0x40000000u : uint32_t(count);
        uint32_t written = 0;
        if (platform::files().write(h, data, chunk, written) != platform::err::success || written == 0) return false;
        data += written;
        count -= written;
    }
    return true;
}
} // namespace

int WriteWholeFile(const std::u16string& path, const void* bytes, size_t count)
{
    auto& files = platform::files();
    const std::u16string folder = folder_of(path);
    if (folder.size() >= 1024) return 0;
    if (!folder.empty()) EnsureFolders(folder);
    files.make_writable(path);

    // The temporary name carries the process and thread, so that concurrent writers of one file
    // never share a temporary; the last rename wins whole.
    auto& processes = platform::processes();
    const std::u16string temp =
        path + text::format(u".%x-%x.tmp", processes.current_id(), processes.current_thread_id());
    Handle h = platform::null_handle;
    if (files.open(temp, platform::access::generic_write, platform::share::none, platform::disposition::create_always,
                   platform::attribute::normal, h) != platform::err::success)
        return 0;
    const bool ok = write_all(h, static_cast<const uint8_t*>(bytes), count);
    files.close(h);
    if (!ok || files.move_replace(temp, path) != platform::err::success) {
        files.remove(temp);
        return 0;
    }
    return 1;
}

int WriteWholeFile(const std::u16string& path, const std::u16string& text)
{
    const auto bytes = text::to_utf16le(text);
    return WriteWholeFile(path, bytes.data(), bytes.size());
}

int ReadWholeFile(const std::u16string& path, CByteBuffer& buffer)
{
    auto& files = platform::files();
    Handle h = platform::null_handle;
    if (files.open(path, platform::access::generic_read, platform::share::read | platform::share::write,
                   platform::disposition::open_existing, platform::attribute::normal, h) != platform::err::success)
        return 0;
    uint64_t size = 0;
    // The buffer's lengths are 32-bit; a larger file cannot be held.
    if (files.size(h, size) != platform::err::success || size > 0xFFFFFFF0u) {
        files.close(h);
        return 0;
    }
    CByteBuffer content;
    std::vector<uint8_t> chunk(size_t(std::min<uint64_t>(size, 1 << 20)) + 1);
    uint64_t total = 0;
    for (;;) {
        uint32_t got = 0;
        if (files.read(h, chunk.data(), uint32_t(chunk.size()), got) != platform::err::success) {
            files.close(h);
            return 0;
        }
        if (got == 0) break;
        content.append(chunk.data(), got);
        total += got;
        if (total > 0xFFFFFFF0u) {
            files.close(h);
            return 0;
        }
    }
    files.close(h);
    buffer = std::move(content);
    return 1;
}

int AppendToFile(const std::u16string& path, const std::string& bytes)
{
    auto& files = platform::files();
    const std::u16string folder = folder_of(path);
    if (!folder.empty()) EnsureFolders(folder);
    Handle h = platform::null_handle;
    if (files.open(path, platform::access::append_data, platform::share::read | platform::share::write,
                   platform::disposition::open_always, platform::attribute::normal, h) != platform::err::success)
        return 0;
    const bool ok = write_all(h, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    files.close(h);
    return ok ? 1 : 0;
}

bool MutexPresent(std::u16string_view name)
{
    const std::u16string full = u"Global\\" + std::u16string(name);
    if (full.size() >= 1024) return false;
    Handle h = platform::null_handle;
    const platform::Error e = platform::sync().open_mutex(full, h);
    if (e == platform::err::success) {
        platform::sync().close(h);
        return true;
    }
    return e == platform::err::access_denied;
}

uint32_t ReadHklmDword(const std::u16string& key, const std::u16string& value, uint32_t default_value)
{
    auto& reg = platform::registry();
    Handle k = platform::null_handle;
    if (reg.open_key(key, platform::key_access::read, k) != platform::err::success) return default_value;
    uint32_t type = 0;
    std::vector<uint8_t> data;
    const platform::Error e = reg.query_value(k, value, type, data);
    reg.close_key(k);
    if (e != platform::err::success || type != platform::reg_type::dword || data.size() != 4) return default_value;
    return uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 | uint32_t(data[3]) << 24;
}

int WriteHklmDword(const std::u16string& key, const std::u16string& value, uint32_t number)
{
    auto& reg = platform::registry();
    Handle k = platform::null_handle;
    if (reg.create_key(key, platform::key_access::all_access, k) != platform::err::success) return 0;
    const uint8_t data[4] = {uint8_t(number), uint8_t(number >> 8), uint8_t(number >> 16), uint8_t(number >> 24)};
    const platform::Error e = reg.set_value(k, value, platform::reg_type::dword, data);
    reg.close_key(k);
    return e == platform::err::success ? 1 : 0;
}

std::u16string suite_root_folder()
{
    auto& reg = platform::registry();
    Handle k = platform::null_handle;
    if (reg.open_key(u"Software\\halvar", platform::key_access::read, k) != platform::err::success) return {};
    uint32_t type = 0;
    std::vector<uint8_t> data;
    const platform::Error e = reg.query_value(k, u"RootPath", type, data);
    reg.close_key(k);
    if (e != platform::err::success || data.size() > 3000 ||
        (type != platform::reg_type::sz && type != platform::reg_type::expand_sz))
        return {};
    std::u16string root = text::from_utf16le(data);
    if (const size_t nul = root.find(u'\0'); nul != std::u16string::npos) root.resize(nul);
    return root;
}

std::u16string suite_data_folder(std::u16string_view sub)
{
    std::u16string base;
    if (platform::system().environment(u"ALLUSERSPROFILE", base) != platform::err::success || base.size() >= 1024)
        base.clear();
    JoinPath(base, u"halvar");
    if (!sub.empty()) JoinPath(base, sub);
    return base;
}

std::u16string suite_config_folder(std::u16string_view sub)
{
    std::u16string folder = suite_data_folder(u"cfg");
    if (!sub.empty()) JoinPath(folder, sub);
    return folder;
}

std::u16string program_folder(std::u16string_view sub)
{
    std::u16string path;
    if (platform::processes().current_module_path(path) != platform::err::success || path.size() > 1024) path.clear();
    std::u16string folder = folder_of(path);
    if (!sub.empty()) JoinPath(folder, sub);
    return folder;
}
