// Files and folders, with the meaning of the Win32 file calls (CreateFileW, ReadFile, WriteFile,
// GetFileSize, FindFirstFileW/FindNextFileW, DeleteFileW, CreateDirectoryW, GetFileAttributesW,
// MoveFileExW, GetDriveTypeW) and of the C runtime's _wstat/_wchmod.
//
// Paths are Windows paths ("\\" separators). The posix backend turns "\\" into "/" and has no drive
// letters; it keeps the sharing rules of Windows between all the handles it opened, in every
// process: each handle holds OFD locks on the file, far beyond its data, shared ones for the
// rights it uses and exclusive ones for those it does not share (posix/file_sharing.h), and an
// open, delete or replace that Windows would refuse is refused with the same code (a replace of a
// file another process has open gives 5).
//
// More of the posix backend, where Linux and Windows differ:
// - A handle opened with no data access that shares everything takes no locks, so other
//   processes do not see it. A handle that denies a right needs a descriptor open for writing for
//   its lock; on a file this user may not open for writing (a root-owned file, say) its denials
//   hold within this process only.
// - size answers its first request after the open with the size the open saw, unless a handle of
//   this process has written to the file since (one system call fewer for a file read whole);
//   later requests ask the file.
// - A path component that does not exist as written is found without regard to case, as on
//   Windows' file systems (switch values reach here lower-cased).
// - Read-only is the owner's write bit, and it is enforced even for root, as Windows enforces the
//   attribute for administrators.
// - Deleting a file whose handles all share deletion removes its name at once; Windows keeps the
//   name, pending deletion, until the last handle closes.
// - find matches without regard to case, as on Windows, whose file systems ignore case (patterns
//   such as "Vid_????_Pid_????_Rev_????.json" are written for them); "*.*" means every name; "."
//   and ".." are listed as Windows lists them; the names come sorted, as NTFS gives them.
// - drive_type answers from the machine description (Linux has no drive letters): the type of the
//   volume on that letter, drive::no_root_dir for a letter without one. The description is
//   <root>/machine.json, or without it the running machine, whose USB volumes get letters kept in
//   <root>/dosdevices as Wine keeps them (linux/sysfs_volumes.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/errors.h"

namespace platform {

// Access rights, share modes, dispositions and attributes: the Windows values.
namespace access {
constexpr uint32_t generic_read = 0x80000000u;
constexpr uint32_t generic_write = 0x40000000u;
constexpr uint32_t file_all_access = 0x1F01FFu;
// FILE_APPEND_DATA alone: every write goes to the end of the file, whole.
constexpr uint32_t append_data = 0x0004u;
} // namespace access

namespace share {
constexpr uint32_t none = 0;
constexpr uint32_t read = 1;
constexpr uint32_t write = 2;
constexpr uint32_t del = 4;
} // namespace share

namespace disposition {
constexpr uint32_t create_new = 1;
constexpr uint32_t create_always = 2;
constexpr uint32_t open_existing = 3;
constexpr uint32_t open_always = 4;
constexpr uint32_t truncate_existing = 5;
} // namespace disposition

namespace attribute {
constexpr uint32_t readonly = 0x1;
constexpr uint32_t hidden = 0x2;
constexpr uint32_t directory = 0x10;
constexpr uint32_t archive = 0x20; // what Windows reports for an ordinary file
constexpr uint32_t normal = 0x80;
constexpr uint32_t invalid = 0xFFFFFFFFu; // INVALID_FILE_ATTRIBUTES
} // namespace attribute

// GetDriveTypeW results.
namespace drive {
constexpr uint32_t unknown = 0;
constexpr uint32_t no_root_dir = 1;
constexpr uint32_t removable = 2;
constexpr uint32_t fixed = 3;
constexpr uint32_t remote = 4;
constexpr uint32_t cdrom = 5;
constexpr uint32_t ramdisk = 6;
} // namespace drive

struct FindEntry {
    std::u16string name; // the file name alone, as FindFirstFileW's cFileName
    uint32_t attributes = 0;
    uint64_t size = 0;
};

class Files {
public:
    virtual ~Files() = default;

    // CreateFileW(path, access, share, no security attributes, disposition, attributes, no template).
    virtual Error open(const std::u16string& path, uint32_t desired_access, uint32_t share_mode,
                       uint32_t creation_disposition, uint32_t flags_and_attributes, Handle& out) = 0;
    // ReadFile: `read` is 0 at the end of the file.
    virtual Error read(Handle h, void* buffer, uint32_t size, uint32_t& read) = 0;
    // WriteFile: `written` may be less than `size` (a full disk).
    virtual Error write(Handle h, const void* data, uint32_t size, uint32_t& written) = 0;
    // GetFileSize (both halves).
    virtual Error size(Handle h, uint64_t& size) = 0;
    virtual Error close(Handle h) = 0;

    // DeleteFileW.
    virtual Error remove(const std::u16string& path) = 0;
    // CreateDirectoryW (one level): 183 when it exists, 3 when the parent is missing.
    virtual Error create_directory(const std::u16string& path) = 0;
    // GetFileAttributesW: attribute::invalid when the path does not exist (the error then says why).
    virtual uint32_t attributes(const std::u16string& path, Error& error) = 0;
    // FindFirstFileW/FindNextFileW over a pattern whose last component may hold "?" (exactly one
    // character) and "*" (any run). 2 when nothing matches, 3 when the folder is missing.
    virtual Error find(const std::u16string& pattern, std::vector<FindEntry>& entries) = 0;
    // MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH): replaces `to`
    // atomically when both are in one folder.
    virtual Error move_replace(const std::u16string& from, const std::u16string& to) = 0;

    // _wstat: 0 on success, otherwise the C errno (ENOENT 2 for a missing path). `is_directory` is
    // set on success.
    virtual int stat(const std::u16string& path, bool& is_directory) = 0;
    // _wchmod(path, _S_IREAD | _S_IWRITE): clears the read-only attribute. errno as stat.
    virtual int make_writable(const std::u16string& path) = 0;

    // GetDriveTypeW of a root such as "E:\\".
    virtual uint32_t drive_type(const std::u16string& root) = 0;
};

} // namespace platform
