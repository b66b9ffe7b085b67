// Families that pass every call to an inner family of the same kind. A wrapper derives from one
// and overrides only the calls it changes: the model machine's files and clock over the native
// ones, and the tests' stand-ins (a full disk, a sleep in virtual time, the trace kept) over the
// real ones. The inner family must outlive the wrapper; the wrapper adds no locking of its own.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/pipes.h"
#include "platform/sync.h"
#include "platform/system.h"

namespace platform {

class ForwardingFiles : public Files {
public:
    explicit ForwardingFiles(Files& inner) : inner_(inner) {}

    Error open(const std::u16string& path, uint32_t desired_access, uint32_t share_mode,
               uint32_t creation_disposition, uint32_t flags_and_attributes, Handle& out) override
    {
        return inner_.open(path, desired_access, share_mode, creation_disposition, flags_and_attributes, out);
    }
    Error read(Handle h, void* buffer, uint32_t size, uint32_t& read) override { return inner_.read(h, buffer, size, read); }
    Error write(Handle h, const void* data, uint32_t size, uint32_t& written) override
    {
        return inner_.write(h, data, size, written);
    }
    Error size(Handle h, uint64_t& size) override { return inner_.size(h, size); }
    Error close(Handle h) override { return inner_.close(h); }
    Error remove(const std::u16string& path) override { return inner_.remove(path); }
    Error create_directory(const std::u16string& path) override { return inner_.create_directory(path); }
    uint32_t attributes(const std::u16string& path, Error& error) override { return inner_.attributes(path, error); }
    Error find(const std::u16string& pattern, std::vector<FindEntry>& entries) override
    {
        return inner_.find(pattern, entries);
    }
    Error move_replace(const std::u16string& from, const std::u16string& to) override
    {
        return inner_.move_replace(from, to);
    }
    int stat(const std::u16string& path, bool& is_directory) override { return inner_.stat(path, is_directory); }
    int make_writable(const std::u16string& path) override { return inner_.make_writable(path); }
    uint32_t drive_type(const std::u16string& root) override { return inner_.drive_type(root); }

protected:
    Files& inner_;
};

class ForwardingSystem : public System {
public:
    explicit ForwardingSystem(System& inner) : inner_(inner) {}

    Error environment(const std::u16string& name, std::u16string& value) override
    {
        return inner_.environment(name, value);
    }
    uint32_t tick_count() override { return inner_.tick_count(); }
    uint64_t tick_count64() override { return inner_.tick_count64(); }
    LocalTime local_time() override { return inner_.local_time(); }
    void debug_output(const std::u16string& line) override { inner_.debug_output(line); }
    Error sha1(std::span<const uint8_t> data, Sha1Digest& digest) override { return inner_.sha1(data, digest); }
    Error check_state_folders(std::u16string& folder, std::u16string& owner) override
    {
        return inner_.check_state_folders(folder, owner);
    }

protected:
    System& inner_;
};

class ForwardingSync : public Sync {
public:
    explicit ForwardingSync(Sync& inner) : inner_(inner) {}

    Error create_mutex(const std::u16string& name, Handle& out) override { return inner_.create_mutex(name, out); }
    Error open_mutex(const std::u16string& name, Handle& out) override { return inner_.open_mutex(name, out); }
    Error create_event(bool manual_reset, bool initially_set, const std::u16string& name, Handle& out) override
    {
        return inner_.create_event(manual_reset, initially_set, name, out);
    }
    Error set_event(Handle event) override { return inner_.set_event(event); }
    Error reset_event(Handle event) override { return inner_.reset_event(event); }
    Error open_event_of(uint32_t owner_pid, Handle value, Handle& out) override
    {
        return inner_.open_event_of(owner_pid, value, out);
    }
    Error close(Handle h) override { return inner_.close(h); }
    Error wait_any(const std::vector<Handle>& handles, uint32_t timeout_ms, size_t& index) override
    {
        return inner_.wait_any(handles, timeout_ms, index);
    }
    Error wait(Handle h, uint32_t timeout_ms) override { return inner_.wait(h, timeout_ms); }
    void sleep(uint32_t ms) override { inner_.sleep(ms); }

protected:
    Sync& inner_;
};

class ForwardingPipes : public Pipes {
public:
    explicit ForwardingPipes(Pipes& inner) : inner_(inner) {}

    Error create_server(const std::u16string& path, const PipeServerOptions& options, Handle& server) override
    {
        return inner_.create_server(path, options, server);
    }
    Error connect(Handle server) override { return inner_.connect(server); }
    Error disconnect(Handle server) override { return inner_.disconnect(server); }
    Error open_client(const std::u16string& path, Handle& client) override { return inner_.open_client(path, client); }
    Error set_message_mode(Handle client) override { return inner_.set_message_mode(client); }
    Error peek(Handle h, uint32_t& available, uint32_t& left_in_message) override
    {
        return inner_.peek(h, available, left_in_message);
    }
    Error read(Handle h, void* buffer, uint32_t size, uint32_t& read, uint32_t timeout_ms) override
    {
        return inner_.read(h, buffer, size, read, timeout_ms);
    }
    Error write(Handle h, const void* data, uint32_t size, uint32_t& written, uint32_t timeout_ms) override
    {
        return inner_.write(h, data, size, written, timeout_ms);
    }
    Error flush(Handle h, uint32_t timeout_ms) override { return inner_.flush(h, timeout_ms); }
    Error client_process(Handle server, uint32_t& pid, bool& privileged) override
    {
        return inner_.client_process(server, pid, privileged);
    }
    Error close(Handle h) override { return inner_.close(h); }

protected:
    Pipes& inner_;
};

} // namespace platform
