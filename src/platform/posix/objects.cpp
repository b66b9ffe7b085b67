#include "platform/posix/objects.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "platform/posix/root.h"
#include "text/text.h"

namespace platform::posix::objects {

std::string folder()
{
    return root_folder("objects");
}

std::u16string_view strip_namespace(std::u16string_view name)
{
    for (std::u16string_view prefix : {std::u16string_view(u"Global\\"), std::u16string_view(u"Local\\")}) {
        if (name.substr(0, prefix.size()) == prefix) return name.substr(prefix.size());
    }
    return name;
}

std::string file_name(std::string_view kind, std::u16string_view name, size_t limit)
{
    const std::string utf8 = text::to_utf8(name);
    std::string out(kind);
    out += '.';
    for (unsigned char c : utf8) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                           c == '.' || c == '_' || c == '-';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            char esc[4];
            std::snprintf(esc, sizeof esc, "%%%02X", c);
            out += esc;
        }
    }
    if (out.size() <= limit) return out;

    // Two FNV-1a passes with different offsets: 128 bits, plenty to keep the long names apart.
    uint64_t a = 0xcbf29ce484222325ull, b = 0x84222325cbf29ce4ull;
    for (unsigned char c : utf8) {
        a = (a ^ c) * 0x100000001b3ull;
        b = (b ^ c) * 0x100000001b3ull;
    }
    char hash[40];
    std::snprintf(hash, sizeof hash, "h-%016llx%016llx", static_cast<unsigned long long>(a),
                  static_cast<unsigned long long>(b));
    return std::string(kind) + "." + hash;
}

int lock_byte(int fd, off_t byte, short type, bool wait)
{
    struct flock l {};
    l.l_type = type;
    l.l_whence = SEEK_SET;
    l.l_start = byte;
    l.l_len = 1;
    for (;;) {
        if (::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &l) == 0) return 0;
        if (errno != EINTR) return errno;
    }
}

bool locked_by_other(int fd, off_t byte)
{
    struct flock l {};
    l.l_type = F_WRLCK;
    l.l_whence = SEEK_SET;
    l.l_start = byte;
    l.l_len = 1;
    if (::fcntl(fd, F_OFD_GETLK, &l) != 0) return false;
    return l.l_type != F_UNLCK;
}

Error error_from_errno(int e)
{
    switch (e) {
    case ENOENT: return err::file_not_found;
    case ENOTDIR: return err::path_not_found;
    case EACCES:
    case EPERM:
    case EROFS: return err::access_denied;
    case ENAMETOOLONG: return err::invalid_name;
    case EMFILE:
    case ENFILE: return err::too_many_open_files;
    case ENOMEM:
    case ENOBUFS: return err::not_enough_memory;
    case ENOSPC: return err::disk_full;
    default: return err::gen_failure;
    }
}

bool process_exists(pid_t pid)
{
    if (pid <= 0) return false;
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

} // namespace platform::posix::objects
