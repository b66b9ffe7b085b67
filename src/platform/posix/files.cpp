// Files on Linux with the meaning of the Win32 file calls.
//
// Windows' sharing rules are kept between the handles of this process: each open file remembers
// its access and share mode, and an open, a delete or a replace that Windows would refuse is
// refused with the same code. Read-only is the owner's write bit; since this backend may run as
// root, who can write anything, the write bit is checked here rather than left to the kernel.
#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"
#include "platform/model/families.h"
#include "platform/native.h"
#include "platform/posix/machine.h"
#include "platform/posix/common.h"
#include "platform/posix/file_sharing.h"
#include "platform/posix/root.h"
#include "text/text.h"

namespace platform::posix {
namespace {

// The data rights an access mask asks for, as sharing sees them.
uint32_t rights_of(uint32_t access)
{
    constexpr uint32_t generic_all = 0x10000000u;
    constexpr uint32_t file_read_data = 0x1, file_write_data = 0x2, file_append_data = 0x4;
    constexpr uint32_t del = 0x10000;
    uint32_t r = 0;
    if (access & (access::generic_read | generic_all | file_read_data)) r |= want_read;
    if (access & (access::generic_write | generic_all | file_write_data | file_append_data)) r |= want_write;
    if (access & (generic_all | del)) r |= want_delete;
    return r;
}

struct OpenFile {
    int fd = -1;
    int lock_fd = -1; // holds this handle's share-mode locks (see below); -1 when it needs none
    dev_t dev = 0;
    ino_t ino = 0;
    uint32_t rights = 0;
    uint32_t share = 0;
    uint32_t number = 0;   // the slot number of its share-mode denials (file_sharing.h)
    uint64_t size = 0;     // the size its open saw
    bool size_fresh = false; // `size` may answer the first size request (see size())
};

bool writable(const struct stat& st)
{
    return (st.st_mode & S_IWUSR) != 0;
}

// Characters Windows refuses in a file name.
bool has_invalid_name_char(const std::string& native)
{
    return native.find_first_of("<>\"|?*") != std::string::npos;
}

// "*" any run, "?" exactly one character, compared without regard to case.
bool wildcard_match(std::u16string_view pattern, std::u16string_view name)
{
    size_t p = 0, n = 0, star = std::u16string_view::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == u'?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == u'*') {
            star = p++;
            resume = n;
        } else if (star != std::u16string_view::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*') ++p;
    return p == pattern.size();
}

// Windows file systems ignore case: a component that does not exist as written is looked up
// without regard to case in its folder (the first such name in byte order, when several differ
// only in case). Once a component is found in neither way the rest is kept as written.
std::string resolve_case(const std::string& p)
{
    struct stat st {};
    if (p.empty() || ::lstat(p.c_str(), &st) == 0) return p;
    std::string out;
    size_t i = 0;
    if (p[0] == '/') {
        out = "/";
        i = 1;
    }
    while (i < p.size()) {
        size_t j = p.find('/', i);
        if (j == std::string::npos) j = p.size();
        const std::string comp = p.substr(i, j - i);
        std::string candidate = out + comp;
        if (!comp.empty() && comp != "." && comp != ".." && ::lstat(candidate.c_str(), &st) != 0 && errno == ENOENT) {
            DIR* dir = ::opendir(out.empty() ? "." : out.c_str());
            std::string best;
            if (dir) {
                const std::u16string wanted = text::to_lower(text::from_utf8(comp));
                while (dirent* d = ::readdir(dir)) {
                    const std::string name = d->d_name;
                    if (name == "." || name == "..") continue;
                    if (text::to_lower(text::from_utf8(name)) != wanted) continue;
                    if (best.empty() || name < best) best = name;
                }
                ::closedir(dir);
            }
            if (best.empty()) return out + p.substr(i);
            candidate = out + best;
        }
        out = std::move(candidate);
        if (j < p.size()) out += '/';
        i = j + 1;
    }
    return out;
}

// The Linux path of a Windows path given to this family.
std::string file_path(const std::u16string& path)
{
    return resolve_case(native_path(path));
}

class PosixFiles final : public Files {
public:
    Error open(const std::u16string& path, uint32_t desired_access, uint32_t share_mode,
               uint32_t creation_disposition, uint32_t flags_and_attributes, Handle& out) override
    {
        if (creation_disposition < disposition::create_new || creation_disposition > disposition::truncate_existing)
            return err::invalid_parameter;
        const uint32_t rights = rights_of(desired_access);
        if (creation_disposition == disposition::truncate_existing && !(rights & want_write))
            return err::invalid_parameter;
        share_mode &= share::read | share::write | share::del;

        int flags = O_CLOEXEC;
        if ((rights & want_read) && (rights & want_write))
            flags |= O_RDWR;
        else if (rights & want_write)
            flags |= O_WRONLY;
        else if (rights & want_read)
            flags |= O_RDONLY;
        else
            flags |= O_PATH;
        bool truncate = false;
        switch (creation_disposition) {
        case disposition::create_new: flags |= O_CREAT | O_EXCL; break;
        case disposition::create_always: flags |= O_CREAT; truncate = true; break;
        case disposition::open_always: flags |= O_CREAT; break;
        case disposition::truncate_existing: truncate = true; break;
        default: break;
        }
        // FILE_APPEND_DATA without FILE_WRITE_DATA: every write lands at the end, whole.
        constexpr uint32_t write_data_rights = access::generic_write | 0x10000000u | 0x2u;
        if ((desired_access & access::append_data) && !(desired_access & write_data_rights)) flags |= O_APPEND;
        if (truncate && (flags & O_PATH)) {
            // Truncation needs a writable descriptor even when the caller asked for no data access.
            flags = (flags & ~O_PATH) | O_WRONLY;
        }

        std::lock_guard lock(mutex_);
        if (creation_disposition == disposition::open_existing)
            return open_existing(path, flags, rights, share_mode, out);

        const std::string p = file_path(path);
        if (p.empty()) return err::path_not_found;
        if (has_invalid_name_char(p)) return err::invalid_name;
        struct stat st {};
        const bool exists = ::stat(p.c_str(), &st) == 0;
        if (!exists && errno != ENOENT) return from_errno(errno);
        if (exists) {
            if (S_ISDIR(st.st_mode)) return err::access_denied;
            if (creation_disposition == disposition::create_new) return err::file_exists;
            const bool truncates = creation_disposition == disposition::create_always ||
                                   creation_disposition == disposition::truncate_existing;
            if (!writable(st) && ((rights & want_write) || truncates)) return err::access_denied;
            if (conflicts(st.st_dev, st.st_ino, rights, share_mode)) return err::sharing_violation;
        } else if (creation_disposition == disposition::truncate_existing) {
            return missing_path_error(p);
        }

        // Opened without blocking, so that a named pipe or a device at the path cannot stall the
        // caller (with every other file call of the process waiting on the lock); it is not a file.
        const int fd = open_descriptor(p, flags);
        if (fd < 0) {
            const int e = errno;
            return e == ENOENT ? missing_path_error(p) : e == ENXIO ? err::access_denied : from_errno(e);
        }
        struct stat now {};
        if (::fstat(fd, &now) != 0) {
            const Error r = from_errno(errno);
            ::close(fd);
            return r;
        }
        if (!S_ISREG(now.st_mode)) {
            ::close(fd);
            return err::access_denied;
        }
        const Error shared = take_sharing(fd, p, now, flags, rights, share_mode, out);
        if (shared != err::success) {
            if (!exists) ::unlink(p.c_str());
            return shared;
        }
        if (truncate) {
            if (::ftruncate(fd, 0) != 0) {
                const Error r = from_errno(errno);
                forget(out);
                return r;
            }
            file_changes(now.st_dev, now.st_ino, true);
        }
        if (!exists && (flags_and_attributes & attribute::readonly)) {
            // As on Windows, the new file is read-only for later opens; this handle keeps its rights.
            ::fchmod(fd, now.st_mode & ~mode_t(S_IWUSR | S_IWGRP | S_IWOTH));
        }
        return err::success;
    }

    Error read(Handle h, void* buffer, uint32_t size, uint32_t& read) override
    {
        read = 0;
        const auto f = lookup(h);
        if (!f) return err::invalid_handle;
        if (!(f->rights & want_read)) return err::access_denied;
        auto* p = static_cast<uint8_t*>(buffer);
        while (read < size) {
            const ssize_t n = ::read(f->fd, p + read, size - read);
            if (n < 0) {
                if (errno == EINTR) continue;
                return errno == EISDIR ? err::access_denied : from_errno(errno);
            }
            if (n == 0) break;
            read += uint32_t(n);
            // Only regular files are opened here: a short read is the end of the file, and asking
            // again would only find that out with one more call.
            if (read < size) break;
        }
        return err::success;
    }

    Error write(Handle h, const void* data, uint32_t size, uint32_t& written) override
    {
        written = 0;
        const auto f = lookup(h);
        if (!f) return err::invalid_handle;
        if (!(f->rights & want_write)) return err::access_denied;
        file_changes(f->dev, f->ino);
        const auto* p = static_cast<const uint8_t*>(data);
        while (written < size) {
            const ssize_t n = ::write(f->fd, p + written, size - written);
            if (n < 0) {
                if (errno == EINTR) continue;
                return from_errno(errno);
            }
            written += uint32_t(n);
        }
        return err::success;
    }

    Error size(Handle h, uint64_t& size) override
    {
        std::optional<OpenFile> f;
        {
            std::lock_guard lock(mutex_);
            auto it = open_.find(h);
            if (it == open_.end()) return err::invalid_handle;
            // The first request after the open is answered with the size the open saw, when no
            // handle of this process has written to the file since: a file read whole asks right
            // after opening it, and a write by another process between the two calls is a race
            // that the caller could not tell from one just after its request.
            if (it->second.size_fresh) {
                it->second.size_fresh = false;
                size = it->second.size;
                return err::success;
            }
            f = it->second;
        }
        struct stat st {};
        if (::fstat(f->fd, &st) != 0) return from_errno(errno);
        size = uint64_t(st.st_size);
        return err::success;
    }

    Error close(Handle h) override
    {
        std::lock_guard lock(mutex_);
        auto it = open_.find(h);
        if (it == open_.end()) return err::invalid_handle;
        const int fd = it->second.fd;
        const int lock_fd = it->second.lock_fd;
        open_.erase(it);
        if (lock_fd >= 0 && lock_fd != fd) ::close(lock_fd);
        ::close(fd);
        return err::success;
    }

    Error remove(const std::u16string& path) override
    {
        const std::string p = file_path(path);
        if (p.empty()) return err::path_not_found;
        std::lock_guard lock(mutex_);
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0) {
            const int e = errno;
            return e == ENOENT ? missing_path_error(p) : from_errno(e);
        }
        if (S_ISDIR(st.st_mode)) return err::access_denied;
        if (!S_ISLNK(st.st_mode)) {
            if (!writable(st)) return err::access_denied;
            if (conflicts(st.st_dev, st.st_ino, want_delete, share::read | share::write | share::del) ||
                open_elsewhere(p, false))
                return err::sharing_violation;
        }
        if (::unlink(p.c_str()) != 0) return from_errno(errno);
        return err::success;
    }

    Error create_directory(const std::u16string& path) override
    {
        std::string p = file_path(path);
        while (p.size() > 1 && p.back() == '/') p.pop_back();
        if (p.empty()) return err::path_not_found;
        if (has_invalid_name_char(p)) return err::invalid_name;
        // Below the platform root (the program's data in ProgramData among it) a new folder is
        // its owner's alone whatever the umask: it holds the devices present with their serial
        // numbers. Elsewhere the umask decides, as the parent's rights do on Windows.
        const bool private_folder = below_root(p);
        if (::mkdir(p.c_str(), private_folder ? 0700 : 0777) == 0) {
            if (private_folder) ::chmod(p.c_str(), 0700);
            return err::success;
        }
        switch (errno) {
        case EEXIST: return err::already_exists;
        case ENOENT:
        case ENOTDIR: return err::path_not_found;
        default: return from_errno(errno);
        }
    }

    uint32_t attributes(const std::u16string& path, Error& error) override
    {
        const std::string p = file_path(path);
        struct stat st {};
        if (p.empty() || ::stat(p.c_str(), &st) != 0) {
            const int e = p.empty() ? ENOENT : errno;
            error = e == ENOENT ? missing_path_error(p) : from_errno(e);
            return attribute::invalid;
        }
        error = err::success;
        return attributes_of(st);
    }

    Error find(const std::u16string& pattern, std::vector<FindEntry>& entries) override
    {
        const std::string p = file_path(pattern);
        const size_t slash = p.find_last_of('/');
        const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
        std::u16string name_pattern = text::to_lower(text::from_utf8(slash == std::string::npos ? p : p.substr(slash + 1)));
        if (name_pattern.empty()) return err::file_not_found;
        // "*.*" is Windows' way of saying every name, with a dot or without.
        if (name_pattern == u"*.*") name_pattern = u"*";

        DIR* dir = ::opendir(folder.c_str());
        if (!dir) {
            const int e = errno;
            if (e == ENOENT || e == ENOTDIR) return err::path_not_found;
            return from_errno(e);
        }
        std::vector<FindEntry> found;
        while (dirent* d = ::readdir(dir)) {
            const std::u16string name = text::from_utf8(d->d_name);
            if (!wildcard_match(name_pattern, text::to_lower(name))) continue;
            FindEntry e;
            e.name = name;
            struct stat st {};
            if (::fstatat(::dirfd(dir), d->d_name, &st, 0) == 0) {
                e.attributes = attributes_of(st);
                e.size = S_ISDIR(st.st_mode) ? 0 : uint64_t(st.st_size);
            } else {
                e.attributes = attribute::archive; // a dangling link: a name without a target
            }
            found.push_back(std::move(e));
        }
        ::closedir(dir);
        if (found.empty()) return err::file_not_found;
        // An NTFS folder lists its names in order; readdir has none, so give them one.
        std::sort(found.begin(), found.end(), [](const FindEntry& a, const FindEntry& b) {
            const std::u16string la = text::to_lower(a.name), lb = text::to_lower(b.name);
            return la != lb ? la < lb : a.name < b.name;
        });
        entries = std::move(found);
        return err::success;
    }

    Error move_replace(const std::u16string& from, const std::u16string& to) override
    {
        const std::string f = file_path(from), t = file_path(to);
        if (f.empty() || t.empty()) return err::path_not_found;
        if (has_invalid_name_char(t)) return err::invalid_name;
        std::lock_guard lock(mutex_);
        struct stat sf {};
        if (::lstat(f.c_str(), &sf) != 0) {
            const int e = errno;
            return e == ENOENT ? missing_path_error(f) : from_errno(e);
        }
        if (!S_ISDIR(sf.st_mode) &&
            (conflicts(sf.st_dev, sf.st_ino, want_delete, share::read | share::write | share::del) ||
             open_elsewhere(f, false)))
            return err::sharing_violation;
        struct stat stt {};
        if (::stat(t.c_str(), &stt) == 0) {
            if (S_ISDIR(stt.st_mode) || !writable(stt)) return err::access_denied;
            // Windows does not supersede a file that is open, here or in another process.
            if (is_open(stt.st_dev, stt.st_ino) || (S_ISREG(stt.st_mode) && open_elsewhere(t, true)))
                return err::access_denied;
        }
        // Write-through: the content is on disk before the name changes, and the change after.
        if (S_ISREG(sf.st_mode)) {
            const int fd = ::open(f.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd >= 0) {
                ::fsync(fd);
                ::close(fd);
            }
        }
        if (::rename(f.c_str(), t.c_str()) != 0) {
            const int e = errno;
            return e == ENOENT ? missing_path_error(t) : from_errno(e);
        }
        const size_t slash = t.find_last_of('/');
        const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : t.substr(0, slash);
        const int dfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd >= 0) {
            ::fsync(dfd);
            ::close(dfd);
        }
        return err::success;
    }

    int stat(const std::u16string& path, bool& is_directory) override
    {
        const std::string p = file_path(path);
        struct stat st {};
        if (p.empty()) return ENOENT;
        if (::stat(p.c_str(), &st) != 0) return errno;
        is_directory = S_ISDIR(st.st_mode);
        return 0;
    }

    int make_writable(const std::u16string& path) override
    {
        const std::string p = file_path(path);
        struct stat st {};
        if (p.empty()) return ENOENT;
        if (::stat(p.c_str(), &st) != 0) return errno;
        if (::chmod(p.c_str(), (st.st_mode & 07777) | S_IRUSR | S_IWUSR) != 0) return errno;
        return 0;
    }

    uint32_t drive_type(const std::u16string& root) override
    {
        // Linux has no drive letters: the letters are the volumes of the machine description
        // (the machine file's, or the running machine's USB volumes with their letters in dosdevices).
        return model::drive_type_of(posix::machine().view(), root);
    }

private:
    // The opening of a file that must exist: the open comes first, and what the other dispositions
    // check by name beforehand is checked on the open descriptor, so that the common case (a
    // document read whole) costs as few system calls as the sharing rules allow. Nothing of the
    // file changes before the checks pass. Called with the mutex held.
    Error open_existing(const std::u16string& path, int flags, uint32_t rights, uint32_t share_mode, Handle& out)
    {
        std::string p = native_path(path);
        if (p.empty()) return err::path_not_found;
        if (has_invalid_name_char(p)) return err::invalid_name;
        // Opened without blocking, so that a named pipe or a device at the path cannot stall the
        // caller (with every other file call of the process waiting on the lock); it is not a file.
        int fd = open_descriptor(p, flags);
        if (fd < 0 && errno == ENOENT) {
            // Not there as written: perhaps under another letter case.
            const std::string resolved = resolve_case(p);
            if (resolved != p) {
                p = resolved;
                fd = open_descriptor(p, flags);
            } else {
                errno = ENOENT;
            }
        }
        if (fd < 0) {
            const int e = errno;
            return e == ENOENT ? missing_path_error(p) : (e == ENXIO || e == EISDIR) ? err::access_denied : from_errno(e);
        }
        struct stat now {};
        if (::fstat(fd, &now) != 0) {
            const Error r = from_errno(errno);
            ::close(fd);
            return r;
        }
        Error refused = err::success;
        if (!S_ISREG(now.st_mode))
            refused = err::access_denied; // a folder, a pipe, a device: not a file
        else if (!writable(now) && (rights & want_write))
            refused = err::access_denied;
        else if (conflicts(now.st_dev, now.st_ino, rights, share_mode))
            refused = err::sharing_violation;
        if (refused != err::success) {
            ::close(fd);
            return refused;
        }
        return take_sharing(fd, p, now, flags, rights, share_mode, out);
    }

    // Takes the share-mode locks of a new handle on `fd` (an open regular file of status `now`, at
    // `native`) and records the handle. On a conflict, or when the locks cannot be had, `fd` is
    // closed and nothing is recorded. Called with the mutex held.
    Error take_sharing(int fd, const std::string& native, const struct stat& now, int flags, uint32_t rights,
                       uint32_t share_mode, Handle& out)
    {
        // Sharing with the handles of other processes, before anything of the file changes. The
        // handle's own descriptor holds the locks when it is open for what they need (a reader
        // that shares everything, or a writer); any other handle needs a descriptor of its own.
        // A handle without its locks would let other processes past its share mode unseen, so
        // when no descriptor for them can be had the open fails, with one exception: on a file
        // this user may not open for writing, the denials hold within this process only.
        int lock_fd = -1;
        const uint32_t number = next_number();
        const bool need_read = lock_needs_read(rights), need_write = lock_needs_write(share_mode);
        if (need_read || need_write) {
            const int access_mode = flags & O_ACCMODE;
            const bool can_read = !(flags & O_PATH) && (access_mode == O_RDONLY || access_mode == O_RDWR);
            const bool can_write = !(flags & O_PATH) && (access_mode == O_WRONLY || access_mode == O_RDWR);
            uint32_t shared = share_mode;
            if ((!need_read || can_read) && (!need_write || can_write)) {
                lock_fd = fd;
            } else {
                int error = 0;
                lock_fd = open_lock_descriptor(fd, need_read && need_write ? O_RDWR : need_read ? O_RDONLY : O_WRONLY,
                                               native, error);
                const bool no_write_right = error == EACCES || error == EPERM || error == EROFS;
                if (lock_fd < 0 && no_write_right && need_write && (!need_read || can_read)) {
                    lock_fd = need_read ? fd : -1;
                    shared = share::read | share::write | share::del;
                } else if (lock_fd < 0) {
                    ::close(fd);
                    return from_errno(error);
                }
            }
            if (lock_fd >= 0 && !take_share_locks(lock_fd, rights, shared, number)) {
                if (lock_fd != fd) ::close(lock_fd);
                ::close(fd);
                return err::sharing_violation;
            }
        }
        // A regular file never blocks: O_NONBLOCK, which only kept the open itself from stalling
        // on something else at the path, has no effect on it and may stay.
        next_ += 4;
        open_.emplace(next_, OpenFile{fd, lock_fd, now.st_dev, now.st_ino, rights, share_mode, number,
                                      uint64_t(now.st_size), true});
        out = next_;
        return err::success;
    }

    // A descriptor of the file at `p` for the open `flags`. A writer's descriptor is opened for
    // reading too when the file lets it, so that it can hold both kinds of share lock itself.
    static int open_descriptor(const std::string& p, int flags)
    {
        if (!(flags & O_PATH) && (flags & O_ACCMODE) == O_WRONLY) {
            const int fd = ::open(p.c_str(), (flags & ~O_ACCMODE) | O_RDWR | O_NONBLOCK, 0666);
            if (fd >= 0 || errno != EACCES) return fd;
        }
        return ::open(p.c_str(), flags | O_NONBLOCK, 0666);
    }

    // A slot number for the share-mode denials of a new handle that no open handle of this
    // process has. Called with the mutex held.
    uint32_t next_number()
    {
        for (;;) {
            const uint32_t n = ++numbers_ % (1u << 20);
            if (numbers_ < (1u << 20)) return n; // not yet wrapped: unused so far
            bool taken = false;
            for (const auto& [h, f] : open_) taken = taken || f.number == n;
            if (!taken) return n;
        }
    }

    // A handle of this process changes the file: the sizes its handles' opens saw are no longer
    // the file's. Called with or without the mutex held (it is taken when `locked` is false).
    void file_changes(dev_t dev, ino_t ino, bool locked = false)
    {
        std::unique_lock lock(mutex_, std::defer_lock);
        if (!locked) lock.lock();
        for (auto& [h, f] : open_)
            if (f.dev == dev && f.ino == ino) f.size_fresh = false;
    }

    // Closes a handle just recorded, with its descriptors. Called with the mutex held.
    void forget(Handle h)
    {
        auto it = open_.find(h);
        if (it == open_.end()) return;
        const OpenFile f = it->second;
        open_.erase(it);
        if (f.lock_fd >= 0 && f.lock_fd != f.fd) ::close(f.lock_fd);
        ::close(f.fd);
    }

    static uint32_t attributes_of(const struct stat& st)
    {
        if (S_ISDIR(st.st_mode)) return attribute::directory;
        uint32_t a = attribute::archive;
        if (!writable(st)) a |= attribute::readonly;
        return a;
    }

    std::optional<OpenFile> lookup(Handle h)
    {
        std::lock_guard lock(mutex_);
        auto it = open_.find(h);
        if (it == open_.end()) return std::nullopt;
        return it->second;
    }

    // Windows' rule: a new open must share every right an existing open uses, and every existing
    // open must share every right the new one asks for. Called with the mutex held.
    bool conflicts(dev_t dev, ino_t ino, uint32_t rights, uint32_t share_mode) const
    {
        for (const auto& [h, f] : open_) {
            if (f.dev != dev || f.ino != ino) continue;
            if ((rights & want_read) && !(f.share & share::read)) return true;
            if ((rights & want_write) && !(f.share & share::write)) return true;
            if ((rights & want_delete) && !(f.share & share::del)) return true;
            if ((f.rights & want_read) && !(share_mode & share::read)) return true;
            if ((f.rights & want_write) && !(share_mode & share::write)) return true;
            if ((f.rights & want_delete) && !(share_mode & share::del)) return true;
        }
        return false;
    }

    bool is_open(dev_t dev, ino_t ino) const
    {
        for (const auto& [h, f] : open_)
            if (f.dev == dev && f.ino == ino) return true;
        return false;
    }

    std::mutex mutex_;
    std::map<Handle, OpenFile> open_;
    Handle next_ = 0x1000;
    uint64_t numbers_ = 0;
};

} // namespace
} // namespace platform::posix

namespace platform::backend {
Files* native_files()
{
    static posix::PosixFiles files;
    return &files;
}
} // namespace platform::backend
