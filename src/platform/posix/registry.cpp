// The registry on Linux, below the platform root, shared by every process of the emulated machine.
//
// Each change rewrites the key's file whole and renames it into place, under an advisory lock on
// the key (flock on "<key>/.lock"), so concurrent writers never lose each other's values and a
// reader or a crash never sees half a key. New keys are built under a temporary folder name and
// renamed into place with their file; deleted keys are renamed away before they are emptied.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/le_fields.h"
#include "platform/native.h"
#include "platform/posix/common.h"
#include "platform/posix/objects.h"
#include "platform/posix/registry_store.h"
#include "platform/posix/root.h"
#include "platform/registry.h"
#include "text/text.h"

namespace platform::posix {

namespace {

constexpr size_t max_key_file = 64u << 20;
constexpr size_t max_key_name = 255;
constexpr size_t max_value_name = 16383;
constexpr char key_file_name[] = ".key";
constexpr char lock_file_name[] = ".lock";

std::string hex_of(const uint8_t* p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s.push_back(digits[p[i] >> 4]);
        s.push_back(digits[p[i] & 15]);
    }
    return s;
}

// A key name as a folder name: lower case (names compare without case), escaped so that "/",
// "%", NUL and a leading "." (our own files, ".", "..") cannot occur; long names by their digest.
std::string folder_name(std::u16string_view name)
{
    const std::string utf8 = text::to_utf8(text::to_lower(name));
    std::string out;
    for (size_t i = 0; i < utf8.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        if (c == '/' || c == '%' || c == 0 || (c == '.' && i == 0)) {
            static const char digits[] = "0123456789ABCDEF";
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        } else {
            out += char(c);
        }
    }
    if (out.size() > 200) {
        uint8_t d[20];
        sha1(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(utf8.data()), utf8.size()), d);
        out = "%H" + hex_of(d, sizeof d);
    }
    return out;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The name a folder stands for, when its key file cannot tell (digest names stay as they are).
std::string unescape_folder_name(const std::string& f)
{
    std::string out;
    for (size_t i = 0; i < f.size(); ++i) {
        const int hi = i + 2 < f.size() ? hex_digit(f[i + 1]) : -1;
        const int lo = i + 2 < f.size() ? hex_digit(f[i + 2]) : -1;
        if (f[i] == '%' && hi >= 0 && lo >= 0) {
            out += char(hi * 16 + lo);
            i += 2;
        } else {
            out += f[i];
        }
    }
    return out;
}

// Splits a key path into its names: 0, 161 for empty components, 87 for over-long names.
Error split_key_path(const std::u16string& path, std::vector<std::u16string>& names)
{
    names.clear();
    if (path.empty()) return err::success;
    size_t start = 0;
    for (;;) {
        const size_t end = path.find(u'\\', start);
        const std::u16string part = path.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
        if (part.empty()) {
            // One trailing separator is accepted, as Windows accepts it.
            if (end == std::u16string::npos && start > 0) break;
            return err::bad_pathname;
        }
        if (part.size() > max_key_name) return err::invalid_parameter;
        names.push_back(part);
        if (end == std::u16string::npos) break;
        start = end + 1;
        if (start == path.size()) break;
    }
    return err::success;
}

std::string hklm_folder()
{
    return root_folder("registry/HKLM");
}

std::string folder_of(const std::vector<std::u16string>& names)
{
    std::string f = hklm_folder();
    for (const auto& n : names) f += "/" + folder_name(n);
    return f;
}

// --- the key file ---------------------------------------------------------------------------

void put32(std::vector<uint8_t>& b, uint32_t v)
{
    b.resize(b.size() + 4);
    le::put_u32(b.data() + b.size() - 4, v);
}

void put_text(std::vector<uint8_t>& b, const std::u16string& s)
{
    put32(b, uint32_t(s.size()));
    const auto bytes = text::to_utf16le(s);
    b.insert(b.end(), bytes.begin(), bytes.end());
}

class Reader {
public:
    Reader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    bool u32(uint32_t& v)
    {
        if (n_ - pos_ < 4) return false;
        v = le::get_u32(p_ + pos_);
        pos_ += 4;
        return true;
    }
    bool bytes(size_t count, std::vector<uint8_t>& out)
    {
        if (n_ - pos_ < count) return false;
        out.assign(p_ + pos_, p_ + pos_ + count);
        pos_ += count;
        return true;
    }
    bool text(size_t max_units, std::u16string& out)
    {
        uint32_t units = 0;
        if (!u32(units) || units > max_units || (n_ - pos_) / 2 < units) return false;
        out = text::from_utf16le(std::span<const uint8_t>(p_ + pos_, size_t(units) * 2));
        pos_ += size_t(units) * 2;
        return true;
    }
    bool at_end() const { return pos_ == n_; }

private:
    const uint8_t* p_;
    size_t n_;
    size_t pos_ = 0;
};

bool same_name(const std::u16string& a, const std::u16string& b)
{
    return a.size() == b.size() && text::to_lower(a) == text::to_lower(b);
}

} // namespace

std::vector<uint8_t> encode_key_record(const KeyRecord& record)
{
    std::vector<uint8_t> b = {'Z', 'K', 'E', 'Y'};
    put32(b, 1);
    put_text(b, record.name);
    put32(b, uint32_t(record.values.size()));
    for (const auto& v : record.values) {
        put_text(b, v.name);
        put32(b, v.type);
        put32(b, uint32_t(v.data.size()));
        b.insert(b.end(), v.data.begin(), v.data.end());
    }
    uint8_t d[20];
    sha1(b, d);
    b.insert(b.end(), d, d + 20);
    return b;
}

Error decode_key_record(const std::vector<uint8_t>& bytes, KeyRecord& record)
{
    if (bytes.size() < 8 + 20 || bytes.size() > max_key_file) return err::registry_corrupt;
    const size_t body = bytes.size() - 20;
    uint8_t d[20];
    if (!sha1(std::span<const uint8_t>(bytes.data(), body), d) || std::memcmp(d, bytes.data() + body, 20) != 0)
        return err::registry_corrupt;
    if (std::memcmp(bytes.data(), "ZKEY", 4) != 0) return err::registry_corrupt;
    Reader r(bytes.data() + 4, body - 4);
    uint32_t version = 0, count = 0;
    KeyRecord out;
    if (!r.u32(version) || version != 1 || !r.text(max_key_name, out.name) || !r.u32(count))
        return err::registry_corrupt;
    // Each value takes at least 12 bytes, so a count beyond that is a lie told before any
    // allocation.
    if (count > body / 12) return err::registry_corrupt;
    for (uint32_t i = 0; i < count; ++i) {
        RegistryValue v;
        uint32_t size = 0;
        if (!r.text(max_value_name, v.name) || !r.u32(v.type) || !r.u32(size) || !r.bytes(size, v.data))
            return err::registry_corrupt;
        for (const auto& seen : out.values)
            if (same_name(seen.name, v.name)) return err::registry_corrupt;
        out.values.push_back(std::move(v));
    }
    if (!r.at_end()) return err::registry_corrupt;
    record = std::move(out);
    return err::success;
}

std::string registry_key_folder(const std::u16string& path)
{
    std::vector<std::u16string> names;
    if (split_key_path(path, names) != err::success) return {};
    return folder_of(names);
}

std::string registry_key_file(const std::u16string& path)
{
    const std::string f = registry_key_folder(path);
    return f.empty() ? f : f + "/" + key_file_name;
}

namespace {

// The key's folder, held open for the life of the handle: the folder cannot be freed and its
// inode number handed to a new key of the same name while a handle still names the old one.
struct HeldFolder {
    int fd = -1;
    explicit HeldFolder(int f) : fd(f) {}
    ~HeldFolder()
    {
        if (fd >= 0) ::close(fd);
    }
    HeldFolder(const HeldFolder&) = delete;
    HeldFolder& operator=(const HeldFolder&) = delete;
};

struct OpenKey {
    std::string folder;
    std::shared_ptr<HeldFolder> held;
    uint32_t access = 0;
};

// An exclusive advisory lock on one key, for a read-modify-write of its file. The lock file is
// owner-only, so no other user can hold it; a holder of our own that never lets go costs a
// bounded wait and ERROR_TIMEOUT, traced, not a hang.
class KeyLock {
public:
    explicit KeyLock(const std::string& folder)
    {
        fd_ = objects::hold_lock_file(folder + "/" + lock_file_name, "registry");
        if (fd_ < 0) error_ = errno == ETIMEDOUT ? err::timeout : errno == ENOENT ? err::key_deleted : from_errno(errno);
    }
    ~KeyLock()
    {
        if (fd_ >= 0) ::close(fd_); // closing releases the lock
    }
    // 0 when held; else why not: a key whose folder went away was deleted meanwhile; a caller
    // without the right to write in it is denied access, as Windows denies a key it may not change.
    Error error() const { return error_; }
    KeyLock(const KeyLock&) = delete;
    KeyLock& operator=(const KeyLock&) = delete;

private:
    int fd_ = -1;
    Error error_ = err::success;
};

// The record of the key in `folder`; a missing file is a key without values (the HKLM folder, or
// a key whose folder someone made by hand), named after its folder.
Error load_record(const std::string& folder, KeyRecord& record)
{
    std::vector<uint8_t> bytes;
    const Error r = read_file(folder + "/" + key_file_name, bytes, max_key_file);
    if (r == err::file_not_found) {
        const size_t slash = folder.find_last_of('/');
        record.name = text::from_utf8(unescape_folder_name(folder.substr(slash + 1)));
        record.values.clear();
        return err::success;
    }
    if (r == err::not_enough_memory) return err::registry_corrupt;
    if (r != err::success) return r;
    return decode_key_record(bytes, record);
}

Error store_record(const std::string& folder, const KeyRecord& record)
{
    const auto bytes = encode_key_record(record);
    if (bytes.size() > max_key_file) return err::not_enough_memory;
    return replace_file(folder + "/" + key_file_name, bytes);
}

bool is_folder(const std::string& path, struct stat* out = nullptr)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    if (out) *out = st;
    return true;
}

std::vector<std::string> subkey_folders(const std::string& folder)
{
    std::vector<std::string> out;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return out;
    while (dirent* d = ::readdir(dir)) {
        if (d->d_name[0] == '.') continue; // ".", "..", our own files and folders in passing
        if (is_folder(folder + "/" + d->d_name)) out.push_back(d->d_name);
    }
    ::closedir(dir);
    return out;
}

Error remove_folder_tree(const std::string& folder)
{
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return from_errno(errno);
    std::vector<std::string> names;
    while (dirent* d = ::readdir(dir)) {
        if (std::strcmp(d->d_name, ".") != 0 && std::strcmp(d->d_name, "..") != 0) names.push_back(d->d_name);
    }
    ::closedir(dir);
    for (const auto& n : names) {
        const std::string p = folder + "/" + n;
        struct stat st {};
        if (::lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            remove_folder_tree(p);
        else
            ::unlink(p.c_str());
    }
    return ::rmdir(folder.c_str()) == 0 ? err::success : from_errno(errno);
}

std::string unique_suffix()
{
    static std::atomic<uint64_t> counter{0};
    return std::to_string(::getpid()) + "-" + std::to_string(++counter);
}

class PosixRegistry final : public Registry {
public:
    Error open_key(const std::u16string& path, uint32_t access, Handle& key) override
    {
        std::vector<std::u16string> names;
        if (const Error r = split_key_path(path, names)) return r;
        const std::string folder = folder_of(names);
        if (!is_folder(folder)) return err::file_not_found;
        // A damaged key cannot be opened, as Windows will not load a damaged hive.
        KeyRecord record;
        if (const Error r = load_record(folder, record)) return r;
        return hold(folder, access, key);
    }

    Error create_key(const std::u16string& path, uint32_t access, Handle& key) override
    {
        std::vector<std::u16string> names;
        if (const Error r = split_key_path(path, names)) return r;
        std::string folder = hklm_folder();
        for (const auto& name : names) {
            const std::string next = folder + "/" + folder_name(name);
            if (!is_folder(next)) {
                if (const Error r = make_key(folder, next, name)) return r;
            }
            folder = next;
        }
        if (!is_folder(folder)) return err::file_not_found;
        KeyRecord record;
        if (const Error r = load_record(folder, record)) return r;
        return hold(folder, access, key);
    }

    Error close_key(Handle key) override
    {
        return keys_.take(key) ? err::success : err::invalid_handle;
    }

    Error query_value(Handle key, const std::u16string& name, uint32_t& type, std::vector<uint8_t>& data) override
    {
        OpenKey k;
        if (const Error r = check(key, key_access::query_value, k)) return r;
        KeyRecord record;
        if (const Error r = load_record(k.folder, record)) return r;
        for (const auto& v : record.values) {
            if (same_name(v.name, name)) {
                type = v.type;
                data = v.data;
                return err::success;
            }
        }
        return err::file_not_found;
    }

    Error set_value(Handle key, const std::u16string& name, uint32_t type, std::span<const uint8_t> data) override
    {
        OpenKey k;
        if (const Error r = check(key, key_access::set_value, k)) return r;
        if (name.size() > max_value_name) return err::invalid_parameter;
        if (data.size() > max_key_file) return err::not_enough_memory;
        KeyLock lock(k.folder);
        if (const Error e = lock.error()) return e;
        KeyRecord record;
        if (const Error r = load_record(k.folder, record)) return r;
        auto it = std::find_if(record.values.begin(), record.values.end(),
                               [&](const RegistryValue& v) { return same_name(v.name, name); });
        if (it == record.values.end()) {
            record.values.push_back(RegistryValue{name, type, {}});
            it = record.values.end() - 1;
        }
        it->type = type;
        it->data.assign(data.begin(), data.end());
        return store_record(k.folder, record);
    }

    Error delete_value(Handle key, const std::u16string& name) override
    {
        OpenKey k;
        if (const Error r = check(key, key_access::set_value, k)) return r;
        KeyLock lock(k.folder);
        if (const Error e = lock.error()) return e;
        KeyRecord record;
        if (const Error r = load_record(k.folder, record)) return r;
        auto it = std::find_if(record.values.begin(), record.values.end(),
                               [&](const RegistryValue& v) { return same_name(v.name, name); });
        if (it == record.values.end()) return err::file_not_found;
        record.values.erase(it);
        return store_record(k.folder, record);
    }

    Error enum_subkeys(Handle key, std::vector<std::u16string>& names) override
    {
        OpenKey k;
        if (const Error r = check(key, key_access::enumerate_sub_keys, k)) return r;
        std::vector<std::u16string> out;
        for (const auto& f : subkey_folders(k.folder)) {
            KeyRecord record;
            if (load_record(k.folder + "/" + f, record) == err::success && !record.name.empty())
                out.push_back(record.name);
            else
                out.push_back(text::from_utf8(unescape_folder_name(f)));
        }
        // The registry keeps sub-keys sorted by name without regard to case.
        std::sort(out.begin(), out.end(), [](const std::u16string& a, const std::u16string& b) {
            return text::to_lower(a) < text::to_lower(b);
        });
        names = std::move(out);
        return err::success;
    }

    Error enum_values(Handle key, std::vector<RegistryValue>& values) override
    {
        OpenKey k;
        if (const Error r = check(key, key_access::query_value, k)) return r;
        KeyRecord record;
        if (const Error r = load_record(k.folder, record)) return r;
        values = std::move(record.values);
        return err::success;
    }

    Error delete_key(const std::u16string& path) override
    {
        return remove_key(path, false);
    }

    Error delete_tree(const std::u16string& path) override
    {
        return remove_key(path, true);
    }

private:
    Error hold(const std::string& folder, uint32_t access, Handle& key)
    {
        const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return errno == ENOENT ? err::file_not_found : from_errno(errno);
        key = keys_.add(OpenKey{folder, std::make_shared<HeldFolder>(fd), access});
        return err::success;
    }

    // The key behind a handle, still the key that was opened, opened with the needed right.
    Error check(Handle key, uint32_t right, OpenKey& k)
    {
        const auto found = keys_.get(key);
        if (!found) return err::invalid_handle;
        k = *found;
        struct stat now {}, held {};
        if (!is_folder(k.folder, &now) || ::fstat(k.held->fd, &held) != 0 || held.st_nlink == 0 ||
            now.st_ino != held.st_ino || now.st_dev != held.st_dev)
            return err::key_deleted;
        if (!(k.access & right)) return err::access_denied;
        return err::success;
    }

    // Builds the key complete under a temporary name, then renames it into place: a key is
    // either absent or there with its name.
    static Error make_key(const std::string& parent, const std::string& target, const std::u16string& name)
    {
        const std::string temp = parent + "/.new-" + unique_suffix();
        if (::mkdir(temp.c_str(), 0755) != 0 || ::chmod(temp.c_str(), 0755) != 0) {
            const Error e = from_errno(errno);
            ::rmdir(temp.c_str());
            return e;
        }
        KeyRecord record;
        record.name = name;
        if (const Error r = store_record(temp, record)) {
            remove_folder_tree(temp);
            return r;
        }
        if (::rename(temp.c_str(), target.c_str()) != 0) {
            const int e = errno;
            remove_folder_tree(temp);
            // Another process made the same key in the meantime: use theirs.
            if ((e == ENOTEMPTY || e == EEXIST) && is_folder(target)) return err::success;
            return from_errno(e);
        }
        return err::success;
    }

    Error remove_key(const std::u16string& path, bool tree)
    {
        std::vector<std::u16string> names;
        if (const Error r = split_key_path(path, names)) return r;
        if (names.empty()) return err::access_denied; // HKLM itself
        const std::string folder = folder_of(names);
        if (!is_folder(folder)) return err::file_not_found;
        const size_t slash = folder.find_last_of('/');
        const std::string graveyard = folder.substr(0, slash) + "/.deleted-" + unique_suffix();
        {
            KeyLock lock(folder);
            if (const Error e = lock.error(); e && e != err::key_deleted) return e;
            if (!tree && !subkey_folders(folder).empty()) return err::access_denied;
            if (::rename(folder.c_str(), graveyard.c_str()) != 0) return from_errno(errno);
        }
        remove_folder_tree(graveyard);
        return err::success;
    }

    HandleTable<OpenKey> keys_;
};

} // namespace
} // namespace platform::posix

namespace platform::backend {
Registry* native_registry()
{
    static posix::PosixRegistry registry;
    return &registry;
}
} // namespace platform::backend
