// An in-memory files family with switches for the failures a disk gives: a refused open, a
// failing or short write, reads that deliver fewer bytes than asked.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/platform.h"

namespace jsontest {

class MemoryFiles : public platform::Files {
public:
    std::map<std::u16string, std::vector<uint8_t>> contents;
    std::set<std::u16string> folders;

    // Failure switches.
    platform::Error open_error = 0;
    platform::Error write_error = 0;
    uint32_t write_limit = 0xFFFFFFFFu; // at most this many bytes are written per call
    uint32_t read_limit = 0xFFFFFFFFu;  // at most this many bytes are delivered per call
    int stat_error = 0;                 // an errno other than "no such file"

    // What was asked.
    int write_calls = 0;
    int read_calls = 0;
    uint32_t last_share = 0;
    uint32_t last_access = 0;
    uint32_t last_disposition = 0;

    size_t open_handles() const { return handles_.size(); }

    platform::Error open(const std::u16string& path, uint32_t desired_access, uint32_t share_mode,
                         uint32_t creation_disposition, uint32_t, platform::Handle& out) override
    {
        last_access = desired_access;
        last_share = share_mode;
        last_disposition = creation_disposition;
        if (open_error) return open_error;
        if (folders.count(path)) return platform::err::access_denied;
        switch (creation_disposition) {
        case platform::disposition::open_existing:
            if (!contents.count(path)) return platform::err::file_not_found;
            break;
        case platform::disposition::create_always:
            contents[path].clear();
            break;
        default:
            return platform::err::invalid_parameter;
        }
        out = next_handle_++;
        handles_[out] = {path, 0};
        return 0;
    }

    platform::Error read(platform::Handle h, void* buffer, uint32_t size, uint32_t& read) override
    {
        ++read_calls;
        read = 0;
        auto it = handles_.find(h);
        if (it == handles_.end()) return platform::err::invalid_handle;
        const auto& data = contents[it->second.path];
        const size_t left = data.size() - std::min(data.size(), it->second.pos);
        read = uint32_t(std::min<size_t>({size, read_limit, left}));
        if (read) std::memcpy(buffer, data.data() + it->second.pos, read);
        it->second.pos += read;
        return 0;
    }

    platform::Error write(platform::Handle h, const void* data, uint32_t size, uint32_t& written) override
    {
        ++write_calls;
        written = 0;
        auto it = handles_.find(h);
        if (it == handles_.end()) return platform::err::invalid_handle;
        if (write_error) return write_error;
        written = std::min(size, write_limit);
        auto& file = contents[it->second.path];
        if (file.size() < it->second.pos + written) file.resize(it->second.pos + written);
        if (written) std::memcpy(file.data() + it->second.pos, data, written);
        it->second.pos += written;
        return 0;
    }

    platform::Error size(platform::Handle h, uint64_t& size) override
    {
        auto it = handles_.find(h);
        if (it == handles_.end()) return platform::err::invalid_handle;
        size = contents[it->second.path].size();
        return 0;
    }

    platform::Error close(platform::Handle h) override
    {
        return handles_.erase(h) ? 0 : platform::err::invalid_handle;
    }

    platform::Error remove(const std::u16string& path) override
    {
        return contents.erase(path) ? 0 : platform::err::file_not_found;
    }
    platform::Error create_directory(const std::u16string& path) override
    {
        return folders.insert(path).second ? 0 : platform::err::already_exists;
    }
    uint32_t attributes(const std::u16string& path, platform::Error& error) override
    {
        error = 0;
        if (folders.count(path)) return platform::attribute::directory;
        if (contents.count(path)) return platform::attribute::normal;
        error = platform::err::file_not_found;
        return platform::attribute::invalid;
    }
    platform::Error find(const std::u16string&, std::vector<platform::FindEntry>&) override
    {
        return platform::err::not_supported;
    }
    platform::Error move_replace(const std::u16string& from, const std::u16string& to) override
    {
        auto it = contents.find(from);
        if (it == contents.end()) return platform::err::file_not_found;
        contents[to] = it->second;
        contents.erase(from);
        return 0;
    }
    int stat(const std::u16string& path, bool& is_directory) override
    {
        if (stat_error) return stat_error;
        if (folders.count(path)) {
            is_directory = true;
            return 0;
        }
        if (contents.count(path)) {
            is_directory = false;
            return 0;
        }
        return 2;
    }
    int make_writable(const std::u16string& path) override { return contents.count(path) ? 0 : 2; }
    uint32_t drive_type(const std::u16string&) override { return platform::drive::fixed; }

private:
    struct OpenFile {
        std::u16string path;
        size_t pos;
    };
    std::map<platform::Handle, OpenFile> handles_;
    platform::Handle next_handle_ = 100;
};

// Installs a MemoryFiles as the files family for the life of the object.
class ScopedMemoryFiles : public MemoryFiles {
public:
    ScopedMemoryFiles() : override_(&platform::Platform::files, *this) {}

private:
    platform::Override<platform::Files> override_;
};

} // namespace jsontest
