// SHA1_Init and its kin are OpenSSL 1.1's interface, which OpenSSL 3 keeps (see sha1() below).
#define OPENSSL_API_COMPAT 10101
#include "platform/posix/common.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include "text/text.h"

namespace platform::posix {

Error missing_path_error(const std::string& native)
{
    std::string parent;
    const size_t slash = native.find_last_of('/');
    if (slash == std::string::npos)
        parent = ".";
    else if (slash == 0)
        parent = "/";
    else
        parent = native.substr(0, slash);
    struct stat st {};
    if (::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return err::file_not_found;
    return err::path_not_found;
}

std::u16string windows_form(std::string_view native)
{
    std::u16string w = text::from_utf8(native);
    for (char16_t& c : w)
        if (c == u'/') c = u'\\';
    return w;
}

Error read_file(const std::string& native, std::vector<uint8_t>& data, size_t limit)
{
    // Non-blocking, so that a named pipe or device put in the file's place cannot stall the reader.
    const int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        const int e = errno;
        return e == ENOENT ? missing_path_error(native) : from_errno(e);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const Error r = from_errno(errno);
        ::close(fd);
        return r;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return err::access_denied;
    }
    std::vector<uint8_t> out;
    uint8_t chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            const Error r = from_errno(errno);
            ::close(fd);
            return r;
        }
        if (n == 0) break;
        if (out.size() + size_t(n) > limit) {
            ::close(fd);
            return err::not_enough_memory;
        }
        out.insert(out.end(), chunk, chunk + n);
    }
    ::close(fd);
    data = std::move(out);
    return err::success;
}

namespace {
Error write_all(int fd, const uint8_t* p, size_t n)
{
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return from_errno(errno);
        }
        p += w;
        n -= size_t(w);
    }
    return err::success;
}

void sync_folder_of(const std::string& native)
{
    const size_t slash = native.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : native.substr(0, slash);
    const int dfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
}
} // namespace

Error replace_file(const std::string& native, std::span<const uint8_t> data)
{
    static std::atomic<uint64_t> counter{0};
    const std::string temp = native + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int e = errno;
        return e == ENOENT ? missing_path_error(native) : from_errno(e);
    }
    // The machine's state files are read by all and written by their owner alone, whatever the
    // umask of the process that happens to write them.
    Error r = ::fchmod(fd, 0644) == 0 ? err::success : from_errno(errno);
    if (r == err::success) r = write_all(fd, data.data(), data.size());
    if (r == err::success && ::fsync(fd) != 0) r = from_errno(errno);
    if (::close(fd) != 0 && r == err::success) r = from_errno(errno);
    if (r == err::success && ::rename(temp.c_str(), native.c_str()) != 0) r = from_errno(errno);
    if (r != err::success) {
        ::unlink(temp.c_str());
        return r;
    }
    sync_folder_of(native);
    return err::success;
}

bool sha1(std::span<const uint8_t> data, uint8_t (&digest)[20])
{
    // The digest itself, without the EVP layer: EVP_DigestInit has OpenSSL's provider machinery
    // set the context up on every digest, which costs far more than hashing a device's identity
    // and, with its code out of the caches (as after each wait of a decision), about 4 us where
    // this costs under 1. The same digest either way.
    SHA_CTX context;
    return SHA1_Init(&context) == 1 && SHA1_Update(&context, data.data(), data.size()) == 1 &&
           SHA1_Final(digest, &context) == 1;
}

} // namespace platform::posix
