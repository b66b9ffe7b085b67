// The Linux backend's one translation of errno into the codes Windows gives for the same failure.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/posix/common.h"

namespace {

using namespace platform;

TEST(ErrnoTranslation, GivesTheCodeWindowsGivesForTheSameFailure)
{
    struct Case {
        const char* what;
        int e;
        Error expected;
    } cases[] = {
        {"success", 0, err::success},
        {"missing file", ENOENT, err::file_not_found},
        {"a path through a file", ENOTDIR, err::path_not_found},
        {"a loop of links", ELOOP, err::path_not_found},
        {"no permission", EACCES, err::access_denied},
        {"not permitted", EPERM, err::access_denied},
        {"a folder where a file is wanted", EISDIR, err::access_denied},
        {"a name too long (ERROR_FILENAME_EXCED_RANGE)", ENAMETOOLONG, 206},
        {"a read-only medium (ERROR_WRITE_PROTECT)", EROFS, 19},
        {"no descriptor left", EMFILE, err::too_many_open_files},
        {"no descriptor left in the system", ENFILE, err::too_many_open_files},
        {"no memory", ENOMEM, err::not_enough_memory},
        {"no socket buffers", ENOBUFS, err::not_enough_memory},
        {"disk full", ENOSPC, err::disk_full},
        {"quota reached", EDQUOT, err::disk_full},
        {"already there", EEXIST, err::file_exists},
        {"in use", EBUSY, err::sharing_violation},
        {"a running program", ETXTBSY, err::sharing_violation},
        {"another volume", EXDEV, err::not_same_device},
        {"folder not empty", ENOTEMPTY, err::dir_not_empty},
        {"a bad descriptor", EBADF, err::invalid_handle},
        {"a bad argument", EINVAL, err::invalid_parameter},
        {"no counterpart", EPROTO, err::gen_failure},
    };
    for (const Case& c : cases) EXPECT_EQ(posix::from_errno(c.e), c.expected) << c.what;
}

} // namespace

#endif
