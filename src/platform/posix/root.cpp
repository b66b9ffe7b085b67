#include "platform/posix/root.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

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
// Writable by the owner alone, whatever the umask: another user must not add, rename or remove
// the machine's records, keys and names, nor read what the program keeps (the devices present,
// their serial numbers, the hubs' values). Other users' programs (the suite's menu runs as the
// logged-on user) pass through the root to the pipes and mutexes in "objects".
constexpr mode_t private_mode = 0700;
constexpr mode_t root_mode = 0711;
constexpr mode_t shared_mode = 0755;

mode_t mode_below_root(std::string_view sub)
{
    const std::string_view first = sub.substr(0, sub.find('/'));
    return first == "objects" || first == "registry" || first == "services" ? shared_mode : private_mode;
}

void make_dirs(const std::string& path, const std::string& root, mode_t below)
{
    // Asked for on every named object, pipe and key: a folder that is there already costs one
    // status call, not one call per level of its path.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            const std::string prefix = path.substr(0, i);
            // Folders made for a root that does not exist yet let others through, as the root does.
            const mode_t mode = prefix.size() <= root.size() ? root_mode : below;
            // A folder that exists already is left as its owner made it (a shared objects folder
            // among them); otherwise the caller's own open reports the failure with its error code.
            if (::mkdir(prefix.c_str(), mode) == 0) ::chmod(prefix.c_str(), mode);
        }
    }
}

std::u16string owner_name(uid_t uid)
{
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == 0 && found) return text::from_utf8(found->pw_name);
    return text::from_utf8("uid " + std::to_string(uid));
}
} // namespace

std::string root_folder(std::string_view sub)
{
    const std::string top = root();
    std::string path = top;
    if (!sub.empty()) path += "/" + std::string(sub);
    make_dirs(path, top, mode_below_root(sub));
    return path;
}

bool below_root(const std::string& path)
{
    std::string top = root();
    while (top.size() > 1 && top.back() == '/') top.pop_back();
    return path.size() > top.size() + 1 && path.compare(0, top.size(), top) == 0 && path[top.size()] == '/';
}

uint32_t check_root_folders(std::u16string& folder, std::u16string& owner)
{
    // The nearest folder that exists, with its links resolved: a link's own mode says nothing.
    std::string existing = root();
    if (existing.empty() || existing[0] != '/') {
        // A relative root lies below the working folder, which is judged with the rest.
        char* cwd = ::getcwd(nullptr, 0);
        existing = std::string(cwd ? cwd : "/") + "/" + existing;
        std::free(cwd);
    }
    char* resolved = nullptr;
    while (!(resolved = ::realpath(existing.c_str(), nullptr))) {
        const size_t slash = existing.find_last_of('/');
        if (slash == std::string::npos || slash == 0) {
            existing = "/";
            continue;
        }
        existing.resize(slash);
    }
    const std::string path = resolved;
    std::free(resolved);
    std::vector<std::string> folders{"/"};
    for (size_t i = 2; i <= path.size(); ++i)
        if (i == path.size() || path[i] == '/') folders.push_back(path.substr(0, i));
    const uid_t me = ::geteuid();
    for (const std::string& f : folders) {
        struct stat st{};
        if (::stat(f.c_str(), &st) != 0) {
            folder = text::from_utf8(f);
            owner.clear();
            return 5;
        }
        const bool owner_ok = st.st_uid == 0 || st.st_uid == me;
        const bool others_write = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
        const bool sticky_of_root = st.st_uid == 0 && (st.st_mode & S_ISVTX) != 0;
        if (!owner_ok || (others_write && !sticky_of_root)) {
            folder = text::from_utf8(f);
            owner = owner_name(st.st_uid);
            return 5;
        }
    }
    return 0;
}

std::string native_path(std::u16string_view windows_path)
{
    std::string p = text::to_utf8(windows_path);
    for (char& c : p)
        if (c == '\\') c = '/';
    return p;
}

} // namespace platform::posix
