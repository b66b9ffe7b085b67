// The answer to the driver's question about a newly plugged device.
#pragma once

#include <cstdint>
#include <string>

// Names of the global mutexes of the capture hand-over.
inline constexpr const char16_t* capture_mutex = u"ZELMUSB_PROCESS_093021398320912801";
inline constexpr const char16_t* cleanup_mutex = u"USBDEVICE_8973987198127912871329";

// How long the driver waits for a verdict; the question to the user is bounded by it.
inline constexpr uint32_t driver_verdict_time_ms = 120000;

// 1 allow, 0 block. `document` may be null (the verdict is then the "action" default).
int zelmusb_decision(const std::u16string* document);

// The driver takes a verdict only while the device waits; after its time-out it applies its own
// default (admit) and a late verdict changes nothing. A report or a blocked notice written before
// the verdict went over could then say "blocked" of a device that was let in. So the user-test
// channel holds them back: between hold_decision_outcomes(true) and (false) on a thread, the
// decisions of that thread keep their report and notice until settle_decision_outcome says which
// verdict the driver applied, and then report that one. Without holding, a decision reports at
// once.
void hold_decision_outcomes(bool hold);
void settle_decision_outcome(bool admitted);

// Asks `message` of the process named `process_name` on `channel` from a notification thread,
// ignoring the answer.
void notify_process_async(const std::u16string& process_name, const std::u16string& message,
                          const std::u16string& channel);
// Thread procedure: deletes the captured device's file ten seconds after a capture.
uint32_t remove_new_device_file(void*);
