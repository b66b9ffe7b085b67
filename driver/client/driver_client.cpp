#include "driver_client.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/devices.h"
#include "platform/le_fields.h"
#include "platform/platform.h"
#include "platform/sync.h"

namespace driver_client {

DriverClient::~DriverClient()
{
    close();
}

platform::Error DriverClient::open(const std::u16string& path)
{
    close();
    return platform::devices().open(path, 0x1F01FF, 0, 0, device_);
}

platform::Error DriverClient::close()
{
    if (device_ == platform::null_handle) return platform::err::success;
    const platform::Error e = platform::devices().close(device_);
    device_ = platform::null_handle;
    return e;
}

platform::Error DriverClient::control(uint32_t code, const std::vector<uint8_t>& input, std::vector<uint8_t>& output)
{
    uint32_t returned = 0;
    const platform::Error e = platform::devices().control(
        device_, code, input.empty() ? nullptr : input.data(), static_cast<uint32_t>(input.size()),
        output.empty() ? nullptr : output.data(), static_cast<uint32_t>(output.size()), returned);
    output.resize(e ? 0 : std::min<size_t>(returned, output.size()));
    return e;
}

platform::Error DriverClient::raise(const RaiseHeader& h, const std::u16string& document, uint64_t& id)
{
    std::vector<uint8_t> in(ZD_RAISE_HEADER_SIZE + document.size() * 2);
    in[ZD_RH_HUB] = h.hub ? 1 : 0;
    platform::le::put(&in[ZD_RH_VID], 2, h.vid);
    platform::le::put(&in[ZD_RH_PID], 2, h.pid);
    platform::le::put(&in[ZD_RH_REV], 2, h.rev);
    for (size_t i = 0; i < document.size(); ++i) platform::le::put(&in[ZD_RAISE_HEADER_SIZE + 2 * i], 2, document[i]);
    std::vector<uint8_t> out(8);
    const platform::Error e = control(ZD_IOCTL_TEST_RAISE, in, out);
    id = !e && out.size() == 8 ? platform::le::get(out.data(), 8) : 0;
    return e;
}

platform::Error DriverClient::verdict(uint64_t id, Verdict& v)
{
    std::vector<uint8_t> in(8), out(ZD_VERDICT_SIZE);
    platform::le::put(in.data(), 8, id);
    const platform::Error e = control(ZD_IOCTL_TEST_VERDICT, in, out);
    if (e) return e;
    if (out.size() < ZD_VERDICT_SIZE) return platform::err::gen_failure;
    v.state = out[ZD_VR_STATE];
    v.allowed = out[ZD_VR_ALLOWED] != 0;
    v.fetched = out[ZD_VR_FETCHED] != 0;
    return e;
}

platform::Error DriverClient::state(DriverState& s)
{
    std::vector<uint8_t> out(ZD_STATE_HEADER_SIZE + ZD_JOURNAL_CAPACITY * ZD_JOURNAL_ENTRY_SIZE);
    const platform::Error e = control(ZD_IOCTL_TEST_STATE, {}, out);
    if (e) return e;
    if (out.size() < ZD_STATE_HEADER_SIZE || platform::le::get(&out[ZD_SH_MAGIC], 4) != ZD_STATE_MAGIC)
        return platform::err::gen_failure;
    const uint8_t* p = out.data();
    s.registered = p[ZD_SH_REGISTERED];
    s.zero_wait = p[ZD_SH_ZERO_WAIT];
    s.default_accept = p[ZD_SH_DEFAULT_ACCEPT];
    s.hubs_accepted = p[ZD_SH_HUBS_ACCEPTED];
    s.wait_time = platform::le::get(p + ZD_SH_WAIT_TIME, 8);
    s.wait_cap_ms = static_cast<uint32_t>(platform::le::get(p + ZD_SH_WAIT_CAP_MS, 4));
    s.files_cache_mode = static_cast<uint32_t>(platform::le::get(p + ZD_SH_FILES_CACHE_MODE, 4));
    s.capture = p[ZD_SH_CAPTURE];
    s.filter = p[ZD_SH_FILTER];
    s.notify_handle = p[ZD_SH_NOTIFY_HANDLE];
    s.config_read = p[ZD_SH_CONFIG_READ];
    s.pending = static_cast<uint32_t>(platform::le::get(p + ZD_SH_PENDING, 4));
    s.journal_total = static_cast<uint32_t>(platform::le::get(p + ZD_SH_JOURNAL_TOTAL, 4));
    s.next_request_id = platform::le::get(p + ZD_SH_NEXT_REQUEST_ID, 8);
    const uint32_t n = static_cast<uint32_t>(platform::le::get(p + ZD_SH_JOURNAL_RETURNED, 4));
    if (out.size() < ZD_STATE_HEADER_SIZE + size_t(n) * ZD_JOURNAL_ENTRY_SIZE) return platform::err::gen_failure;
    s.journal.clear();
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t* e8 = p + ZD_STATE_HEADER_SIZE + size_t(i) * ZD_JOURNAL_ENTRY_SIZE;
        JournalEntry j;
        j.sequence = static_cast<uint32_t>(platform::le::get(e8 + ZD_JE_SEQUENCE, 4));
        j.code = static_cast<uint32_t>(platform::le::get(e8 + ZD_JE_CODE, 4));
        j.result = static_cast<uint32_t>(platform::le::get(e8 + ZD_JE_RESULT, 4));
        j.verdict = e8[ZD_JE_VERDICT];
        j.allowed = e8[ZD_JE_ALLOWED];
        j.request_id = platform::le::get(e8 + ZD_JE_REQUEST_ID, 8);
        s.journal.push_back(j);
    }
    return platform::err::success;
}

platform::Error DriverClient::devices(SeenDevices& s)
{
    // Room for every port of a full bus on several controllers; more devices than fit are counted.
    constexpr size_t room = 1024;
    std::vector<uint8_t> out(ZD_DEVICES_HEADER_SIZE + room * ZD_DEVICE_ENTRY_SIZE);
    const platform::Error e = control(ZD_IOCTL_DEVICES, {}, out);
    if (e) return e;
    if (out.size() < ZD_DEVICES_HEADER_SIZE || platform::le::get(&out[ZD_DH_MAGIC], 4) != ZD_DEVICES_MAGIC)
        return platform::err::gen_failure;
    s.holding = out[ZD_DH_HOLDING] != 0;
    s.hubs_held = static_cast<uint32_t>(platform::le::get(&out[ZD_DH_HUBS_HELD], 4));
    s.devices.clear();
    for (size_t at = ZD_DEVICES_HEADER_SIZE; at + ZD_DEVICE_ENTRY_SIZE <= out.size(); at += ZD_DEVICE_ENTRY_SIZE) {
        const uint8_t* p = out.data() + at;
        SeenDevice d;
        const auto* name = reinterpret_cast<const char*>(p + ZD_DE_NAME);
        d.name.assign(name, strnlen(name, ZD_DEVICE_NAME_MAX + 1));
        d.authorized = p[ZD_DE_AUTHORIZED] == 0xFF ? -1 : p[ZD_DE_AUTHORIZED];
        d.held = p[ZD_DE_HELD];
        d.decided = p[ZD_DE_DECIDED];
        d.request_id = platform::le::get(p + ZD_DE_REQUEST_ID, 8);
        s.devices.push_back(std::move(d));
    }
    return platform::err::success;
}

platform::Error DriverClient::admit(const std::string& name, bool allowed)
{
    std::vector<uint8_t> in(1, allowed ? 1 : 0);
    in.insert(in.end(), name.begin(), name.end());
    std::vector<uint8_t> none;
    return control(ZD_IOCTL_ADMIT, in, none);
}

platform::Error DriverClient::cap_wait(uint32_t ms)
{
    std::vector<uint8_t> in(4), out;
    platform::le::put(in.data(), 4, ms);
    return control(ZD_IOCTL_TEST_CAP_WAIT, in, out);
}

platform::Error DriverClient::verdict_bound(uint32_t& ms)
{
    DriverState state;
    if (const platform::Error e = this->state(state)) return e;
    uint64_t bound = state.zero_wait ? 600000 : state.wait_time / 10000;
    if (state.wait_cap_ms && state.wait_cap_ms < bound) bound = state.wait_cap_ms;
    ms = static_cast<uint32_t>(std::min<uint64_t>(bound, 600000) + 5000);
    return platform::err::success;
}

platform::Error DriverClient::await_verdict(uint64_t id, uint32_t bound_ms, Verdict& v,
                                           const std::function<void(const Verdict&, uint32_t)>& progress)
{
    for (uint32_t waited = 0;; waited += 50) {
        if (const platform::Error e = verdict(id, v)) return e;
        if (v.state != ZD_VERDICT_PENDING) return platform::err::success;
        if (progress) progress(v, waited);
        if (waited >= bound_ms) return platform::err::timeout;
        platform::sync().sleep(50);
    }
}

std::string verdict_text(const Verdict& v)
{
    const char* how = v.allowed ? "allowed" : "blocked";
    switch (v.state) {
    case ZD_VERDICT_PENDING: return "pending";
    case ZD_VERDICT_ANSWERED: return std::string(how) + " (answered)";
    case ZD_VERDICT_TIMED_OUT: return std::string(how) + " (default: time-out)";
    case ZD_VERDICT_OFF: return std::string(how) + " (default: user test off)";
    case ZD_VERDICT_CLOSED: return std::string(how) + " (default: registrant closed)";
    case ZD_VERDICT_HUB_RULE: return std::string(how) + " (hubs always accepted)";
    case ZD_VERDICT_UNASKED: return std::string(how) + " (no user test registered)";
    default: return "unknown state " + std::to_string(v.state);
    }
}

std::string code_name(uint32_t code)
{
    switch (code) {
    case 0: return "-";
    case ZD_IOCTL_CLEAR_NAME_LIST: return "CLEAR_NAME_LIST";
    case ZD_IOCTL_CLEAR_TYPE_LIST: return "CLEAR_TYPE_LIST";
    case ZD_IOCTL_USER_TEST_ON: return "USER_TEST_ON";
    case ZD_IOCTL_USER_TEST_OFF: return "USER_TEST_OFF";
    case ZD_IOCTL_GET_TEST_JSON: return "GET_TEST_JSON";
    case ZD_IOCTL_GET_TEST_JSON_SIZE: return "GET_TEST_JSON_SIZE";
    case ZD_IOCTL_SET_TEST_RESULT: return "SET_TEST_RESULT";
    case ZD_IOCTL_NOTIFY_OFF: return "NOTIFY_OFF";
    case ZD_IOCTL_SET_FILES_AND_CACHE_MODE: return "SET_FILES_AND_CACHE_MODE";
    case ZD_IOCTL_HUBS_ACCEPT_ON: return "HUBS_ACCEPT_ON";
    case ZD_IOCTL_HUBS_ACCEPT_OFF: return "HUBS_ACCEPT_OFF";
    case ZD_IOCTL_TEST_RAISE: return "TEST_RAISE";
    case ZD_IOCTL_TEST_VERDICT: return "TEST_VERDICT";
    case ZD_IOCTL_TEST_STATE: return "TEST_STATE";
    case ZD_IOCTL_TEST_CAP_WAIT: return "TEST_CAP_WAIT";
    default: {
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%08X", code);
        return buf;
    }
    }
}

std::vector<std::string> state_lines(const DriverState& s)
{
    std::vector<std::string> lines;
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "user test: %s, wait %llu (100 ns)%s, default %s, wait cap %u ms",
                  s.registered ? "registered" : "off", static_cast<unsigned long long>(s.wait_time),
                  s.zero_wait ? " (no limit)" : "", s.default_accept ? "allow" : "block", s.wait_cap_ms);
    lines.emplace_back(buf);
    std::snprintf(buf, sizeof buf,
                  "options: hubs always accepted %d, capture %d, filter %d, notify handle %d, "
                  "files and cache mode %u, configuration file %s",
                  s.hubs_accepted, s.capture, s.filter, s.notify_handle, s.files_cache_mode,
                  s.config_read ? "read" : "not read");
    lines.emplace_back(buf);
    std::snprintf(buf, sizeof buf, "requests: %u pending, next id %llu; journal: %u entries",
                  s.pending, static_cast<unsigned long long>(s.next_request_id), s.journal_total);
    lines.emplace_back(buf);
    for (const JournalEntry& j : s.journal) {
        std::string line = std::to_string(j.sequence) + " " + code_name(j.code) + " -> " + std::to_string(j.result);
        if (j.request_id) line += " request " + std::to_string(j.request_id);
        if (j.verdict) line += " verdict " + verdict_text(Verdict{j.verdict, j.allowed, false});
        lines.push_back(line);
    }
    return lines;
}

} // namespace driver_client
