#include "platform/posix/hub_values.h"

#include <cerrno>
#include <charconv>
#include <optional>
#include <set>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/root.h"

namespace platform::posix::hub_values {

namespace {

constexpr char usb_devices[] = "/sys/bus/usb/devices/";

bool is_root_hub(std::string_view name)
{
    if (name.size() < 4 || name.substr(0, 3) != "usb" || name[3] == '0') return false;
    uint32_t bus = 0;
    const auto [end, ec] = std::from_chars(name.data() + 3, name.data() + name.size(), bus);
    return ec == std::errc() && end == name.data() + name.size();
}

// The values the kernel takes for authorized_default: none, all, internal only.
bool accepted_value(std::string_view v) { return v == "0" || v == "1" || v == "2"; }

std::string folder_path() { return root_folder("drivers"); }

// The drivers folder is believed when it is a real folder of this user (or root) that nobody
// else can write; one left readable by an older version is made owner-only.
bool private_folder(const std::string& folder, std::string& why)
{
    struct stat st{};
    if (::lstat(folder.c_str(), &st) != 0) {
        why = "its folder cannot be read";
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        why = "its folder is not a folder";
        return false;
    }
    if (st.st_uid != ::geteuid() && st.st_uid != 0) {
        why = "its folder belongs to uid " + std::to_string(st.st_uid);
        return false;
    }
    if ((st.st_mode & 077) != 0 && (st.st_uid != ::geteuid() || ::chmod(folder.c_str(), 0700) != 0)) {
        why = "its folder is open to other users";
        return false;
    }
    return true;
}

// The whole file, or a reason it is not believed.
std::optional<std::string> read_checked(const std::string& path, bool& missing, std::string& why)
{
    missing = false;
    std::string folder_why;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) {
            missing = true;
            return std::nullopt;
        }
        why = errno == ELOOP ? "the file is a symbolic link" : "the file cannot be opened (errno " + std::to_string(errno) + ")";
        return std::nullopt;
    }
    struct stat st{};
    std::string text;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "the file is not a regular file";
    } else if (st.st_uid != ::geteuid() && st.st_uid != 0) {
        why = "the file belongs to uid " + std::to_string(st.st_uid);
    } else if ((st.st_mode & 022) != 0) {
        why = "the file is writable by other users";
    } else if (!private_folder(folder_path(), folder_why)) {
        why = folder_why;
    } else if (st.st_size <= 0) {
        why = "the file is empty";
    } else if (uint64_t(st.st_size) > max_bytes) {
        why = "the file is too long (" + std::to_string(st.st_size) + " bytes)";
    } else {
        char buffer[4096];
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
            text.append(buffer, size_t(n));
            if (text.size() > max_bytes) break;
        }
        if (text.size() > max_bytes) why = "the file is too long";
        else if (text.empty()) why = "the file is empty";
    }
    ::close(fd);
    if (!why.empty()) return std::nullopt;
    return text;
}

} // namespace

std::optional<std::string> read_attribute(const std::string& path, int folder)
{
    const int fd = ::openat(folder, path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    char buffer[64];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    if (n < 0) return std::nullopt;
    std::string value(buffer, size_t(n));
    if (const size_t nl = value.find('\n'); nl != std::string::npos) value.resize(nl);
    return value;
}

bool write_attribute(const std::string& path, const std::string& value, int folder)
{
    const int fd = ::openat(folder, path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::write(fd, value.data(), value.size()) == ssize_t(value.size());
    return ::close(fd) == 0 && ok;
}


std::string kept_path(std::string_view driver)
{
    std::string name(driver);
    for (char& c : name)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return folder_path() + "/" + name + ".hubs";
}

bool keep(const Values& values, std::string_view driver)
{
    const std::string folder = folder_path();
    std::string why;
    if (!private_folder(folder, why)) {
        errno = EACCES;
        return false;
    }
    std::string text;
    for (const auto& [name, value] : values) text += name + " " + value + "\n";
    const std::string path = kept_path(driver), temp = path + ".new";
    // A new file left by a crash is ours to replace; a link planted there is removed, not followed.
    ::unlink(temp.c_str());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    ::fchmod(fd, 0600);
    const bool ok = ::write(fd, text.data(), text.size()) == ssize_t(text.size()) && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        ::unlink(temp.c_str());
        errno = saved;
        return false;
    }
    return true;
}

Kept load(Values& values, const Trace& trace, std::string* why_broken, std::string_view driver)
{
    values.clear();
    bool missing = false;
    std::string why;
    const std::optional<std::string> text = read_checked(kept_path(driver), missing, why);
    if (missing) return Kept::none;
    auto broken = [&](const std::string& reason) {
        values.clear();
        if (why_broken) *why_broken = reason;
        trace("the hubs' kept values (" + kept_path(driver) + ") are not believed: " + reason);
        return Kept::broken;
    };
    if (!text) return broken(why);

    std::set<std::string> twice;
    for (size_t at = 0, line = 1; at < text->size(); ++line) {
        size_t end = text->find('\n', at);
        if (end == std::string::npos) end = text->size();
        const std::string_view l = std::string_view(*text).substr(at, end - at);
        at = end + 1;
        const size_t blank = l.find(' ');
        const std::string name(l.substr(0, blank));
        if (blank == std::string_view::npos || !is_root_hub(name))
            return broken("line " + std::to_string(line) + " names no root hub");
        const std::string value(l.substr(blank + 1));
        if (values.count(name) || twice.count(name)) {
            twice.insert(name);
            values[name] = kernel_default;
            continue;
        }
        if (!accepted_value(value)) {
            trace(name + ": kept value \"" + value.substr(0, 16) + "\" is not one the kernel takes; " +
                  kernel_default + ", the kernel's default, is put back");
            values[name] = kernel_default;
            continue;
        }
        values[name] = value;
    }
    for (const std::string& name : twice)
        trace(name + ": listed more than once in the kept values; " + std::string(kernel_default) +
              ", the kernel's default, is put back");
    return Kept::read;
}

Values present()
{
    Values hubs;
    DIR* dir = ::opendir(usb_devices);
    if (!dir) return hubs;
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(dir))
        if (is_root_hub(e->d_name)) names.emplace_back(e->d_name);
    ::closedir(dir);
    for (const std::string& name : names)
        if (const auto value = read_attribute(usb_devices + name + "/authorized_default")) hubs[name] = *value;
    return hubs;
}

bool restore(const Values& values, const Trace& trace)
{
    bool all = true;
    for (const auto& [name, value] : values) {
        struct stat st{};
        if (::stat((usb_devices + name).c_str(), &st) != 0) continue; // the hub is gone
        if (!write_attribute(usb_devices + name + "/authorized_default", value)) {
            trace(name + ": authorized_default cannot be put back to " + value);
            all = false;
        }
    }
    return all;
}

bool restore_kept(const Trace& trace, std::string_view driver)
{
    Values kept;
    std::string why;
    const Kept state = load(kept, trace, &why, driver);
    Values put;
    for (const auto& [name, now] : present()) {
        if (state == Kept::read) {
            if (const auto it = kept.find(name); it != kept.end()) put[name] = it->second;
            continue;
        }
        // No value to go by: a hub that still holds gets the kernel's default; one that does not
        // is left as it is.
        if (state == Kept::broken || now == "0") {
            trace(name + ": " + (state == Kept::broken ? "the kept values are not believed (" + why + ")" : "holds with no kept value") +
                  "; " + kernel_default + ", the kernel's default, is put back");
            put[name] = kernel_default;
        }
    }
    const bool all = restore(put, trace);
    if (all && state != Kept::none) forget(driver);
    return all;
}

void forget(std::string_view driver)
{
    ::unlink(kept_path(driver).c_str());
}

} // namespace platform::posix::hub_values
