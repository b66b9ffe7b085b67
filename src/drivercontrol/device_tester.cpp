#include "drivercontrol/device_tester.h"

#include <functional>
#include <mutex>
#include <system_error>
#include <vector>

#include "drivercontrol/driver_interface.h"
#include "drivercontrol/last_error.h"
#include "platform/devices.h"
#include "platform/platform.h"
#include "platform/sync.h"

namespace ZelmUsbVardoManager {

struct DeviceTester::Channel {
    UserTestCallback testFun = nullptr;
    UserTestOutcome outcomeFun = nullptr;
    void* context = nullptr;
    std::u16string deviceName;
    uint64_t waitTime = 0;
    bool defaultAccepted = true;
    // Replaced by the worker alone (a driver started again); others use it under `driverLock`.
    std::mutex driverLock;
    platform::Handle hDriver = platform::null_handle;
    platform::Handle hStopEvent = platform::null_handle;
    platform::Handle hRequestEvent = platform::null_handle;
    std::atomic<bool> done{false};

    ~Channel()
    {
        if (hRequestEvent != platform::null_handle) platform::sync().close(hRequestEvent);
        if (hStopEvent != platform::null_handle) platform::sync().close(hStopEvent);
        if (hDriver != platform::null_handle) platform::devices().close(hDriver);
    }

    bool StopRequested() { return platform::sync().wait(hStopEvent, 0) == 0; }

    // Registers the request event with the driver; a stale registration (31) is dropped and the
    // registration made once more.
    uint32_t Register(platform::Handle driver)
    {
        VardEventWaiting waiting;
        waiting.hEvent = hRequestEvent;
        waiting.waitTime = waitTime;
        waiting.zeroWaitTime = waitTime == 0 ? 1 : 0;
        waiting.defaultAccepted = defaultAccepted ? 1 : 0;
        const std::vector<uint8_t> input = waiting.Encode();
        platform::Devices& devices = platform::devices();
        uint32_t returned = 0;
        uint32_t code =
            devices.control(driver, IOCTL_USER_TEST_ON, input.data(), uint32_t(input.size()), nullptr, 0, returned);
        if (code == platform::err::gen_failure) {
            devices.control(driver, IOCTL_USER_TEST_OFF, nullptr, 0, nullptr, 0, returned);
            code = devices.control(driver, IOCTL_USER_TEST_ON, input.data(), uint32_t(input.size()), nullptr, 0,
                                   returned);
        }
        return code;
    }

    // Between signals: a driver that answers no more (stopped, or killed, and maybe started
    // again) is opened anew and the user test registered with it again; until then this is
    // tried on each pass. A driver that answers may hold requests whose signal came while the
    // worker was busy: they are served.
    void Probe(uint64_t& last_expired)
    {
        platform::Devices& devices = platform::devices();
        uint8_t size_bytes[VardJsonSize::size] = {};
        uint32_t returned = 0;
        if (devices.control(hDriver, IOCTL_GET_TEST_JSON_SIZE, nullptr, 0, size_bytes, sizeof size_bytes, returned) ==
            0) {
            while (!StopRequested() && ServeOne(last_expired)) {
            }
            return;
        }
        platform::Handle fresh = platform::null_handle;
        if (devices.open(deviceName, DRIVER_DEVICE_ACCESS, 0, 0, fresh) != 0) return;
        if (Register(fresh) != 0) {
            devices.close(fresh);
            return;
        }
        std::lock_guard lock(driverLock);
        devices.close(hDriver);
        hDriver = fresh;
    }

    // One request: size, fetch, decide, answer. False when the driver has nothing more pending
    // or a call failed: the worker then waits for the next signal.
    bool ServeOne(uint64_t& last_expired)
    {
        platform::Devices& devices = platform::devices();
        uint8_t size_bytes[VardJsonSize::size] = {};
        uint32_t returned = 0;
        if (devices.control(hDriver, IOCTL_GET_TEST_JSON_SIZE, nullptr, 0, size_bytes, sizeof size_bytes,
                            returned) != 0)
            return false;
        VardJsonSize pending;
        if (returned != VardJsonSize::size || !pending.Decode(size_bytes) || pending.noData) return false;
        // A size outside these bounds is the driver's fault; believing it would mean a huge or a
        // short buffer. The request is left to the driver's own time-out and default.
        if (pending.jsonSize < VardJson::min_size || pending.jsonSize > VardJson::max_size) return false;

        std::vector<uint8_t> buffer = VardJson::MakeRequest(pending.requestId, pending.jsonSize);
        returned = 0;
        if (devices.control(hDriver, IOCTL_GET_TEST_JSON, buffer.data(), pending.jsonSize, buffer.data(),
                            pending.jsonSize, returned) != 0)
            return false;
        if (VardJson::NoData(buffer)) {
            // The request expired between the two calls: go on with the next one, unless the
            // driver keeps naming this same one, which would loop for ever.
            if (last_expired == pending.requestId) return false;
            last_expired = pending.requestId;
            return true;
        }
        const std::u16string text = VardJson::Text(buffer, std::min<uint32_t>(returned, pending.jsonSize));
        uint8_t verdict = 0;
        try {
            verdict = testFun(text.c_str(), context);
        } catch (...) {
            // No verdict from a callback that failed: the driver applies its default in time.
            return true;
        }
        VardUserTestResult result;
        result.requestId = pending.requestId;
        result.rejected = verdict == 0 ? 1 : 0;
        const std::vector<uint8_t> answer = result.Encode();
        const platform::Error applied = devices.control(hDriver, IOCTL_SET_TEST_RESULT, answer.data(),
                                                        uint32_t(answer.size()), nullptr, 0, returned);
        if (outcomeFun) outcomeFun(verdict, applied, context);
        return true;
    }

    void Run()
    {
        platform::Sync& sync = platform::sync();
        const std::vector<platform::Handle> handles{hRequestEvent, hStopEvent};
        for (;;) {
            size_t index = 0;
            const platform::Error e = sync.wait_any(handles, probe_ms, index);
            if (e == platform::err::wait_timeout) {
                uint64_t last_expired = ~uint64_t(0);
                Probe(last_expired);
                continue;
            }
            if (e != 0 || index != 0) break;
            sync.reset_event(hRequestEvent);
            // One signal may stand for several requests: drain until the driver has none left.
            uint64_t last_expired = ~uint64_t(0);
            bool stop = false;
            while (!(stop = StopRequested()) && ServeOne(last_expired)) {
            }
            if (stop) break;
        }
        done = true;
    }
};

DeviceTester::DeviceTester(const std::u16string& device, UserTestCallback fun, uint64_t wait, bool accepted,
                           void* ctx, UserTestOutcome outcome)
    : device_name(device), testFun(fun), outcomeFun(outcome), WaitTimeIn100nanoSecs(wait), context(ctx),
      defaultAccepted(accepted)
{
}

DeviceTester::~DeviceTester()
{
    Stop();
    if (hThread.joinable()) {
        // Stop gave up (the driver refused the off command, or the worker is still inside a
        // request): tell the worker to end and let it finish with what it owns.
        if (channel) platform::sync().set_event(channel->hStopEvent);
        hThread.detach();
    }
}

uint32_t DeviceTester::Register()
{
    return channel->Register(channel->hDriver);
}

bool DeviceTester::EndWorker()
{
    platform::sync().set_event(channel->hStopEvent);
    for (uint32_t pass = 0; !channel->done; ++pass) {
        if (pass == join_passes) return false;
        platform::sync().sleep(join_step_ms);
    }
    hThread.join();
    threadId = 0;
    return true;
}

uint32_t DeviceTester::Start()
{
    if (channel) return platform::err::thread_already_in_task;
    auto opened = std::make_shared<Channel>();
    opened->testFun = testFun;
    opened->outcomeFun = outcomeFun;
    opened->context = context;
    opened->deviceName = device_name;
    opened->waitTime = WaitTimeIn100nanoSecs;
    opened->defaultAccepted = defaultAccepted;
    if (const platform::Error e =
            platform::devices().open(device_name, DRIVER_DEVICE_ACCESS, 0 /* no sharing */, 0, opened->hDriver)) {
        opened->hDriver = platform::null_handle;
        return e;
    }
    platform::Sync& sync = platform::sync();
    if (const platform::Error e = sync.create_event(true, false, u"", opened->hStopEvent)) {
        opened->hStopEvent = platform::null_handle;
        return e;
    }
    if (const platform::Error e = sync.create_event(true, false, u"", opened->hRequestEvent)) {
        opened->hRequestEvent = platform::null_handle;
        return e;
    }
    try {
        hThread = std::thread([worker = opened] { worker->Run(); });
    } catch (const std::system_error&) {
        return platform::err::not_enough_memory;
    }
    threadId = uint32_t(std::hash<std::thread::id>{}(hThread.get_id()));
    channel = opened;

    if (const uint32_t code = Register()) {
        // The worker is ended through its stop event, never by killing the thread.
        if (EndWorker()) {
            channel.reset();
        } else {
            hThread.detach();
            channel.reset();
            threadId = 0;
        }
        return code;
    }
    SetLastLibraryError(0);
    return 0;
}

uint32_t DeviceTester::Stop()
{
    if (!channel) return platform::err::thread_not_in_process;
    uint32_t returned = 0;
    platform::Error off = 0;
    {
        std::lock_guard lock(channel->driverLock);
        off = platform::devices().control(channel->hDriver, IOCTL_USER_TEST_OFF, nullptr, 0, nullptr, 0, returned);
    }
    if (off) return off;
    if (!EndWorker()) return platform::err::wait_timeout;
    channel.reset();
    return 0;
}

NotifySender::~NotifySender() { Stop(); }

uint32_t NotifySender::Stop()
{
    if (hThread == platform::null_handle) return platform::err::thread_not_in_process;
    uint32_t returned = 0;
    if (const platform::Error e =
            platform::devices().control(hDriver, IOCTL_NOTIFY_OFF, nullptr, 0, nullptr, 0, returned))
        return e;
    platform::sync().set_event(hStopEvent);
    for (platform::Handle* h : {&hNotifyEvent, &hStopEvent}) {
        if (*h != platform::null_handle) platform::sync().close(*h);
        *h = platform::null_handle;
    }
    platform::devices().close(hDriver);
    hDriver = platform::null_handle;
    hThread = platform::null_handle;
    threadId = 0;
    return 0;
}

} // namespace ZelmUsbVardoManager
