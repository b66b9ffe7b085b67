// The running processes as the host sees them: identifiers, image paths, cached base names, users.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class CProcesses {
public:
    // The identifiers of the running processes (at most 1024), identifier 0 left out. Traces the
    // error and returns 0 when the system cannot list them.
    size_t EnumerateProcesses(std::vector<uint32_t>& list);
    // The full path of a process's executable; "System" for 4 and "Idle" for 0; empty when nothing
    // names it.
    std::u16string ProcessImagePath(uint32_t pid);
    // The first process whose lower-cased image path contains the lower-cased `name`; 0 when none.
    uint32_t FindProcessByName(const std::u16string& name);
    // The executable's file name, cached per identifier; "<unknown>" when nothing names it.
    std::u16string ProcessBaseName(uint32_t pid);
    // The account name of the process's user; empty when it cannot be read.
    std::u16string ProcessUserName(uint32_t pid);
    // For every "explorer.exe" with a user: the user name and the identifier in decimal, appended
    // as two texts. Returns the number of pairs.
    size_t DesktopUsers(std::vector<std::u16string>& list);

private:
    std::mutex cache_lock_;
    std::map<uint32_t, std::u16string> base_names_;
    std::map<std::u16string, uint32_t> by_name_;
};
