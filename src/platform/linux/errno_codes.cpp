#include "platform/linux/errno_codes.h"

#include <cerrno>

namespace platform::posix {

Error from_errno(int e)
{
    switch (e) {
    case 0: return err::success;
    case ENOENT: return err::file_not_found;
    case ENOTDIR:
    case ELOOP: return err::path_not_found;
    case EACCES:
    case EPERM:
    case EISDIR: return err::access_denied;
    case EBADF: return err::invalid_handle;
    case ENOMEM:
    case ENOBUFS: return err::not_enough_memory;
    case EEXIST: return err::file_exists;
    case ENAMETOOLONG: return err::filename_exced_range;
    case EROFS: return err::write_protect;
    case ENOSPC:
    case EDQUOT: return err::disk_full;
    case EMFILE:
    case ENFILE: return err::too_many_open_files;
    case EXDEV: return err::not_same_device;
    case ENOTEMPTY: return err::dir_not_empty;
    case EINVAL: return err::invalid_parameter;
    case EBUSY:
    case ETXTBSY: return err::sharing_violation;
    default: return err::gen_failure;
    }
}

} // namespace platform::posix
