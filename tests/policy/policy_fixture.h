// Test support for the device policy: a fresh machine with a data folder of its own, a fixed clock
// and tick count, the real SHA-1, and the process-wide settings and rule lists put back afterwards.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "../host/fakes.h"
#include "../support/fresh_machine.h"
#include "app/settings.h"
#include "host/files.h"
#include "platform/platform.h"
#include "platform/registry.h"
#include "policy/rules.h"
#include "text/text.h"

namespace policy_test {

// The recording system family of the host tests, with the digest of the machine's own backend.
class System : public fakes::System {
public:
    explicit System(platform::System& real) : real_(real) {}
    platform::Error sha1(std::span<const uint8_t> data, platform::Sha1Digest& digest) override
    {
        return real_.sha1(data, digest);
    }

private:
    platform::System& real_;
};

// The settings and the five rule lists as they were, put back when the object ends.
class SavedPolicyState {
public:
    SavedPolicyState()
        : settings_(g_settings), io_(io_rules), pr_(printer_rules), net_(network_rules), main_(main_rules),
          initial_(initial_rules)
    {
    }
    ~SavedPolicyState()
    {
        g_settings = settings_;
        io_rules = io_;
        printer_rules = pr_;
        network_rules = net_;
        main_rules = main_;
        initial_rules = initial_;
    }

private:
    UsbSettings settings_;
    std::vector<UsbRule> io_, pr_, net_, main_, initial_;
};

// The value "ln" of HKLM\Software\halvar removed for the test and put back after it. On Linux the
// machine is fresh anyway; under Wine the prefix's registry is shared by every test.
class SavedReportNumber {
public:
    SavedReportNumber()
    {
        had_ = read(old_);
        remove();
    }
    ~SavedReportNumber()
    {
        if (had_)
            WriteHklmDword(key, u"ln", old_);
        else
            remove();
    }
    static constexpr const char16_t* key = u"Software\\halvar";

    // The stored value, when there is a DWORD.
    static bool read(uint32_t& value)
    {
        const uint32_t a = ReadHklmDword(key, u"ln", 0), b = ReadHklmDword(key, u"ln", 1);
        value = a;
        return a == b;
    }

private:
    static void remove()
    {
        auto& reg = platform::registry();
        platform::Handle k = platform::null_handle;
        if (reg.open_key(key, platform::key_access::all_access, k) != platform::err::success) return;
        reg.delete_value(k, u"ln");
        reg.close_key(k);
    }
    bool had_ = false;
    uint32_t old_ = 0;
};

// A fresh machine (Linux), a data folder of the test's own (ALLUSERSPROFILE), a clock fixed at
// 2024-01-31 09:59:59 with tick count 0x1A2B3, the real digest, and the policy state restored.
class PolicyTest : public ::testing::Test {
protected:
    PolicyTest() : system_(platform::system())
    {
        system_.env[u"ALLUSERSPROFILE"] = data_.windows(u"ProgramData");
    }

    // The suite data folder ("<ALLUSERSPROFILE>\\halvar") on disk.
    std::filesystem::path data_folder() const { return data_.path() / "ProgramData" / "halvar"; }
    std::u16string data_path(std::u16string_view relative) const
    {
        return platform_test::cat(data_.windows(u"ProgramData\\halvar\\"), relative);
    }
    // Writes the settings file the host falls back to when the monitor does not answer.
    void write_settings(std::string_view json_utf8)
    {
        ASSERT_EQ(WriteWholeFile(suite_config_folder(u"cfg.json"), text::from_utf8(json_utf8)), 1);
    }

    platform_test::FreshMachine machine_;
    platform_test::TempFolder data_;
    SavedPolicyState saved_;
    System system_;
    platform::Override<platform::System> system_override_{&platform::Platform::system, system_};
};

} // namespace policy_test
