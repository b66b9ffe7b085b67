#include "platform/posix/root.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>

#include "text/text.h"

namespace platform::posix {

std::string root()
{
    if (const char* r = std::getenv("ZELMUSB_PLATFORM_ROOT"); r && *r) return r;
    std::string state;
    if (const char* x = std::getenv("XDG_STATE_HOME"); x && *x) {
        state = x;
    } else {
        const char* home = std::getenv("HOME");
        state = std::string(home && *home ? home : "/tmp") + "/.local/state";
    }
    return state + "/zelmusb/platform";
}

namespace {
void make_dirs(const std::string& path)
{
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            const std::string prefix = path.substr(0, i);
            if (::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
                // The caller's own open reports the failure with its error code.
            }
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
