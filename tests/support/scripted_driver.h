// The filter driver scripted for tests, as the two platform families see it: a service control
// manager with one scripted service, and the control device the scripted driver serves. Each can
// stand alone (the driver control tests script one side at a time), or the two make one driver
// (`ScriptedDriverService`) whose device answers only while its service runs, with one journal of
// the calls to both in order.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "drivercontrol/driver_interface.h"
#include "platform/devices.h"
#include "platform/platform.h"
#include "platform/services.h"
#include "platform/sync.h"

namespace platform_test {

using platform::Error;
using platform::Handle;

// The calls to a scripted driver, in order, as words: the service calls by their names below
// ("create", "start", "control", ...) and the control codes as "ioctl 22205C".
class CallJournal {
public:
    void note(std::string what)
    {
        std::lock_guard<std::mutex> g(m_);
        entries_.push_back(std::move(what));
    }
    std::vector<std::string> entries()
    {
        std::lock_guard<std::mutex> g(m_);
        return entries_;
    }
    static std::string ioctl(uint32_t code)
    {
        char b[32];
        std::snprintf(b, sizeof b, "ioctl %X", code);
        return b;
    }

private:
    std::mutex m_;
    std::vector<std::string> entries_;
};

// One service, scripted. Counters of -1 mean "for ever".
class ScriptedServices : public platform::Services {
public:
    struct Call {
        std::string op;
        uint32_t access = 0;
    };
    std::vector<Call> calls;
    platform::ServiceDefinition created;
    std::u16string service = u"ZelmUsb";

    bool exists = false;
    uint32_t state = platform::service::stopped;
    Error open_manager_error = 0;
    Error create_error = 0; // beside 1073 for an existing service
    Error start_error = 0;  // beside 1056 for a running one
    Error control_error = 0;
    Error delete_error = 0;
    Error query_error = 0;
    int start_pending_polls = 0;   // queries that still see start pending after a start
    int stop_pending_polls = 0;    // queries that still see stop pending after the stop control
    int opens_failing_after_create = 0; // Install's wait for the new service
    int opens_after_delete = 0;    // opens that still succeed after a delete

    std::set<Handle> open_handles;
    Handle managers_opened = 0;
    bool marked_for_delete = false; // deleted while something may still open it
    CallJournal* journal = nullptr;
    // Called when a service is created, as the service manager makes its key in the registry.
    std::function<void(const platform::ServiceDefinition&)> on_create;

    // Whether the service is there for a new open, and whether it runs.
    bool installed() const { return exists && !(marked_for_delete && opens_after_delete == 0); }
    bool running() const { return installed() && state == platform::service::running; }
    // The service gone and the script back to the start, as between the cases of a table.
    void uninstall_now()
    {
        exists = marked_for_delete = false;
        state = platform::service::stopped;
    }

    Error open_manager(uint32_t access, Handle& h) override
    {
        note("open_manager", access);
        if (open_manager_error) return open_manager_error;
        h = next_++;
        open_handles.insert(h);
        ++managers_opened;
        return 0;
    }
    Error create(Handle manager, const platform::ServiceDefinition& d, Handle& h) override
    {
        note("create", d.desired_access);
        if (!open_handles.count(manager)) return platform::err::invalid_handle;
        if (marked_for_delete && opens_after_delete == 0) uninstall_now();
        if (exists) return platform::err::service_exists;
        if (create_error) return create_error;
        created = d;
        exists = true;
        state = platform::service::stopped;
        if (on_create) on_create(d);
        h = next_++;
        open_handles.insert(h);
        return 0;
    }
    Error open(Handle manager, const std::u16string& name, uint32_t access, Handle& h) override
    {
        note("open", access);
        if (!open_handles.count(manager)) return platform::err::invalid_handle;
        if (!exists || name != service) return platform::err::service_does_not_exist;
        if (marked_for_delete) {
            if (opens_after_delete == 0) {
                uninstall_now();
                return platform::err::service_does_not_exist;
            }
            if (opens_after_delete > 0) --opens_after_delete;
        }
        if (opens_failing_after_create != 0) {
            if (opens_failing_after_create > 0) --opens_failing_after_create;
            return platform::err::service_does_not_exist;
        }
        h = next_++;
        open_handles.insert(h);
        return 0;
    }
    Error start(Handle h) override
    {
        note("start", 0);
        if (!open_handles.count(h)) return platform::err::invalid_handle;
        if (start_error) return start_error;
        if (state == platform::service::running) return platform::err::service_already_running;
        state = start_pending_polls != 0 ? platform::service::start_pending : platform::service::running;
        return 0;
    }
    Error control(Handle h, uint32_t code, platform::ServiceStatus& s) override
    {
        note("control", code);
        if (!open_handles.count(h)) return platform::err::invalid_handle;
        if (control_error) return control_error;
        if (state == platform::service::stopped) return platform::err::service_not_active;
        state = stop_pending_polls != 0 ? platform::service::stop_pending : platform::service::stopped;
        s.current_state = state;
        return 0;
    }
    Error query_status(Handle h, platform::ServiceStatus& s) override
    {
        note("query", 0);
        if (!open_handles.count(h)) return platform::err::invalid_handle;
        if (query_error) return query_error;
        s = platform::ServiceStatus{};
        s.service_type = platform::service::kernel_driver;
        s.current_state = state;
        if (state == platform::service::start_pending && start_pending_polls != -1 && --start_pending_polls <= 0)
            state = platform::service::running;
        if (state == platform::service::stop_pending && stop_pending_polls != -1 && --stop_pending_polls <= 0)
            state = platform::service::stopped;
        return 0;
    }
    Error remove(Handle h) override
    {
        note("delete", 0);
        if (!open_handles.count(h)) return platform::err::invalid_handle;
        if (delete_error) return delete_error;
        if (marked_for_delete) return platform::err::service_marked_for_delete;
        marked_for_delete = true;
        return 0;
    }
    Error close(Handle h) override
    {
        if (!open_handles.erase(h)) return platform::err::invalid_handle;
        return 0;
    }

    size_t count(const std::string& op) const
    {
        size_t n = 0;
        for (const auto& c : calls) n += c.op == op;
        return n;
    }
    std::vector<uint32_t> accesses(const std::string& op) const
    {
        std::vector<uint32_t> out;
        for (const auto& c : calls)
            if (c.op == op) out.push_back(c.access);
        return out;
    }

private:
    void note(const char* op, uint32_t access)
    {
        std::lock_guard<std::mutex> g(m_.m);
        calls.push_back({op, access});
        if (journal) journal->note(op);
    }
    // A script is reset by assigning a fresh one; the lock stays each object's own.
    struct Lock {
        Lock() = default;
        Lock(const Lock&) {}
        Lock& operator=(const Lock&) { return *this; }
        std::mutex m;
    } m_;
    Handle next_ = 0x100;
};

// A control device served by a scripted filter driver. Thread-safe: the user-test worker calls
// it from its own thread.
class ScriptedDriver : public platform::Devices {
public:
    struct Request {
        uint64_t id = 0;
        std::u16string json;
        bool expired = false;            // the fetch finds it gone (noData)
        uint32_t size_override = 0;      // a size other than the true one in the size answer
    };
    struct Call {
        uint32_t code = 0;
        std::vector<uint8_t> input;
    };

    std::u16string path = u"\\\\.\\ZelmUsb";
    Error open_error = 0;
    Error close_error = 0;
    std::map<uint32_t, Error> errors;                // a code that fails, with its error
    std::map<uint32_t, std::deque<Error>> answers;   // a code's answers in turn, then as usual
    const ScriptedServices* served_by = nullptr;     // opens only while this service runs
    CallJournal* journal = nullptr;

    // Called with the request's text while the worker waits for its verdict.
    std::function<void(const Request&)> on_fetch;

    Error open(const std::u16string& p, uint32_t access, uint32_t share, uint32_t flags, Handle& h) override
    {
        std::lock_guard<std::mutex> g(m_);
        opens.push_back({access, share});
        if (open_error) return open_error;
        if (p != path || (served_by && !served_by->running())) return platform::err::file_not_found;
        h = next_++;
        handles_.insert(h);
        return 0;
    }

    Error control(Handle h, uint32_t code, const void* in, uint32_t in_size, void* out, uint32_t out_size,
                  uint32_t& returned) override
    {
        std::unique_lock<std::mutex> g(m_);
        returned = 0;
        Call call{code, {}};
        if (in && in_size) call.input.assign(static_cast<const uint8_t*>(in), static_cast<const uint8_t*>(in) + in_size);
        calls_.push_back(call);
        if (journal) journal->note(CallJournal::ioctl(code));
        if (!handles_.count(h)) return platform::err::invalid_handle;
        if (auto it = errors.find(code); it != errors.end()) return it->second;
        if (auto it = answers.find(code); it != answers.end() && !it->second.empty()) {
            const Error answer = it->second.front();
            it->second.pop_front();
            if (answer != 0) return answer;
        }
        using namespace ZelmUsbVardoManager;
        switch (code) {
        case IOCTL_USER_TEST_ON: {
            VardEventWaiting w;
            if (!w.Decode(call.input)) return platform::err::invalid_parameter;
            registered_event_ = w.hEvent;
            return 0;
        }
        case IOCTL_USER_TEST_OFF:
            registered_event_ = 0;
            return 0;
        case IOCTL_GET_TEST_JSON_SIZE: {
            VardJsonSize s;
            if (pending_.empty()) {
                s.noData = 1;
            } else {
                const Request& r = pending_.front();
                s.requestId = r.id;
                s.jsonSize = r.size_override ? r.size_override : true_size(r);
            }
            const auto bytes = s.Encode();
            if (out_size < bytes.size()) return platform::err::insufficient_buffer;
            std::memcpy(out, bytes.data(), bytes.size());
            returned = uint32_t(bytes.size());
            return 0;
        }
        case IOCTL_GET_TEST_JSON: {
            const uint64_t id = VardJson::RequestId(call.input);
            auto it = pending_.begin();
            while (it != pending_.end() && it->id != id) ++it;
            auto* bytes = static_cast<uint8_t*>(out);
            if (it == pending_.end() || it->expired) {
                if (it != pending_.end()) pending_.erase(it);
                if (out_size > VardJson::noData_offset) bytes[VardJson::noData_offset] = 1;
                returned = std::min<uint32_t>(out_size, VardJson::header_size);
                return 0;
            }
            Request r = *it;
            // The driver writes what fits, never past the caller's buffer.
            std::vector<uint8_t> text;
            for (char16_t c : r.json) {
                text.push_back(uint8_t(c));
                text.push_back(uint8_t(c >> 8));
            }
            text.push_back(0);
            text.push_back(0);
            const uint32_t room = out_size > VardJson::header_size ? out_size - uint32_t(VardJson::header_size) : 0;
            const uint32_t n = std::min<uint32_t>(room, uint32_t(text.size()));
            std::memcpy(bytes + VardJson::text_offset, text.data(), n);
            bytes[VardJson::noData_offset] = 0;
            returned = uint32_t(VardJson::header_size) + n;
            fetched_.push_back(r.id);
            if (on_fetch) {
                auto hook = on_fetch;
                g.unlock();
                hook(r);
                g.lock();
            }
            return 0;
        }
        case IOCTL_SET_TEST_RESULT: {
            VardUserTestResult result;
            if (!result.Decode(call.input)) return platform::err::invalid_parameter;
            for (auto p = pending_.begin(); p != pending_.end(); ++p)
                if (p->id == result.requestId) {
                    pending_.erase(p);
                    break;
                }
            verdicts_.emplace_back(result.requestId, result.rejected);
            cv_.notify_all();
            return 0;
        }
        default:
            return 0;
        }
    }

    Error close(Handle h) override
    {
        std::lock_guard<std::mutex> g(m_);
        closes.push_back(h);
        if (close_error) return close_error;
        if (!handles_.erase(h)) return platform::err::invalid_handle;
        return 0;
    }

    // Queues requests and sets the registered event once.
    void raise(const std::vector<Request>& requests)
    {
        Handle event = 0;
        {
            std::lock_guard<std::mutex> g(m_);
            for (const auto& r : requests) pending_.push_back(r);
            event = registered_event_;
        }
        if (event) platform::sync().set_event(event);
    }
    // Requests the driver still holds (neither answered nor found expired).
    size_t pending() { std::lock_guard<std::mutex> g(m_); return pending_.size(); }
    // Drops a request as the driver does when its wait time passes.
    void expire_all() { std::lock_guard<std::mutex> g(m_); pending_.clear(); }

    // Waits, in real time (bounded), until `n` verdicts have arrived.
    bool wait_verdicts(size_t n, std::chrono::milliseconds limit = std::chrono::seconds(20))
    {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, limit, [&] { return verdicts_.size() >= n; });
    }
    std::vector<std::pair<uint64_t, uint8_t>> verdicts() { std::lock_guard<std::mutex> g(m_); return verdicts_; }
    std::vector<uint64_t> fetched() { std::lock_guard<std::mutex> g(m_); return fetched_; }
    std::vector<Call> calls() { std::lock_guard<std::mutex> g(m_); return calls_; }
    size_t count(uint32_t code)
    {
        std::lock_guard<std::mutex> g(m_);
        size_t n = 0;
        for (const auto& c : calls_) n += c.code == code;
        return n;
    }
    Handle registered_event() { std::lock_guard<std::mutex> g(m_); return registered_event_; }
    size_t open_handles() { std::lock_guard<std::mutex> g(m_); return handles_.size(); }

    static uint32_t true_size(const Request& r)
    {
        return uint32_t(ZelmUsbVardoManager::VardJson::header_size + 2 * (r.json.size() + 1));
    }

    std::vector<std::pair<uint32_t, uint32_t>> opens; // access, share
    std::vector<Handle> closes;

private:
    std::mutex m_;
    std::condition_variable cv_;
    Handle next_ = 0x500;
    std::set<Handle> handles_;
    std::deque<Request> pending_;
    std::vector<Call> calls_;
    std::vector<std::pair<uint64_t, uint8_t>> verdicts_;
    std::vector<uint64_t> fetched_;
    Handle registered_event_ = 0;
};

// One driver: the service record and the control device it serves while the service runs, with
// the calls to both in one journal.
struct ScriptedDriverService {
    ScriptedDriverService()
    {
        services.journal = &journal;
        device.journal = &journal;
        device.served_by = &services;
    }
    ScriptedDriverService(const ScriptedDriverService&) = delete;
    ScriptedDriverService& operator=(const ScriptedDriverService&) = delete;

    CallJournal journal;
    ScriptedServices services;
    ScriptedDriver device;
};

} // namespace platform_test
