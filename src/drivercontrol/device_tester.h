// The user-test channel: a worker that registers a manual-reset event with the driver, waits for
// the driver to signal pending requests, fetches each request's JSON text, hands it to the host's
// callback on the worker thread and sends the verdict back.
//
// One signal may stand for several requests (the event is manual-reset and set again while the
// worker is busy), so after clearing the event the worker drains: size, fetch, decide, answer,
// until the driver says there is nothing pending (noData) or a call fails. A fetch that finds its
// request expired (noData on the fetch) moves on to the next one. The stop event is looked at
// between requests, never in the middle of one.
//
// A driver stopped or restarted under the worker does not end the channel: every `probe_ms`
// without a signal the worker asks the driver whether anything is pending (serving what is), and
// when the driver does not answer it opens the device anew and registers again, on each pass
// until that succeeds. So a driver started again while the program runs has the user test back
// within `probe_ms` of its start, instead of admitting devices as if nobody asked.
//
// The driver's sizes are not believed blindly: a buffer outside [header + one code unit, 1 MiB]
// is refused, and the text is taken only from the bytes the driver returned.
//
// Codes: Start gives 1552 while a worker runs, the open/event/thread errors, or the driver's
// registration error (the worker is then ended through the stop event, never killed, and every
// handle closed); on success the library's last error is 0. Stop gives 566 without a worker, the
// driver's error for the off command (everything kept), or 258 when the worker does not end
// within `join_passes` sleeps of `join_step_ms` (everything kept: the worker may be inside the
// host's callback, which can wait for the user). The worker owns, jointly with the tester, what
// it uses, so a tester destroyed while its worker still runs frees nothing under it.
#pragma once

#include <atomic>
#include <memory>
#include <cstdint>
#include <string>
#include <thread>

#include "platform/errors.h"

namespace ZelmUsbVardoManager {

// Nonzero admits the device, 0 refuses it. Called on the worker thread with the request's
// NUL-terminated UTF-16 JSON text.
using UserTestCallback = uint8_t (*)(const char16_t* json, void* context);

// Told on the worker thread, right after each verdict went to the driver, what became of it: the
// verdict given (the callback's result) and the driver's answer to it, 0 when the driver applied
// it, otherwise its error (1235 when the request had already met the driver's time-out and
// default). A request the callback gave no verdict for (it threw) is not told.
using UserTestOutcome = void (*)(uint8_t verdict, uint32_t result, void* context);

class DeviceTester {
public:
    // Stop waits for the worker in steps of this many milliseconds, at most this many steps
    // (5 s: the host's whole stop must fit its 30 s watchdog while a question to the user is open).
    static constexpr uint32_t join_step_ms = 10;
    static constexpr uint32_t join_passes = 500;
    // The worker looks at the driver this often while no signal comes (well within the host's
    // 5-second poll of its stop flag).
    static constexpr uint32_t probe_ms = 1000;

    DeviceTester(const std::u16string& device_name, UserTestCallback testFun,
                 uint64_t WaitTimeIn100nanoSecs, bool defaultAccepted, void* context,
                 UserTestOutcome outcome = nullptr);
    // Stops the worker (ignoring the result). A worker that still does not end is told to stop
    // and left to finish on its own: it owns what it uses (its device handle, events and the
    // callback's arguments), so nothing is freed under it.
    ~DeviceTester();
    DeviceTester(const DeviceTester&) = delete;
    DeviceTester& operator=(const DeviceTester&) = delete;

    uint32_t Start();
    uint32_t Stop();
    // True from a successful Start until a Stop that ended the worker.
    bool Running() const { return channel != nullptr; }

    // What the worker uses, owned jointly by the tester and its worker.
    struct Channel;

private:
    // Registers the request event with the driver (Channel::Register).
    uint32_t Register();
    // Sets the stop event and waits, bounded, for the worker to end. True when it ended.
    bool EndWorker();

    std::u16string device_name;
    UserTestCallback testFun = nullptr;
    UserTestOutcome outcomeFun = nullptr;
    uint64_t WaitTimeIn100nanoSecs = 0;
    void* context = nullptr;
    bool defaultAccepted = true;
    std::shared_ptr<Channel> channel;
    std::thread hThread;
    uint32_t threadId = 0;
};

// The notification counterpart: nothing in this library starts one; Manager only stops and
// deletes one that is present. Its Stop sends IOCTL_NOTIFY_OFF.
class NotifySender {
public:
    NotifySender() = default;
    virtual ~NotifySender();
    NotifySender(const NotifySender&) = delete;
    NotifySender& operator=(const NotifySender&) = delete;

    // 566 when no worker runs (always so here: nothing starts one); otherwise IOCTL_NOTIFY_OFF on
    // its own handle, then its handles closed.
    uint32_t Stop();

protected:
    std::u16string device_name;
    void* reserved1 = nullptr;
    void* reserved2 = nullptr;
    platform::Handle hDriver = platform::null_handle;
    platform::Handle hThread = platform::null_handle;
    uint32_t threadId = 0;
    platform::Handle hStopEvent = platform::null_handle;
    platform::Handle hNotifyEvent = platform::null_handle;
};

} // namespace ZelmUsbVardoManager
