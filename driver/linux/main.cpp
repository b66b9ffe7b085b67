// The USB filter driver on Linux, installed as zelmusb.sys: the emulated machine's driver, and on a
// running machine (no machine.json) the holder of its real USB devices (udev_holder.h).
//
// Started by the service manager as a daemon: it reads its service key's values and its
// configuration file, serves the control device \\.\ZelmUsb on its socket, tells the service
// manager it is ready through ZELMUSB_READY_FD, and on SIGTERM stops serving, removes its socket
// and exits 0 (its unload).
//
// Each open handle is one connection with a thread of its own; the behaviour is the shared core
// (driver/core), called under one mutex that is held only for the core's call, which never
// waits. So a client that stops reading, or dies, holds up nobody else: its thread alone waits,
// and only for the bounded time of one frame. The end of a connection is the cleanup of its
// handle. A timer thread applies the default verdicts when wait times pass.
//
// The device is root's and the driver's own user's (control_device.h): a connection of any other
// user is ended at once. Resources stay bounded whatever the clients do: at most max_handles
// connections, fewer when the open-file limit leaves less room (the oldest idle one is let go to
// make room for a new one, never the one that registered the user test; with none idle the new
// one is refused), buffers that grow only with the bytes that arrive, and, should the process run
// out of descriptors all the same, the oldest idle connection let go or else the listener left
// alone for a while, so that the accept loop never spins.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <dirent.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "../core/driver_core.h"
#include "udev_holder.h"
#include "platform/files.h"
#include "platform/le_fields.h"
#include "platform/platform.h"
#include "platform/posix/control_device.h"
#include "platform/registry.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "text/text.h"

namespace {

namespace cd = platform::posix::control_device;

constexpr char16_t device_name[] = u"ZelmUsb";
constexpr uint32_t config_max_bytes = 256 * 1024;
// A frame's body, once its header has come, must follow within this.
constexpr int frame_timeout_ms = 10 * 1000;
// Open handles at once; the program holds two, usbsim one per run.
constexpr size_t max_handles = 64;
// Descriptors kept out of the handles' share of the open-file limit, beyond those open at the
// start: the configuration and registry files, the registered event, handles being let go.
constexpr rlim_t reserved_descriptors = 16;
// How long the listener rests when no descriptor is left and no idle handle can be let go
// (doubling up to the longer bound while that lasts).
constexpr int rest_first_ms = 50;
constexpr int rest_longest_ms = 1000;
// A buffer larger than this is given back after its request.
constexpr size_t kept_buffer_bytes = 64 * 1024;

int stop_pipe[2] = {-1, -1};

void on_sigterm(int)
{
    const char b = 1;
    [[maybe_unused]] ssize_t n = ::write(stop_pipe[1], &b, 1);
}

zd_u64 now_100ns()
{
    using namespace std::chrono;
    return static_cast<zd_u64>(duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count() / 100);
}

// Through the debugger output, so that the daemon's trace reaches $ZELMUSB_TRACE_FILE (or the
// service's journal) as every process's does, in the program's form, CR LF included, with the
// driver's name in place of a function and no source line: readers of a shared trace file take
// every line the same way.
void trace(const std::string& line)
{
    platform::system().debug_output(
        text::format(u"[ODS][%.8x]  zelmusb.sys:0 -> %s\r\n", uint32_t(::gettid()), text::from_utf8(line)));
}

struct Call {
    pid_t pid;
};

// --- services the core asks for -------------------------------------------------------------

void* core_alloc(void*, zd_size bytes) { return std::malloc(bytes); }
void core_release(void*, void* block) { std::free(block); }

zd_u32 core_open_event(void*, void* call, zd_u64 value, zd_uptr* token)
{
    const auto* c = static_cast<const Call*>(call);
    platform::Handle h = platform::null_handle;
    if (c->pid <= 0) return platform::err::invalid_parameter;
    const platform::Error e = platform::sync().open_event_of(static_cast<uint32_t>(c->pid), value, h);
    if (e) return e;
    *token = static_cast<zd_uptr>(h);
    return 0;
}

void core_set_event(void*, zd_uptr token) { platform::sync().set_event(token); }
void core_close_event(void*, zd_uptr token) { platform::sync().close(token); }

// --- the driver --------------------------------------------------------------------------------

class Driver {
public:
    Driver()
    {
        zd_ops ops{};
        ops.alloc = core_alloc;
        ops.release = core_release;
        ops.open_event = core_open_event;
        ops.set_event = core_set_event;
        ops.close_event = core_close_event;
        zd_init(core_.get(), &ops);
    }

    void configure(const std::vector<char16_t>& text)
    {
        std::lock_guard lock(m_);
        zd_apply_config(core_.get(), reinterpret_cast<const zd_u16*>(text.data()), text.size());
    }

    zd_u32 control(zd_uptr caller, pid_t pid, uint32_t code, const std::vector<uint8_t>& in,
                   std::vector<uint8_t>& out, zd_u32& returned)
    {
        Call call{pid};
        zd_u32 e;
        if (code == ZD_IOCTL_DEVICES || code == ZD_IOCTL_ADMIT) return administer(caller, code, in, out, returned);
        {
            std::lock_guard lock(m_);
            e = zd_control(core_.get(), caller, &call, now_100ns(), code, in.data(),
                           static_cast<zd_u32>(in.size()), out.data(), static_cast<zd_u32>(out.size()), &returned);
        }
        timer_cv_.notify_one();
        // The devices of the running machine that waited for a user test are asked now.
        if (code == ZD_IOCTL_USER_TEST_ON && e == 0 && holder_) {
            trace("the user test is registered by process " + std::to_string(pid) + "; held devices are asked now");
            holder_->registered();
        }
        return e;
    }

    // The administrator's questions (driver_interface.h): the holder's devices, and a verdict now.
    zd_u32 administer(zd_uptr caller, uint32_t code, const std::vector<uint8_t>& in, std::vector<uint8_t>& out,
                      zd_u32& returned)
    {
        returned = 0;
        if (code == ZD_IOCTL_DEVICES) {
            if (!in.empty()) return platform::err::invalid_parameter;
            if (out.size() < ZD_DEVICES_HEADER_SIZE) return platform::err::insufficient_buffer;
            uint32_t hubs = 0;
            const std::vector<linux_driver::UdevHolder::Seen> seen =
                holder_ ? holder_->seen(hubs) : std::vector<linux_driver::UdevHolder::Seen>{};
            std::fill(out.begin(), out.end(), 0);
            platform::le::put_u32(out.data() + ZD_DH_MAGIC, ZD_DEVICES_MAGIC);
            out[ZD_DH_HOLDING] = holder_ ? 1 : 0;
            platform::le::put_u32(out.data() + ZD_DH_HUBS_HELD, hubs);
            platform::le::put_u32(out.data() + ZD_DH_COUNT, uint32_t(seen.size()));
            size_t at = ZD_DEVICES_HEADER_SIZE;
            for (const linux_driver::UdevHolder::Seen& d : seen) {
                if (at + ZD_DEVICE_ENTRY_SIZE > out.size()) break;
                std::memcpy(out.data() + at + ZD_DE_NAME, d.name.data(),
                            std::min<size_t>(d.name.size(), ZD_DEVICE_NAME_MAX));
                out[at + ZD_DE_AUTHORIZED] = d.authorized < 0 ? 0xFF : uint8_t(d.authorized);
                out[at + ZD_DE_HELD] = d.held;
                out[at + ZD_DE_DECIDED] = d.decided;
                platform::le::put(out.data() + at + ZD_DE_REQUEST_ID, 8, d.id);
                at += ZD_DEVICE_ENTRY_SIZE;
            }
            returned = zd_u32(at);
            return 0;
        }
        if (!holder_) return platform::err::invalid_function;
        if (in.size() < 2) return platform::err::invalid_parameter;
        const bool allowed = in[0] != 0;
        uint64_t asked = 0;
        const zd_u32 e = holder_->admit(std::string(in.begin() + 1, in.end()), allowed, asked);
        if (e || !asked) return e;
        // The driver's record of the question says the same as the device: answered now.
        std::vector<uint8_t> result(ZD_TEST_RESULT_SIZE, 0);
        platform::le::put(result.data() + ZD_TR_REQUEST_ID, 8, asked);
        result[ZD_TR_REJECTED] = allowed ? 0 : 1;
        std::vector<uint8_t> none;
        zd_u32 unused = 0;
        control(caller, 0, ZD_IOCTL_SET_TEST_RESULT, result, none, unused);
        return 0;
    }

    // Whether the user test was registered through this handle.
    bool registered_through(zd_uptr caller)
    {
        std::lock_guard lock(m_);
        return core_->registered && core_->owner == caller;
    }

    // A device of the running machine arrives (udev_holder.h): raised as usbsim raises one.
    uint32_t raise(const devicedoc::Arrival& arrival, uint64_t& id)
    {
        std::vector<uint8_t> input(ZD_RAISE_HEADER_SIZE + arrival.document.size() * 2, 0);
        input[ZD_RH_HUB] = arrival.hub ? 1 : 0;
        // A real device is never admitted without a question: with no user test registered it
        // waits in the holder until one is.
        input[ZD_RH_FLAGS] = ZD_RAISE_HOLD_UNREGISTERED;
        for (const auto& [at, v] : {std::pair{ZD_RH_VID, arrival.vid}, {ZD_RH_PID, arrival.pid}, {ZD_RH_REV, arrival.rev}}) {
            input[at] = uint8_t(v);
            input[at + 1] = uint8_t(v >> 8);
        }
        for (size_t i = 0; i < arrival.document.size(); ++i) {
            input[ZD_RAISE_HEADER_SIZE + 2 * i] = uint8_t(arrival.document[i]);
            input[ZD_RAISE_HEADER_SIZE + 2 * i + 1] = uint8_t(arrival.document[i] >> 8);
        }
        std::vector<uint8_t> output(8);
        zd_u32 returned = 0;
        const zd_u32 e = control(0, 0, ZD_IOCTL_TEST_RAISE, input, output, returned);
        id = 0;
        for (int i = 7; i >= 0; --i) id = id << 8 | output[size_t(i)];
        return e;
    }

    // Whether the configuration file has the filter on.
    bool filter()
    {
        std::lock_guard lock(m_);
        return core_->filter != 0;
    }

    void on_decided(linux_driver::UdevHolder& holder)
    {
        std::lock_guard lock(m_);
        holder_ = &holder;
        zd_set_decided_hook(
            core_.get(), [](void* ctx, zd_u64 id, zd_u8 allowed) { static_cast<linux_driver::UdevHolder*>(ctx)->decided(id, allowed); },
            &holder);
    }

    void cleanup(zd_uptr caller)
    {
        {
            std::lock_guard lock(m_);
            zd_cleanup(core_.get(), caller, now_100ns());
        }
        timer_cv_.notify_one();
    }

    // The default verdicts on time, until stop().
    void run_timer()
    {
        std::unique_lock lock(m_);
        while (!stopping_) {
            const zd_u64 now = now_100ns();
            const zd_u64 next = zd_expire(core_.get(), now);
            if (next == ZD_NEVER)
                timer_cv_.wait(lock);
            else
                timer_cv_.wait_for(lock, std::chrono::microseconds((next - now + 9) / 10));
        }
    }

    void stop()
    {
        {
            std::lock_guard lock(m_);
            stopping_ = true;
            zd_shutdown(core_.get(), now_100ns());
        }
        timer_cv_.notify_one();
    }

private:
    std::mutex m_;
    std::condition_variable timer_cv_;
    bool stopping_ = false;
    linux_driver::UdevHolder* holder_ = nullptr; // set before any handle is served
    std::unique_ptr<zd_core> core_ = std::make_unique<zd_core>();
};

// --- one handle ----------------------------------------------------------------------------------

using Clock = std::chrono::steady_clock;

struct Client {
    int fd = -1;
    zd_uptr caller = 0; // unique while the connection lives
    pid_t pid = 0;
    std::thread thread;
    std::atomic<bool> done{false};
    std::atomic<bool> busy{false}; // inside a request
    std::atomic<Clock::rep> idle_since{0};
    bool let_go = false;
};

// Waits for the next request header without a time limit (a handle may stay idle as long as its
// owner likes) but wakes for the stop pipe.
bool wait_readable(int fd)
{
    for (;;) {
        pollfd p[2] = {{fd, POLLIN, 0}, {stop_pipe[0], POLLIN, 0}};
        const int n = ::poll(p, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || (p[1].revents & POLLIN)) return false;
        if (p[0].revents) return true;
    }
}

void give_back_if_large(std::vector<uint8_t>& buffer)
{
    if (buffer.capacity() > kept_buffer_bytes) std::vector<uint8_t>().swap(buffer);
}

// Answers the requests of one handle until it ends.
void serve_requests(Driver& driver, Client& client)
{
    const int fd = client.fd;
    std::vector<uint8_t> input, output;
    while (wait_readable(fd)) {
        client.busy = true;
        cd::Request request;
        if (cd::receive_request(fd, request, input, frame_timeout_ms)) return; // end, garbage, too big
        // No code writes more than ZD_MAX_OUTPUT_BYTES, so a larger announced output is never
        // allocated whole; the core sees a buffer as large as any answer can be.
        output.assign(std::min<uint32_t>(request.output_size, ZD_MAX_OUTPUT_BYTES), 0);
        zd_u32 returned = 0;
        const zd_u32 e = driver.control(client.caller, client.pid, request.code, input, output, returned);
        cd::Answer answer{e, std::min<zd_u32>(returned, static_cast<zd_u32>(output.size()))};
        if (cd::send_answer(fd, answer, output.data(), frame_timeout_ms)) return;
        give_back_if_large(input);
        give_back_if_large(output);
        client.idle_since = Clock::now().time_since_epoch().count();
        client.busy = false;
    }
}

void serve(Driver& driver, Client& client)
{
    // Memory can run short (an address-space limit, many large frames at once): that handle
    // ends, the driver goes on.
    try {
        serve_requests(driver, client);
    } catch (const std::bad_alloc&) {
        trace("no memory for a request of process " + std::to_string(client.pid) + "; its handle is closed");
    }
    driver.cleanup(client.caller);
    ::shutdown(client.fd, SHUT_RDWR);
    client.done = true;
}

// Ends the connection that has been idle longest, unless it registered the user test; false when
// there is none to let go.
bool let_go_oldest_idle(std::list<Client>& clients, Driver& driver, const std::string& why, bool quiet)
{
    Client* oldest = nullptr;
    for (Client& c : clients) {
        if (c.done || c.let_go || c.busy || driver.registered_through(c.caller)) continue;
        if (!oldest || c.idle_since < oldest->idle_since) oldest = &c;
    }
    if (!oldest) return false;
    if (!quiet) trace("let go of the idle handle of process " + std::to_string(oldest->pid) + ": " + why);
    oldest->let_go = true;
    ::shutdown(oldest->fd, SHUT_RDWR);
    return true;
}

// How many handles may be open at once under the open-file limit, beside the descriptors open now.
size_t handle_capacity()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return max_handles;
    rlim_t open_now = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (const dirent* e = ::readdir(d)) open_now += e->d_name[0] != '.';
        ::closedir(d);
    }
    const rlim_t kept = open_now + reserved_descriptors;
    if (limit.rlim_cur <= kept + 1) return 1;
    return std::min<size_t>(max_handles, limit.rlim_cur - kept);
}

// --- start ---------------------------------------------------------------------------------------

bool read_sz(platform::Handle key, const std::u16string& name, std::u16string& value)
{
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (platform::registry().query_value(key, name, type, data) || type != platform::reg_type::sz) return false;
    value.clear();
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        const char16_t ch = char16_t(data[i] | data[i + 1] << 8);
        if (!ch) break;
        value.push_back(ch);
    }
    return true;
}

void read_configuration(Driver& driver, const std::u16string& service)
{
    platform::Handle key = platform::null_handle;
    const std::u16string path = u"System\\CurrentControlSet\\services\\" + service;
    if (platform::registry().open_key(path, platform::key_access::read, key)) {
        trace("no service key; running with the default options");
        return;
    }
    std::u16string config, admittances;
    read_sz(key, u"ConfigFilePath", config);
    read_sz(key, u"AdmittancesFolderPath", admittances);
    platform::registry().close_key(key);
    trace("ConfigFilePath=" + text::to_utf8(config) + " AdmittancesFolderPath=" + text::to_utf8(admittances));
    if (config.empty()) return;

    platform::Handle file = platform::null_handle;
    if (platform::files().open(config, 0x80000000u /* GENERIC_READ */, 1 | 2, 3 /* OPEN_EXISTING */, 0, file)) {
        trace("configuration file not readable; running with the default options");
        return;
    }
    std::vector<uint8_t> bytes(config_max_bytes);
    uint32_t got = 0;
    platform::files().read(file, bytes.data(), config_max_bytes, got);
    platform::files().close(file);
    std::vector<char16_t> text(got / 2);
    for (size_t i = 0; i < text.size(); ++i) text[i] = char16_t(bytes[2 * i] | bytes[2 * i + 1] << 8);
    driver.configure(text);
}

// A start that cannot serve the device: traced, and its Windows code handed to the service
// manager through the ready pipe (a zero byte, then the code, little-endian), which StartService
// then returns.
int fail_start(uint32_t code, const std::string& why)
{
    trace("cannot serve \\\\.\\" + text::to_utf8(device_name) + ": " + why + " (error " + std::to_string(code) + ")");
    if (const char* ready = std::getenv("ZELMUSB_READY_FD")) {
        const int fd = std::atoi(ready);
        uint8_t report[5] = {0};
        platform::le::put_u32(report + 1, code);
        [[maybe_unused]] ssize_t n = ::write(fd, report, sizeof report);
        ::close(fd);
    }
    return 1;
}

} // namespace

int main()
{
    if (::pipe2(stop_pipe, O_CLOEXEC) != 0) return 1;
    struct sigaction sa {};
    sa.sa_handler = on_sigterm;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    const char* service_env = std::getenv("ZELMUSB_SERVICE_NAME");
    const std::u16string service = text::from_utf8(service_env ? service_env : "ZelmUsb");
    Driver driver;
    read_configuration(driver, service);

    std::string path, why;
    int listener = -1;
    if (const platform::Error e = cd::listen_device(device_name, 64, listener, path, why)) return fail_start(e, why);
    std::thread timer([&] { driver.run_timer(); });

    // On a running machine the real devices are held too, before the driver says it is ready.
    linux_driver::UdevHolder holder([&](const devicedoc::Arrival& a, uint64_t& id) { return driver.raise(a, id); }, trace);
    const bool holding = linux_driver::UdevHolder::real_machine() && driver.filter();
    if (holding) {
        driver.on_decided(holder);
        if (!holder.start()) {
            ::close(listener);
            ::unlink(path.c_str());
            driver.stop();
            timer.join();
            // The service manager reports the start as failed with the device's general failure.
            return fail_start(platform::err::gen_failure, "the USB devices of this machine cannot be held");
        }
    }

    if (const char* ready = std::getenv("ZELMUSB_READY_FD")) {
        const int fd = std::atoi(ready);
        const char b = 1;
        [[maybe_unused]] ssize_t n = ::write(fd, &b, 1);
        ::close(fd);
    }

    std::list<Client> clients;
    const size_t capacity = handle_capacity();
    int rest_ms = 0;
    Clock::time_point rest_until{};
    bool crowded = false; // traced once per spell of too many handles, not once per handle
    Clock::time_point refusal_traced{};
    unsigned refused = 0;
    for (;;) {
        const auto now = Clock::now();
        const bool resting = now < rest_until;
        const int timeout =
            resting ? int(std::chrono::ceil<std::chrono::milliseconds>(rest_until - now).count()) : 1000;
        pollfd p[2] = {{resting ? -1 : listener, POLLIN, 0}, {stop_pipe[0], POLLIN, 0}};
        const int n = ::poll(p, 2, timeout);
        if (n < 0 && errno != EINTR) break;
        if (p[1].revents & POLLIN) break;
        // Finished connections are joined as we go, so their number stays that of live handles.
        for (auto it = clients.begin(); it != clients.end();) {
            if (it->done) {
                it->thread.join();
                ::close(it->fd);
                it = clients.erase(it);
            } else {
                ++it;
            }
        }
        if (n <= 0 || !(p[0].revents & POLLIN)) continue;
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            const int e = errno;
            if (e != EMFILE && e != ENFILE && e != ENOBUFS && e != ENOMEM) continue;
            // Out of descriptors: make room by letting the oldest idle handle go (its descriptor
            // is free once its thread has ended, a moment later), else leave the waiting
            // connections queued and rest, rather than hear of them again at once for ever.
            if (let_go_oldest_idle(clients, driver, "no descriptor left for a new handle", false)) {
                rest_ms = 0;
                rest_until = Clock::now() + std::chrono::milliseconds(5);
            } else {
                if (rest_ms == 0) trace("no descriptor left for a new handle and none idle; new handles wait");
                rest_ms = rest_ms ? std::min(rest_ms * 2, rest_longest_ms) : rest_first_ms;
                rest_until = Clock::now() + std::chrono::milliseconds(rest_ms);
            }
            continue;
        }
        rest_ms = 0;
        uid_t uid = 0;
        if (!cd::peer_trusted(fd, uid)) {
            // At most one line a second, so that a loop of refused attempts cannot fill the trace.
            ++refused;
            if (Clock::now() - refusal_traced >= std::chrono::seconds(1)) {
                trace("refused a handle of user " + std::to_string(uid) + " (process " +
                      std::to_string(cd::peer_pid(fd)) + "): the device is root's and the driver's own" +
                      (refused > 1 ? " (" + std::to_string(refused) + " refused since the last line)" : ""));
                refusal_traced = Clock::now();
                refused = 0;
            }
            ::close(fd);
            continue;
        }
        // Those being let go free their descriptors in a moment; the reserve covers them till then.
        const size_t live = size_t(std::count_if(clients.begin(), clients.end(),
                                                 [](const Client& c) { return !c.done && !c.let_go; }));
        if (live >= capacity) {
            const std::string why = std::to_string(capacity) + " handles are open";
            if (!let_go_oldest_idle(clients, driver, why, crowded)) {
                if (!crowded) trace("refused a new handle: " + why + " and none is idle");
                crowded = true;
                ::close(fd);
                continue;
            }
            crowded = true;
        } else {
            crowded = false;
        }
        Client& c = clients.emplace_back();
        c.fd = fd;
        c.caller = static_cast<zd_uptr>(fd) + 1;
        c.pid = cd::peer_pid(fd);
        c.idle_since = Clock::now().time_since_epoch().count();
        try {
            c.thread = std::thread([&driver, &c] { serve(driver, c); });
        } catch (const std::system_error&) {
            trace("no thread for a new handle; refused");
            clients.pop_back();
            ::close(fd);
        }
    }

    // Unload: no new handles, every connection ends, the registration with it.
    ::close(listener);
    ::unlink(path.c_str());
    for (Client& c : clients) ::shutdown(c.fd, SHUT_RDWR);
    for (Client& c : clients) {
        c.thread.join();
        ::close(c.fd);
    }
    driver.stop();
    timer.join();
    if (holding) holder.stop(true); // the hubs as they were before the first start
    return 0;
}
