#include "host/processes.h"

#include "host/trace.h"
#include "platform/platform.h"
#include "platform/processes.h"
#include "text/text.h"

using platform::Handle;

namespace {
constexpr size_t max_processes = 1024;

// Opens the process (the backend tries the access masks in order) and runs `query` on it.
template <class Query>
bool with_process(uint32_t pid, Query query)
{
    auto& p = platform::processes();
    Handle h = platform::null_handle;
    if (p.open(pid, h) != platform::err::success) return false;
    const bool ok = query(p, h);
    p.close(h);
    return ok;
}
} // namespace

size_t CProcesses::EnumerateProcesses(std::vector<uint32_t>& list)
{
    list.clear();
    std::vector<uint32_t> ids;
    if (const platform::Error e = platform::processes().enumerate(ids); e != platform::err::success) {
        TRACE(u"GetLastError=%i", int(e));
        return 0;
    }
    if (ids.size() > max_processes) ids.resize(max_processes);
    for (uint32_t id : ids)
        if (id != 0) list.push_back(id);
    return list.size();
}

std::u16string CProcesses::ProcessImagePath(uint32_t pid)
{
    if (pid == 4) return u"System";
    if (pid == 0) return u"Idle";
    std::u16string path;
    with_process(pid, [&](platform::Processes& p, Handle h) {
        if (p.module_file_name(h, path) == platform::err::success) return true;
        path.clear();
        if (p.full_image_name(h, path) != platform::err::success) path = u"<unknown>";
        return true;
    });
    if (path.empty()) {
        std::u16string exe;
        if (platform::processes().snapshot_exe_name(pid, exe) == platform::err::success) path = exe;
    }
    return path;
}

uint32_t CProcesses::FindProcessByName(const std::u16string& name)
{
    const std::u16string wanted = text::to_lower(name);
    if (auto it = by_name_.find(wanted); it != by_name_.end()) {
        if (text::to_lower(ProcessImagePath(it->second)).find(wanted) != std::u16string::npos) return it->second;
    }
    std::vector<uint32_t> ids;
    EnumerateProcesses(ids);
    for (uint32_t id : ids) {
        if (text::to_lower(ProcessImagePath(id)).find(wanted) != std::u16string::npos) {
            by_name_[wanted] = id;
            return id;
        }
    }
    return 0;
}

std::u16string CProcesses::ProcessBaseName(uint32_t pid)
{
    if (pid == 4) return u"System";
    {
        std::lock_guard<std::mutex> guard(cache_lock_);
        if (auto it = base_names_.find(pid); it != base_names_.end()) return it->second;
    }
    // The lock is not held while the process is queried: two threads may resolve one identifier
    // at once, and the later result stands.
    std::u16string name = u"<unknown>";
    with_process(pid, [&](platform::Processes& p, Handle h) {
        std::u16string got;
        if (p.module_base_name(h, got) == platform::err::success && !got.empty()) {
            name = got;
            return true;
        }
        got.clear();
        if (p.module_file_name(h, got) == platform::err::success && !got.empty()) {
            const size_t slash = got.rfind(u'\\');
            name = slash == std::u16string::npos ? got : got.substr(slash + 1);
        }
        return true;
    });
    if (name != u"<unknown>") {
        std::lock_guard<std::mutex> guard(cache_lock_);
        base_names_[pid] = name;
    }
    return name;
}

std::u16string CProcesses::ProcessUserName(uint32_t pid)
{
    std::u16string user;
    with_process(pid, [&](platform::Processes& p, Handle h) {
        if (p.token_user_name(h, user) != platform::err::success) user.clear();
        return true;
    });
    return user;
}

size_t CProcesses::DesktopUsers(std::vector<std::u16string>& list)
{
    list.clear();
    std::vector<uint32_t> ids;
    EnumerateProcesses(ids);
    size_t pairs = 0;
    for (uint32_t id : ids) {
        if (text::to_lower(ProcessBaseName(id)) != u"explorer.exe") continue;
        const std::u16string user = ProcessUserName(id);
        if (user.empty()) continue;
        list.push_back(user);
        list.push_back(text::format(u"%u", id));
        ++pairs;
    }
    return pairs;
}
