// Everything the suite's Linux menu and monitor ask of the operating system, in one place: the user
// of the active local desktop session, a program run as that user on that session's bus, and a file
// replaced in one step. The rest of both programs is the platform's pipes and the host's JSON.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace desktop {

// The user in front of the machine: the active session of seat0, local, of class "user", and its
// session bus ("unix:path=/run/user/<uid>/bus").
struct Session {
    uint32_t uid = 0;
    uint32_t gid = 0;
    std::string bus;
};

// The active local session, from logind; nothing when none (nobody logged on at the seat, a remote
// session, a greeter, or no session bus). `given` replaces logind: "none", or "<uid>:<bus address>"
// (for tests on a bus of their own).
std::optional<Session> active_session(const std::string& given);

// Runs `program` with `args` as the session's user (its own user and group, no supplementary
// groups, a clean environment with the session's bus) and returns the first line it prints, empty
// when it prints none, fails or is not done within `limit_ms` (it is then killed).
std::string run_as_user(const Session& session, const std::string& program, const std::vector<std::string>& args,
                        uint32_t limit_ms);

// The folder of this process's executable (with a trailing slash).
std::string own_folder();

// Replaces the file at `path` (a link is followed) with `bytes` in one step: a new file beside it,
// with the old one's mode, synced, renamed over it. Empty on success, else what failed.
std::string replace_file(const std::string& path, const std::string& bytes);

// The user's explicit "Block" of a device (named by its 40-digit checksum), kept for the monitor in
// the machine's own folder (<platform root>/suite/answers, root's alone): the program sends a
// blocking rule for every answer that is not "1", also for a question nobody saw, and only a
// device the user did block is kept blocked for good. False for a checksum that is not 40
// hexadecimal digits, or a record that cannot be written.
bool record_block(const std::string& checksum);
// Whether the user blocked the device within the last `max_age_s` seconds; the record is used up.
bool take_block(const std::string& checksum, uint32_t max_age_s);

} // namespace desktop
