// The environment, the clocks, the debugger output channel and the SHA-1 digest:
// GetEnvironmentVariableW, GetTickCount, GetLocalTime, OutputDebugStringW, BCrypt SHA-1.
//
// posix: the real environment, except that ALLUSERSPROFILE is <root>/ProgramData (in Windows form,
// "\\" separators) when it is not set; the tick count is CLOCK_BOOTTIME (time since boot, suspend
// included, as Windows counts it); debugger output goes to standard error, or is appended to the
// file $ZELMUSB_TRACE_FILE when that is set; SHA-1 comes from OpenSSL's libcrypto.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "platform/errors.h"

namespace platform {

// SYSTEMTIME, field for field.
struct LocalTime {
    uint16_t year = 0;
    uint16_t month = 0;       // 1 to 12
    uint16_t day_of_week = 0; // 0 Sunday to 6 Saturday
    uint16_t day = 0;         // 1 to 31
    uint16_t hour = 0;
    uint16_t minute = 0;
    uint16_t second = 0;
    uint16_t milliseconds = 0;
};

using Sha1Digest = std::array<uint8_t, 20>;

class System {
public:
    virtual ~System() = default;

    // GetEnvironmentVariableW: 203 when the variable is not set (an empty value is a value).
    virtual Error environment(const std::u16string& name, std::u16string& value) = 0;

    // GetTickCount: milliseconds since the system started, wrapping at 2^32.
    virtual uint32_t tick_count() = 0;

    // GetTickCount64: milliseconds since the system started, without the wrap. Not pure, so that
    // scripted clocks of tests that know only tick_count keep working (their count is the uptime).
    // posix: CLOCK_BOOTTIME, or now minus the machine description's boot time when it gives one
    // (tick_count is then the low 32 bits of the same).
    virtual uint64_t tick_count64() { return tick_count(); }

    // GetLocalTime.
    virtual LocalTime local_time() = 0;

    // OutputDebugStringW of one trace line, as given (it normally ends in "\r\n"). On posix each
    // call is written whole in one write, so that lines of concurrent writers, threads or
    // processes, never mix; a line that does not end in "\n" gets one there.
    virtual void debug_output(const std::u16string& line) = 0;

    // The SHA-1 digest of the bytes.
    virtual Error sha1(std::span<const uint8_t> data, Sha1Digest& digest) = 0;

    // Whether the place this machine's state is kept is safe from the machine's other users, asked
    // before the program takes charge of the devices: 0, or 5 (access denied) with `folder` and
    // `owner` (a user name, or "uid <n>" without one) naming the first folder that fails.
    // Windows: 0; the folders' rights are the installer's.
    // posix: the platform root and every folder above it (symbolic links resolved) must be owned
    // by root or this process's user and writable by no group and no other user, as sshd's strict
    // modes ask of a home folder; a sticky folder of root's (/tmp) is accepted, since nobody may
    // rename or remove what is not theirs there. A root not made yet is judged by the folders that
    // exist above it.
    virtual Error check_state_folders(std::u16string& folder, std::u16string& owner) = 0;
};

} // namespace platform
