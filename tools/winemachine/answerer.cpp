// The answerer of the Wine test machine (test equipment, never shipped): loads the relay driver,
// has it own every device path of a machine file (host controllers, hubs, disk interfaces, drive
// letters other than C:) and answers each request made on them from the machine model's devices
// family, the same code that answers the Linux build. Its Windows error codes go back as the
// NTSTATUS values a Windows driver completes with, so that Wine's I/O manager turns them into the
// same codes again.
//
//   zelmrelay-answerer <relay.sys> <machine.json> <ready file> [<trace file>]
//
// It writes the ready file once every path is owned, then answers until it is ended. With a trace
// file it also reads the debugger output of the prefix's programs into it.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/model/families.h"
#include "relay_protocol.h"

namespace {

using platform::Error;
namespace err = platform::err;

// The NTSTATUS a driver completes with for a Windows error code: the value that Wine (and
// Windows) turn back into exactly that code, a status of the Win32 facility for the rest.
uint32_t status_of(Error e)
{
    switch (e) {
    case err::success: return 0x00000000;
    case err::more_data: return 0x80000005;              // STATUS_BUFFER_OVERFLOW (data is returned)
    case err::insufficient_buffer: return 0xC0000023;    // STATUS_BUFFER_TOO_SMALL
    case err::invalid_function: return 0xC0000010;       // STATUS_INVALID_DEVICE_REQUEST
    case err::gen_failure: return 0xC0000001;            // STATUS_UNSUCCESSFUL
    case err::access_denied: return 0xC0000022;          // STATUS_ACCESS_DENIED
    case err::invalid_parameter: return 0xC000000D;      // STATUS_INVALID_PARAMETER
    case err::file_not_found: return 0xC0000034;         // STATUS_OBJECT_NAME_NOT_FOUND
    case err::invalid_handle: return 0xC0000008;         // STATUS_INVALID_HANDLE
    case err::not_supported: return 0xC00000BB;          // STATUS_NOT_SUPPORTED
    default: return 0xC0070000u | (e & 0xFFFF);          // the Win32 facility: the code itself
    }
}

struct Path {
    std::u16string link;    // below \DosDevices
    std::u16string open_as; // what the model opens: \\.\HCD0, \\.\E:, \\?\usbstor#...
    bool linked = true;
};

// What an open file of a program is to the model: its handle, or why the open failed.
struct OpenFile {
    platform::Handle handle = 0;
    Error error = err::success;
};

class Answerer {
public:
    // `requests`: the handle the requests are fetched and answered through; `links`: another
    // handle of the control device, for the paths (a synchronous handle's requests may be served
    // one after the other, and a pending fetch must not hold up a path going away).
    Answerer(HANDLE requests, HANDLE links, const std::wstring& machine)
        : control_(requests), links_(links),
          engine_(std::make_unique<platform::model::PathStore>(std::filesystem::path(machine))),
          devices_(engine_)
    {
    }

    // Has the relay own every path of the machine, and only those; false with a message when it
    // cannot. Called at the start, after every answer and now and then, so that a device that
    // leaves the machine (an ejected volume, an unplugged hub) no longer opens, and one that
    // arrives does.
    bool own_paths()
    {
        std::lock_guard<std::mutex> hold(mutex_);
        const platform::model::View view = engine_.view();
        if (view.error) {
            if (!seen_) std::fprintf(stderr, "zelmrelay-answerer: the machine file cannot be used: %s\n", view.message.c_str());
            seen_ = view.machine;
            return false;
        }
        if (view.machine == seen_) return true;
        seen_ = view.machine;
        const platform::model::Machine& m = *view.machine;
        std::vector<std::pair<std::u16string, std::u16string>> present; // link, open_as
        for (const auto& [index, c] : m.controllers) {
            const std::u16string name = u"HCD" + to_u16(std::to_string(index));
            present.emplace_back(name, u"\\\\.\\" + name);
        }
        for (const auto& h : m.hubs) present.emplace_back(h.name, u"\\\\.\\" + h.name);
        for (const auto& d : m.disks) present.emplace_back(d.interface_path.substr(4), d.interface_path);
        for (const auto& v : m.volumes) {
            if (v.ejected) continue;
            // C: stays the prefix's own drive, which answers as disk 0, partition 1 of type 7.
            if (v.letter == u'C') {
                const auto& d = m.disks[size_t(v.disk)];
                if (d.number != 0 || d.cdrom || v.partition != 1 || v.drive_type != 3) {
                    std::fprintf(stderr, "zelmrelay-answerer: under Wine C: is the prefix's fixed disk 0, partition 1\n");
                    return false;
                }
                continue;
            }
            const std::u16string name = std::u16string(1, v.letter) + u":";
            present.emplace_back(name, u"\\\\.\\" + name);
        }
        for (Path& p : paths_) {
            bool wanted = false;
            for (const auto& [link, open_as] : present) wanted = wanted || lower(link) == lower(p.link);
            if (wanted != p.linked && set_link(size_t(&p - paths_.data()), wanted)) p.linked = wanted;
        }
        for (const auto& [link, open_as] : present) {
            bool known = false;
            for (const Path& p : paths_) known = known || lower(link) == lower(p.link);
            if (known) continue;
            ULONG index = 0;
            DWORD got = 0;
            if (!::DeviceIoControl(links_, RELAY_ADD, const_cast<char16_t*>(link.data()), DWORD(link.size() * 2),
                                   &index, sizeof index, &got, nullptr)) {
                std::fprintf(stderr, "zelmrelay-answerer: the relay cannot own a path (%lu)\n", ::GetLastError());
                return false;
            }
            if (paths_.size() <= index) paths_.resize(index + 1);
            paths_[index] = Path{link, open_as, true};
            if (log_)
                std::fprintf(stderr, "relay: device %lu is %ls\n", index,
                             reinterpret_cast<const wchar_t*>(open_as.c_str()));
        }
        return true;
    }

    // Answers requests in the order the relay hands them (an open before the requests on its
    // file) until the relay refuses to hand more (the driver went away).
    void serve()
    {
        std::vector<uint8_t> request(sizeof(relay_request) + RELAY_MAX_DATA);
        std::vector<uint8_t> answer(sizeof(relay_answer) + RELAY_MAX_DATA);
        for (;;) {
            DWORD got = 0;
            if (!::DeviceIoControl(control_, RELAY_GET, nullptr, 0, request.data(), DWORD(request.size()), &got,
                                   nullptr))
                return;
            relay_request r;
            std::memcpy(&r, request.data(), sizeof r);
            relay_answer a{};
            a.id = r.id;
            uint32_t returned = 0;
            Error e = err::success;
            switch (r.kind) {
            case relay_open: {
                std::u16string path;
                {
                    std::lock_guard<std::mutex> hold(mutex_);
                    if (r.device < paths_.size()) path = paths_[r.device].open_as;
                }
                OpenFile f;
                f.error = path.empty() ? err::file_not_found : devices_.open(path, 0, 0, 0, f.handle);
                e = f.error;
                files_[r.file] = f;
                break;
            }
            case relay_control: {
                const auto f = files_.find(r.file);
                // An open the model refused (the path left the machine before its link went): the
                // program's CreateFileW succeeded under Wine, its requests fail as the open did.
                if (f == files_.end()) e = err::invalid_handle;
                else if (f->second.error) e = f->second.error;
                else
                    e = devices_.control(f->second.handle, r.code, request.data() + sizeof r, r.input_size,
                                         answer.data() + sizeof a, r.output_size, returned);
                if (e == err::success || e == err::more_data) a.size = returned;
                break;
            }
            case relay_close:
                if (const auto f = files_.find(r.file); f != files_.end()) {
                    if (!f->second.error) devices_.close(f->second.handle);
                    files_.erase(f);
                }
                break;
            default:
                e = err::invalid_function;
            }
            a.status = status_of(e);
            if (log_)
                std::fprintf(stderr, "relay: kind %u device %u file %llu code %#x in %u out %u -> error %lu, %u bytes\n",
                             r.kind, r.device, r.file, r.code, r.input_size, r.output_size,
                             static_cast<unsigned long>(e), a.size);
            // A volume ejected by this request no longer opens once the caller has the answer.
            own_paths();
            std::memcpy(answer.data(), &a, sizeof a);
            ::DeviceIoControl(control_, RELAY_PUT, answer.data(), DWORD(sizeof a + a.size), nullptr, 0, &got, nullptr);
        }
    }

private:
    bool set_link(size_t index, bool present)
    {
        relay_link l{unsigned(index), present ? 1u : 0u};
        DWORD got = 0;
        const bool ok = ::DeviceIoControl(links_, RELAY_LINK, &l, sizeof l, nullptr, 0, &got, nullptr);
        if (log_) std::fprintf(stderr, "relay: device %zu %s (%d)\n", index, present ? "linked" : "unlinked", ok);
        return ok;
    }
    static std::u16string to_u16(const std::string& s) { return std::u16string(s.begin(), s.end()); }
    static std::u16string lower(std::u16string s)
    {
        for (char16_t& c : s)
            if (c >= u'A' && c <= u'Z') c = char16_t(c - u'A' + u'a');
        return s;
    }

    HANDLE control_;
    HANDLE links_;
    // ZELMUSB_RELAY_LOG=1: every request and its answer on the standard error.
    const bool log_ = [] {
        const char* v = std::getenv("ZELMUSB_RELAY_LOG");
        return v && std::string(v) == "1";
    }();
    platform::model::Engine engine_;
    platform::model::ModelDevices devices_;
    std::mutex mutex_;
    std::shared_ptr<const platform::model::Machine> seen_; // the version the links follow
    std::vector<Path> paths_;
    std::map<unsigned long long, OpenFile> files_;
};

// Copies what the machine's programs write to the debugger output (their trace) into `path`, one
// line as written, as a debug-output reader does: under the writers' mutex a writer waits for
// DBWIN_BUFFER_READY, puts its process identifier and text into DBWIN_BUFFER and sets
// DBWIN_DATA_READY. Runs for the life of the process.
void read_debug_output(const std::wstring& path)
{
    const HANDLE buffer_ready = ::CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY");
    const HANDLE data_ready = ::CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY");
    const HANDLE mapping = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, L"DBWIN_BUFFER");
    const char* view = mapping ? static_cast<const char*>(::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0)) : nullptr;
    const HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      CREATE_ALWAYS, 0, nullptr);
    if (!buffer_ready || !data_ready || !view || file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "zelmrelay-answerer: the debug output cannot be read\n");
        return;
    }
    std::thread([=] {
        ::SetEvent(buffer_ready);
        while (::WaitForSingleObject(data_ready, INFINITE) == WAIT_OBJECT_0) {
            const char* line = view + sizeof(DWORD);
            DWORD written = 0;
            ::WriteFile(file, line, DWORD(::strnlen(line, 4096 - sizeof(DWORD))), &written, nullptr);
            ::SetEvent(buffer_ready);
        }
    }).detach();
}

// Installs and starts the relay driver's service (a left-over one is replaced); false on failure.
bool start_relay(const std::wstring& image)
{
    SC_HANDLE scm = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!scm) return false;
    if (SC_HANDLE old = ::OpenServiceW(scm, L"zelmrelay", SERVICE_ALL_ACCESS)) {
        SERVICE_STATUS st;
        ::ControlService(old, SERVICE_CONTROL_STOP, &st);
        ::DeleteService(old);
        ::CloseServiceHandle(old);
    }
    SC_HANDLE svc = ::CreateServiceW(scm, L"zelmrelay", L"zelmrelay", SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                     SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image.c_str(), nullptr, nullptr,
                                     nullptr, nullptr, nullptr);
    if (!svc) {
        std::fprintf(stderr, "zelmrelay-answerer: CreateServiceW: %lu\n", ::GetLastError());
        ::CloseServiceHandle(scm);
        return false;
    }
    const bool started = ::StartServiceW(svc, 0, nullptr) || ::GetLastError() == ERROR_SERVICE_ALREADY_RUNNING;
    if (!started) std::fprintf(stderr, "zelmrelay-answerer: StartServiceW: %lu\n", ::GetLastError());
    ::CloseServiceHandle(svc);
    ::CloseServiceHandle(scm);
    return started;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: zelmrelay-answerer <relay.sys> <machine.json> <ready file> [<trace file>]\n");
        return 2;
    }
    if (argc == 5) read_debug_output(argv[4]);
    if (!start_relay(argv[1])) return 1;
    const auto open_control = [] {
        return ::CreateFileW(L"\\\\.\\ZelmRelay", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
    };
    const HANDLE control = open_control();
    const HANDLE links = open_control();
    if (control == INVALID_HANDLE_VALUE || links == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "zelmrelay-answerer: the relay's control device: %lu\n", ::GetLastError());
        return 1;
    }
    Answerer answerer(control, links, argv[2]);
    if (!answerer.own_paths()) return 1;
    // A change of the machine file made by someone else (a test unplugging a device) is followed
    // within a tenth of a second.
    std::thread([&] {
        for (;;) {
            ::Sleep(100);
            answerer.own_paths();
        }
    }).detach();
    const HANDLE ready = ::CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (ready != INVALID_HANDLE_VALUE) ::CloseHandle(ready);
    answerer.serve();
    return 0;
}
