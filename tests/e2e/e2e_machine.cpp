// The part of the test machine both legs share: the suite root folder in the registry, waiting
// for trace lines, and the files the tests prepare.
#include "e2e_machine.h"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "platform/platform.h"
#include "platform/registry.h"
#include "text/text.h"

namespace e2e {

namespace {
constexpr char16_t suite_key[] = u"Software\\halvar";
constexpr char16_t root_value[] = u"RootPath";

// The RootPath the machine had before a test pointed it at its own folder (Wine's machine is
// shared by every test of the build), put back when the test ends.
struct SavedRootPath {
    bool present = false;
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

SavedRootPath set_root_path(const std::filesystem::path& folder)
{
    auto& reg = platform::registry();
    SavedRootPath saved;
    platform::Handle key = platform::null_handle;
    if (const platform::Error e = reg.create_key(suite_key, platform::key_access::all_access, key)) {
        // The programs would take the machine's own suite folder: the test would prove nothing.
        ADD_FAILURE() << "HKLM\\Software\\halvar cannot be opened: " << e;
        return saved;
    }
    saved.present = reg.query_value(key, root_value, saved.type, saved.data) == platform::err::success;
    auto bytes = text::to_utf16le(folder.u16string());
    bytes.push_back(0);
    bytes.push_back(0);
    if (const platform::Error e = reg.set_value(key, root_value, platform::reg_type::sz, bytes))
        ADD_FAILURE() << "RootPath cannot be set: " << e;
    reg.close_key(key);
    return saved;
}

void restore_root_path(const SavedRootPath& saved)
{
    auto& reg = platform::registry();
    platform::Handle key = platform::null_handle;
    if (reg.open_key(suite_key, platform::key_access::all_access, key) != platform::err::success) return;
    if (saved.present)
        reg.set_value(key, root_value, saved.type, saved.data);
    else
        reg.delete_value(key, root_value);
    reg.close_key(key);
}

std::optional<SavedRootPath>& saved_root_path()
{
    static std::optional<SavedRootPath> saved;
    return saved;
}
} // namespace

void point_suite_root(const std::filesystem::path& folder)
{
    std::filesystem::create_directories(folder);
    saved_root_path() = set_root_path(folder);
}

void restore_suite_root()
{
    if (saved_root_path()) restore_root_path(*saved_root_path());
    saved_root_path().reset();
}

std::string program_path(Program program)
{
    switch (program) {
    case Program::zelmarusb: return ZELMUSB_PROGRAM;
    case Program::halvarmon: return HALVARMON;
    case Program::halvarmenu: return ZELMUSB_E2E_HALVARMENU;
    case Program::capture: return ZELMUSB_E2E_CAPTURE;
    case Program::usbsim: return ZELMUSB_E2E_USBSIM;
    case Program::sc: return ZELMUSB_E2E_SC;
    case Program::reg: return ZELMUSB_E2E_REG;
    }
    return {};
}

std::filesystem::path Machine::program_folder()
{
    return std::filesystem::path(ZELMUSB_PROGRAM).parent_path();
}

// Both services a run can leave: the driver's, and the /gud: temporary one. Stopping first lets
// the deletion complete at once.
void Machine::end_services()
{
    for (const char16_t* service : {u"ZelmUsb", u"zelmusbtmpsvc"}) {
        run(Program::sc, {u"stop", service}, std::chrono::seconds(20));
        run(Program::sc, {u"delete", service}, std::chrono::seconds(20));
    }
}

bool Machine::trace_has(const std::string& text, std::chrono::milliseconds limit) const
{
    const auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (trace().find(text) != std::string::npos) return true;
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

void write_file(const std::filesystem::path& path, const std::string& bytes)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string read_file(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace e2e
