// Files on Windows: the Win32 file calls and the C runtime's _wstat64/_wchmod.
#include <cerrno>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "platform/files.h"
#include "platform/native.h"
#include "platform/win32/wide.h"

namespace platform::win32 {
namespace {

class Win32Files final : public Files {
public:
    Error open(const std::u16string& path, uint32_t desired_access, uint32_t share_mode,
               uint32_t creation_disposition, uint32_t flags_and_attributes, Handle& out) override
    {
        const HANDLE h = ::CreateFileW(W(path), desired_access, share_mode, nullptr, creation_disposition,
                                       flags_and_attributes, nullptr);
        if (h == INVALID_HANDLE_VALUE || h == nullptr) return last_error();
        out = to_handle(h);
        return err::success;
    }

    Error read(Handle h, void* buffer, uint32_t size, uint32_t& read) override
    {
        DWORD n = 0;
        const BOOL ok = ::ReadFile(from_handle(h), buffer, size, &n, nullptr);
        read = n;
        return ok ? err::success : last_error();
    }

    Error write(Handle h, const void* data, uint32_t size, uint32_t& written) override
    {
        DWORD n = 0;
        const BOOL ok = ::WriteFile(from_handle(h), data, size, &n, nullptr);
        written = n;
        return ok ? err::success : last_error();
    }

    Error size(Handle h, uint64_t& size) override
    {
        LARGE_INTEGER s{};
        if (!::GetFileSizeEx(from_handle(h), &s)) return last_error();
        size = uint64_t(s.QuadPart);
        return err::success;
    }

    Error close(Handle h) override
    {
        return ::CloseHandle(from_handle(h)) ? err::success : last_error();
    }

    Error remove(const std::u16string& path) override
    {
        return ::DeleteFileW(W(path)) ? err::success : last_error();
    }

    Error create_directory(const std::u16string& path) override
    {
        return ::CreateDirectoryW(W(path), nullptr) ? err::success : last_error();
    }

    uint32_t attributes(const std::u16string& path, Error& error) override
    {
        const DWORD a = ::GetFileAttributesW(W(path));
        error = a == INVALID_FILE_ATTRIBUTES ? last_error() : err::success;
        return a;
    }

    Error find(const std::u16string& pattern, std::vector<FindEntry>& entries) override
    {
        WIN32_FIND_DATAW data{};
        const HANDLE h = ::FindFirstFileW(W(pattern), &data);
        if (h == INVALID_HANDLE_VALUE) return last_error();
        std::vector<FindEntry> found;
        Error result = err::success;
        for (;;) {
            FindEntry e;
            e.name = U(data.cFileName);
            e.attributes = data.dwFileAttributes;
            e.size = (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
            found.push_back(std::move(e));
            if (!::FindNextFileW(h, &data)) {
                const DWORD why = ::GetLastError();
                if (why != ERROR_NO_MORE_FILES) result = why ? Error(why) : err::gen_failure;
                break;
            }
        }
        ::FindClose(h);
        if (result == err::success) entries = std::move(found);
        return result;
    }

    Error move_replace(const std::u16string& from, const std::u16string& to) override
    {
        return ::MoveFileExW(W(from), W(to), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? err::success
                                                                                                 : last_error();
    }

    int stat(const std::u16string& path, bool& is_directory) override
    {
        struct _stat64 st{};
        if (::_wstat64(W(path), &st) != 0) return errno;
        is_directory = (st.st_mode & _S_IFDIR) != 0;
        return 0;
    }

    int make_writable(const std::u16string& path) override
    {
        return ::_wchmod(W(path), _S_IREAD | _S_IWRITE) == 0 ? 0 : errno;
    }

    uint32_t drive_type(const std::u16string& root) override
    {
        return ::GetDriveTypeW(W(root));
    }
};

} // namespace
} // namespace platform::win32

namespace platform::backend {
Files* native_files()
{
    static win32::Win32Files files;
    return &files;
}
} // namespace platform::backend
