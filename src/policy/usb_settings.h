// The settings record every decision reads and the settings lock. The host's settings loading
// fills them (read_config); the policy only reads them.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

// The "active" setting: read by every decision without the settings lock (a reload must not hold a
// device while protection is off), so it is an atomic; copies of the record copy its value.
class SettingFlag {
public:
    SettingFlag(int32_t v = 0) : v_(v) {}
    SettingFlag(const SettingFlag& o) : v_(o.v_.load()) {}
    SettingFlag& operator=(const SettingFlag& o)
    {
        v_.store(o.v_.load());
        return *this;
    }
    SettingFlag& operator=(int32_t v)
    {
        v_.store(v);
        return *this;
    }
    operator int32_t() const { return v_.load(); }

private:
    std::atomic<int32_t> v_;
};

struct UsbSettings {
    SettingFlag active = 0;
    int32_t action = 1;
    int32_t allow_io = 1;
    int32_t allow_printers = 1;
    int32_t allow_network = 1;
    int32_t report_on_allow = 1;
    int32_t allow_initial = 1;
};
extern UsbSettings g_settings;

// The one re-entrant lock under which the settings and rule lists are replaced and read. It is
// the innermost lock of the process: see app/lock_order.h.
std::recursive_mutex& settings_lock();
