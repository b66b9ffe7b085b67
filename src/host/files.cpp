#include "host/files.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "host/trace.h"
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
// Both separators end a folder: switch values keep the one the caller typed ("/gud:/tmp/x.json"),
// and Windows takes either.
std::u16string folder_of(const std::u16string& path)
{
    const size_t slash = path.find_last_of(u"\\/");
    return slash == std::u16string::npos ? std::u16string() : path.substr(0, slash);
}

// Writes all of `data` through `h`: 0, or the error of the write that failed (a write that takes
// nothing is a full disk, as Windows says for a short write to a file).
platform::Error write_all(Handle h, const uint8_t* data, size_t count)
{
    while (count > 0) {
        const uint32_t chunk = count > 0x40000000u ? 0x40000000u : uint32_t(count);
        uint32_t written = 0;
        const platform::Error e = platform::files().write(h, data, chunk, written);
        if (e != platform::err::success) return e;
        if (written == 0) return platform::err::disk_full;
        data += written;
        count -= written;
    }
    return platform::err::success;
}
} // namespace

namespace {
// "<path>.<pid>-<tid>.tmp": the temporary a writer of `path` uses.
std::u16string temporary_of(const std::u16string& path, uint32_t pid, uint32_t tid)
{
    return path + text::format(u".%x-%x.tmp", pid, tid);
}

// Removes the temporaries of `path` that writers which no longer run left behind (a crash between
// writing and renaming); those of running processes may be in use.
void remove_stale_temporaries(const std::u16string& path)
{
    auto& files = platform::files();
    std::vector<platform::FindEntry> found;
    if (files.find(path + u".*-*.tmp", found) != platform::err::success) return;
    std::vector<uint32_t> running;
    platform::processes().enumerate(running);
    const std::u16string folder = folder_of(path);
    const size_t name_start = path.size() - (folder.empty() ? 0 : folder.size() + 1);
    for (const platform::FindEntry& entry : found) {
        // The name after "<file name>.": the writer's process id in hexadecimal, "-", ...
        const std::u16string_view rest = std::u16string_view(entry.name).substr(std::min(entry.name.size(), name_start + 1));
        const size_t dash = rest.find(u'-');
        if (dash == 0 || dash == std::u16string_view::npos) continue;
        uint32_t pid = 0;
        bool digits = true;
        for (char16_t c : rest.substr(0, dash)) {
            const int v = c >= u'0' && c <= u'9' ? c - u'0' : c >= u'a' && c <= u'f' ? c - u'a' + 10 : -1;
            if (v < 0) digits = false;
            pid = pid * 16 + uint32_t(v < 0 ? 0 : v);
        }
        if (!digits || std::find(running.begin(), running.end(), pid) != running.end()) continue;
        files.remove(folder.empty() ? entry.name : joined(folder, entry.name));
    }
}

// The target cannot be replaced while another program has it open (Windows refuses to rename over
// an open file, whatever it shares): the content is written into it instead, as a plain writer
// would. Not atomic, but nothing is lost.
platform::Error write_in_place(const std::u16string& path, const void* bytes, size_t count)
{
    auto& files = platform::files();
    Handle h = platform::null_handle;
    if (const platform::Error e = files.open(path, platform::access::generic_write,
                                             platform::share::read | platform::share::write,
                                             platform::disposition::create_always, platform::attribute::normal, h))
        return e;
    const platform::Error e = write_all(h, static_cast<const uint8_t*>(bytes), count);
    files.close(h);
    return e;
}

platform::Error write_whole_file(const std::u16string& path, const void* bytes, size_t count)
{
    auto& files = platform::files();
    const std::u16string folder = folder_of(path);
    if (folder.size() >= 1024) return platform::err::filename_exced_range;
    if (!folder.empty()) EnsureFolders(folder);
    files.make_writable(path);
    remove_stale_temporaries(path);

    // The temporary name carries the process and thread, so that concurrent writers of one file
    // never share a temporary; the last rename wins whole.
    auto& processes = platform::processes();
    const std::u16string temp = temporary_of(path, processes.current_id(), processes.current_thread_id());
    Handle h = platform::null_handle;
    if (files.open(temp, platform::access::generic_write, platform::share::none, platform::disposition::create_always,
                   platform::attribute::normal, h) != platform::err::success)
        return write_in_place(path, bytes, count);
    const platform::Error written = write_all(h, static_cast<const uint8_t*>(bytes), count);
    files.close(h);
    if (written != platform::err::success) {
        files.remove(temp);
        return written;
    }
    const platform::Error moved = files.move_replace(temp, path);
    if (moved == platform::err::success) return moved;
    files.remove(temp);
    if (moved == platform::err::access_denied || moved == platform::err::sharing_violation)
        return write_in_place(path, bytes, count);
    return moved;
}
} // namespace

int WriteWholeFile(const std::u16string& path, const void* bytes, size_t count, uint32_t* error)
{
    const platform::Error e = write_whole_file(path, bytes, count);
    if (error) *error = e;
    return e == platform::err::success ? 1 : 0;
}

namespace {
// A few words on the codes a user can do something about.
const char16_t* write_error_hint(uint32_t error)
{
    switch (error) {
    case platform::err::file_not_found:
    case platform::err::path_not_found: return u" (the folder does not exist and cannot be made)";
    case platform::err::access_denied: return u" (access denied: a read-only place, or a folder of that name)";
    case platform::err::sharing_violation: return u" (another program has the file open)";
    case platform::err::disk_full: return u" (the disk is full)";
    case platform::err::invalid_name: return u" (the name is not valid)";
    case platform::err::filename_exced_range: return u" (the path is too long)";
    default: return u"";
    }
}
} // namespace

int WriteOutputFile(const std::u16string& path, const void* bytes, size_t count)
{
    uint32_t error = 0;
    if (WriteWholeFile(path, bytes, count, &error)) return 1;
    TRACE(u"Cannot write %s: error %u%s", path, error, write_error_hint(error));
    return 0;
}

int WriteWholeFile(const std::u16string& path, const std::u16string& text)
{
    const auto bytes = text::to_utf16le(text);
    return WriteWholeFile(path, bytes.data(), bytes.size());
}

int ReadWholeFile(const std::u16string& path, CByteBuffer& buffer, uint64_t limit, uint64_t* size_out)
{
    limit = std::min<uint64_t>(limit, 0xFFFFFFF0u);
    auto& files = platform::files();
    Handle h = platform::null_handle;
    if (files.open(path, platform::access::generic_read, platform::share::read | platform::share::write,
                   platform::disposition::open_existing, platform::attribute::normal, h) != platform::err::success)
        return 0;
    uint64_t size = 0;
    // The buffer's lengths are 32-bit; a larger file cannot be held.
    if (files.size(h, size) != platform::err::success || size > limit) {
        if (size_out) *size_out = size;
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
        if (total > limit) { // it grew while it was read
            if (size_out) *size_out = total;
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
    const platform::Error e = write_all(h, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    files.close(h);
    return e == platform::err::success ? 1 : 0;
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

namespace {
// An empty folder makes every path below it start with a bare "\\": on Windows the root of the
// current drive. Where there are no drives (Linux) such a path is the file system's own root, so
// the empty folder becomes a name that no file call accepts, and nothing is read or written below
// it. Either way it is said, once per process.
std::u16string empty_folder(std::atomic<bool>& said, const char16_t* what)
{
    const bool drives = platform::files().drive_type(u"\\") != platform::drive::no_root_dir;
    if (!said.exchange(true))
        _COUT(std::u16string(u"Empty ") + what + (drives ? u": paths start at the drive's root" : u": nothing is used"));
    return drives ? std::u16string() : std::u16string(no_folder);
}
std::atomic<bool> empty_root_said{false};
std::atomic<bool> empty_data_said{false};
} // namespace

std::u16string suite_root_folder()
{
    auto& reg = platform::registry();
    Handle k = platform::null_handle;
    if (reg.open_key(u"Software\\halvar", platform::key_access::read, k) != platform::err::success)
        return empty_folder(empty_root_said, u"suite root folder (no RootPath)");
    uint32_t type = 0;
    std::vector<uint8_t> data;
    const platform::Error e = reg.query_value(k, u"RootPath", type, data);
    reg.close_key(k);
    std::u16string root;
    if (e == platform::err::success && data.size() <= 3000 &&
        (type == platform::reg_type::sz || type == platform::reg_type::expand_sz))
        root = text::from_utf16le(data);
    if (const size_t nul = root.find(u'\0'); nul != std::u16string::npos) root.resize(nul);
    if (root.empty()) return empty_folder(empty_root_said, u"suite root folder (no RootPath)");
    return root;
}

std::u16string suite_data_folder(std::u16string_view sub)
{
    std::u16string base;
    if (platform::system().environment(u"ALLUSERSPROFILE", base) != platform::err::success || base.size() >= 1024)
        base.clear();
    if (base.empty()) {
        base = empty_folder(empty_data_said, u"ALLUSERSPROFILE (missing or too long)");
        if (!base.empty()) return base;
    }
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
