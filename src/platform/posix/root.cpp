#include "platform/posix/root.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>

#include "text/text.h"

namespace platform::posix {

std::string root_from(const char* platform_root, const char* state_home, const char* home)
{
    if (platform_root && *platform_root) return platform_root;
    std::string state;
    if (state_home && *state_home) {
        state = state_home;
    } else {
        state = std::string(home && *home ? home : "/tmp") + "/.local/state";
    }
    return state + "/zelmusb/platform";
}

std::string root()
{
    return root_from(std::getenv("ZELMUSB_PLATFORM_ROOT"), std::getenv("XDG_STATE_HOME"), std::getenv("HOME"));
}

namespace {
constexpr mode_t folder_mode = 0755;

void make_dirs(const std::string& path)
{
    // Asked for on every named object, pipe and key: a folder that is there already costs one
    // status call, not one call per level of its path.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            const std::string prefix = path.substr(0, i);
            // Readable by all, writable by the owner alone, whatever the umask: another user must
            // not add, rename or remove the machine's records, keys and names. A folder that
            // exists already is left as its owner made it (a shared objects folder among them).
            if (::mkdir(prefix.c_str(), folder_mode) == 0) ::chmod(prefix.c_str(), folder_mode);
            // Otherwise the caller's own open reports the failure with its error code.
        }
    }
}
} // namespace

std::string root_folder(std::string_view sub)
{
    std::string path = root();
    if (!sub.empty()) path += "/" + std::string(sub);
    make_dirs(path);
    return path;
}

std::string native_path(std::u16string_view windows_path)
{
    std::string p = text::to_utf8(windows_path);
    for (char& c : p)
        if (c == '\\') c = '/';
    return p;
}

} // namespace platform::posix
