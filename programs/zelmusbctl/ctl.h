// zelmusbctl: the command for the people who run the protection. Each command is a function of
// its arguments (after the command's name) returning the exit code: 0 done, 1 failed (a message
// on standard error says what and why), 2 usage.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ctl {

using Args = std::vector<std::string>;

constexpr int exit_done = 0;
constexpr int exit_failed = 1;
constexpr int exit_usage = 2;

// A line to standard output or standard error (UTF-8).
void say(std::u16string_view line);
void say(std::string_view line);
// "zelmusbctl: <what>" on standard error; returns exit_failed.
int fail(std::u16string_view what);
// The changing commands are root's (an elevated administrator's on Windows): false, with the
// refusal on standard error, for anyone else.
bool privileged(const char* command);

// Splits the options ("--json", "--write", ...) from the other arguments; false (with the usage
// message) for an option not among `known`.
bool split_options(const char* command, const Args& args, const std::vector<std::string>& known, Args& options,
                   Args& rest);
bool has(const Args& options, const char* option);
// The usage message of `command` on standard error; returns exit_usage.
int usage(const char* command);

// The whole command line after the program's name.
int ctl_main(const Args& args);

int check_command(const Args& args);
int status_command(const Args& args);
int reload_command(const Args& args);
int list_command(const Args& args);
int why_command(const Args& args);
int generate_command(const Args& args);
int admit_command(const Args& args, bool allow);
int watch_command(const Args& args);

} // namespace ctl
