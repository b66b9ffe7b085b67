// One machine for the whole-process tests: a fresh folder, the suite's data folder
// (ALLUSERSPROFILE) and root folder (RootPath) below it, the programs started as real processes,
// and the trace lines they write on the debugger output channel.
//
// Linux: a fresh emulated machine under the folder; the trace is the file the posix backend
// appends to. Windows (under Wine): the shared machine, with the two folders pointed at the test's
// own folder; the trace is read as a debug-output reader does, from the DBWIN buffer.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace e2e {

// The programs the tests start. `sc` and `reg` are the system's own tools (Wine's under Wine, the
// stand-ins over the emulated machine on Linux); `usbsim` raises devices to the running driver.
enum class Program { zelmarusb, halvarmon, halvarmenu, capture, usbsim, sc, reg };

// What a tool printed and how it ended.
struct ToolRun {
    bool ended = false; // false: it did not end within the limit (and was ended by force)
    int exit_code = -1;
    std::string output; // standard output, as bytes
};

class Machine {
public:
    // `name` tells the folders of concurrent tests apart.
    explicit Machine(const std::string& name);
    // Ends every process still running, stops and deletes the driver's service and the temporary
    // service (a failed test leaves no loaded driver or daemon behind), then removes the folder.
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    const std::filesystem::path& folder() const { return folder_; }
    // ALLUSERSPROFILE of the started programs; the suite data folder is its "halvar".
    std::filesystem::path all_users_profile() const { return folder_ / "ProgramData"; }
    // The suite root folder (RootPath under HKLM\Software\halvar).
    std::filesystem::path suite_root() const { return folder_ / "suite"; }

    // Starts `program` with `args`; its process identifier, 0 when it could not be started.
    uint32_t start(Program program, const std::vector<std::u16string>& args);
    // The same for a program given by its path (a copy of one of the build's programs).
    uint32_t start_path(const std::filesystem::path& program, const std::vector<std::u16string>& args);
    // Runs `program` with `args` to its end (at most `limit`), its standard output captured.
    ToolRun run(Program program, const std::vector<std::u16string>& args,
                std::chrono::milliseconds limit = std::chrono::seconds(60));
    // Ends a started process by force and waits for its end.
    void kill(uint32_t pid);
    // Waits at most `limit` for the end of a started process; true when it ended, with its exit
    // code in `exit_code`.
    bool ended_within(uint32_t pid, std::chrono::milliseconds limit, int* exit_code = nullptr);

    // Every trace line the started programs wrote so far, in order, as bytes ("\r\n" ends each).
    std::string trace() const;
    // Waits at most `limit` for `text` to appear in the trace.
    bool trace_has(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

    // The folder of the program (where the driver's image lies beside it).
    static std::filesystem::path program_folder();

private:
    void end_services();
    struct Leg; // the per-platform half: processes and trace capture
    std::filesystem::path folder_;
    std::unique_ptr<Leg> leg_;
};

// The path of a program of the build, or of the system's own tool ("sc.exe" under Wine).
std::string program_path(Program program);

// Points RootPath at `folder` (created), and back at what it was before.
void point_suite_root(const std::filesystem::path& folder);
void restore_suite_root();

// Writes `bytes` as the whole content of `path`, creating its folders.
void write_file(const std::filesystem::path& path, const std::string& bytes);
std::string read_file(const std::filesystem::path& path);

} // namespace e2e
