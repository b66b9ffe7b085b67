// The start-up sweep: removable drives that no rule allows are reported and ejected right after
// the system has started, before anyone can use them.
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "host/files.h"
#include "host/processes.h"
#include "host/trace.h"
#include "json/hostjson/json_node.h"
#include "platform/devices.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/sync.h"
#include "policy/present.h"
#include "policy/report.h"
#include "policy/rules.h"
#include "policy/usb_settings.h"
#include "text/text.h"

namespace {
void print(const std::u16string& line)
{
    const std::string bytes = text::to_utf8(line);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

// Whether a rule allows the device, by all five texts or by its serial number alone, and which rule
// decided: the one that allows it, or the first deciding one of the full matching ("no rule" when
// none decides there).
bool allowed_by_rules(const UsbRule& record, std::u16string& decider)
{
    // "cfg" replaces the rule lists under this lock; matching must not read a list being replaced.
    // Taken with no other lock held: the sweep runs after the device list was read through the
    // facade, not under its lock (app/lock_order.h).
    std::lock_guard<std::recursive_mutex> guard(settings_lock());
    RuleMatch full, serial;
    const int32_t r = match_rules(record, false, full);
    if (r == rule_allows) {
        decider = describe_match(full);
        return true;
    }
    if (match_rules(record, true, serial) == rule_allows) {
        decider = describe_match(serial) + u" by the serial number";
        return true;
    }
    decider = describe_match(full);
    return false;
}

// One trace line per drive of a swept device: kept or not, what decided, and for a drive that was
// to go, how its ejection went.
void trace_swept_drive(char16_t letter, const std::u16string& verdict, const std::u16string& decider)
{
    TRACE(u"Start-up sweep, drive %c: %s, decided by %s", letter, verdict, decider);
}

void report_swept(CJsonNode& device, const std::u16string& user, const std::u16string& letters)
{
    UsbReport report;
    report_begin(report, u"");
    report.category = report_category_usb;
    const std::pair<const char16_t*, const char16_t*> entries[] = {
        {u"Producent", u"producent"}, {u"Produkt", u"produkt"},       {u"Klasa", u"klasa"},
        {u"Opis", u"opis"},           {u"Numer seryjny", u"numer"},  {u"Suma kontrolna", u"checksum"},
    };
    for (const auto& [event, member] : entries) report_add_entry(report, event, device.Member(member)->AsString(), u"");
    report_add_entry(report, u"Użytkownik", user, u"");
    report_add_entry(report, u"Dyski", letters, u"");
    report_set_title(report, u"Zablokowane urządzenie USB");
    report_add_entry(report, u"Akcja", u"Zablokowane", u"");
    report.level = report_level_blocked;
    device.SetInt(u"action", 0);
    device.SetString(u"user", user);
    device.SetString(u"time", LocalTimestamp());
    report_attach(report, u"info", &device);
    report_save(report);
}
} // namespace

bool is_removable_drive(char16_t letter)
{
    return platform::files().drive_type(text::format(u"%c:\\", letter)) == platform::drive::removable;
}

bool eject_drive(char16_t letter)
{
    std::u16string outcome;
    return eject_drive(letter, outcome);
}

bool eject_drive(char16_t letter, std::u16string& outcome)
{
    const uint32_t type = platform::files().drive_type(text::format(u"%c:\\", letter));
    if (type != platform::drive::removable && type != platform::drive::cdrom) {
        print(u"Cannot eject.  Drive type is incorrect.\n");
        outcome = text::format(u"failed: drive type %u is incorrect", type);
        return false;
    }
    const uint32_t access = type == platform::drive::removable
                                ? platform::access::generic_read | platform::access::generic_write
                                : platform::access::generic_read;
    auto& devices = platform::devices();
    platform::Handle volume = platform::null_handle;
    if (const platform::Error e = devices.open(text::format(u"\\\\.\\%c:", letter), access,
                                               platform::share::read | platform::share::write, 0, volume)) {
        print(text::format(u"Error %d: %s\n", int32_t(e), u"CreateFile"));
        outcome = text::format(u"failed: error %u at CreateFile", e);
        return false;
    }
    uint32_t returned = 0;
    platform::Error locked = platform::err::success;
    for (int attempt = 0; attempt < eject_lock_tries; ++attempt) {
        if (attempt > 0) platform::sync().sleep(eject_lock_pause_ms);
        locked = devices.control(volume, platform::ioctl::lock_volume, nullptr, 0, nullptr, 0, returned);
        if (locked == platform::err::success) break;
    }
    // Each step runs only when the one before it succeeded; the first failure is what is told.
    platform::Error failed = locked;
    const char16_t* step = u"FSCTL_LOCK_VOLUME";
    if (failed == platform::err::success) {
        step = u"FSCTL_DISMOUNT_VOLUME";
        failed = devices.control(volume, platform::ioctl::dismount_volume, nullptr, 0, nullptr, 0, returned);
    }
    if (failed == platform::err::success) {
        uint8_t prevent = 0; // removal allowed
        step = u"IOCTL_STORAGE_MEDIA_REMOVAL";
        failed = devices.control(volume, platform::ioctl::storage_media_removal, &prevent, 1, nullptr, 0, returned);
    }
    if (failed == platform::err::success) {
        step = u"IOCTL_STORAGE_EJECT_MEDIA";
        failed = devices.control(volume, platform::ioctl::storage_eject_media, nullptr, 0, nullptr, 0, returned);
    }
    outcome = failed == platform::err::success ? std::u16string(u"ejected")
                                               : text::format(u"failed: error %u at %s", failed, step);
    const platform::Error closed = devices.close(volume);
    if (closed != platform::err::success) outcome += text::format(u", error %u closing the volume", closed);
    return closed == platform::err::success;
}

void eject_unlisted_devices(const std::u16string& devices)
{
    CJsonNode list;
    generate_current_usb_list(devices, list, false, false);
    _COUT(u"Current USB list generated.");
    WriteWholeFile(joined(suite_data_folder(), u"tmp\\devices_found.txt"), list.ToText(0));

    std::u16string log = u"Unknown devices ejected " + LocalTimestamp() + u"\r\n";
    std::u16string user;
    {
        CProcesses processes;
        std::vector<std::u16string> users;
        processes.DesktopUsers(users);
        if (!users.empty()) user = users[0];
    }

    for (auto& [key, element] : list.Member(u"rules")->children) {
        if (element->children.size() != 2) continue;
        CJsonNode* device = element->children.begin()->second;
        UsbRule record;
        clear_rule(record);
        record.producent = device->Member(u"producent")->AsString();
        record.produkt = device->Member(u"produkt")->AsString();
        record.klasa = device->Member(u"klasa")->AsString();
        record.numer = device->Member(u"numer")->AsString();
        record.opis = device->Member(u"opis")->AsString();
        const std::u16string letters = device->Member(u"dyski")->AsString();
        if (letters.empty()) continue;
        std::u16string decider;
        if (allowed_by_rules(record, decider)) {
            for (char16_t letter : letters) trace_swept_drive(letter, u"kept", decider);
            continue;
        }

        report_swept(*device, user, letters);
        log += element->ToText(0) + u"\r\n";
        for (char16_t letter : letters) {
            std::u16string outcome;
            if (!is_removable_drive(letter))
                outcome = u"not removable, left attached";
            else
                eject_drive(letter, outcome);
            trace_swept_drive(letter, outcome, decider);
        }
    }
    WriteWholeFile(joined(suite_data_folder(), u"tmp\\devices_ejected.txt"), log);
}
