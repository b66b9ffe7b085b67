#include "policy/decision.h"

#include <memory>
#include <mutex>

#include "host/commp.h"
#include "host/files.h"
#include "host/paths.h"
#include "host/threads.h"
#include "host/trace.h"
#include "json/hostjson/json_node.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "policy/identity.h"
#include "policy/report.h"
#include "policy/rules.h"
#include "policy/usb_settings.h"
#include "text/text.h"

namespace {
constexpr uint32_t cleanup_delay_ms = 10000;
// The user's answer must reach the driver before its own time-out admits the device. After the
// answer the decision only writes its report (the rule message to the monitor goes on its own
// thread), so the question gets the verdict time less what the decision used before it and a
// margin for the hand-over to the driver.
constexpr uint32_t verdict_margin_ms = 2000;

// Fixed at the first decision that has a device, for the life of the process.
std::u16string& accept_folder()
{
    static std::u16string folder;
    if (folder.empty()) folder = get_path(u"accept");
    return folder;
}

// The device's identity file (replaced) and its arrival log (one line appended per arrival).
void record_arrival(const std::u16string& checksum, const std::u16string& identity_text)
{
    const std::u16string base = joined(accept_folder(), checksum);
    WriteWholeFile(base + u".json", identity_text);
    AppendToFile(base + u".txt", text::to_utf8(LocalTimestamp() + u"\r\n"));
}

// A capturing program waits for this device: it gets the identity with exact patterns and a time
// stamp, for about ten seconds.
void hand_over_captured(const CJsonNode& identity)
{
    CJsonNode copy;
    copy.LoadCopy(identity);
    make_patterns_exact(copy);
    copy.SetString(u"timestamp", CompactTimestamp());
    const std::string bytes = text::to_utf8(copy.ToText(0));
    WriteWholeFile(get_path(u"new_usb_device_file_path"), bytes.data(), bytes.size());
    host_threads().StartThread(remove_new_device_file, nullptr);
}

void write_report(CJsonNode& identity, bool allow)
{
    // The report's few dozen nodes, names and map entries are cut from one store rather than taken
    // one by one from the heap. Nothing of it goes to another thread.
    json_blocks::LoadScope blocks;
    UsbReport report;
    report_begin(report, u"");
    report.level = 0;
    report.category = report_category_usb;
    const std::pair<const char16_t*, const char16_t*> entries[] = {
        {u"Producent", u"producent"}, {u"Produkt", u"produkt"},      {u"Klasa", u"klasa"},
        {u"Opis", u"opis"},           {u"Numer seryjny", u"numer"}, {u"Suma kontrolna", u"checksum"},
        {u"Użytkownik", u"user"},
    };
    for (const auto& [event, member] : entries) report_add_entry(report, event, identity.Member(member)->AsString(), u"");
    if (allow) {
        report_set_title(report, u"Podłączone urządzenie USB");
        report_add_entry(report, u"Akcja", u"Dopuszczone", u"");
        report.level = report_level_allowed;
    } else {
        report_set_title(report, u"Zablokowane urządzenie USB");
        report_add_entry(report, u"Akcja", u"Zablokowane", u"");
        report.level = report_level_blocked;
    }
    identity.SetInt(u"action", allow ? 1 : 0);
    identity.SetString(u"time", LocalTimestamp());
    report_attach(report, u"info", &identity);
    report_save(report);
}

// The report and blocked notice of the last decision of this thread, held until the driver's
// verdict is known.
struct HeldOutcome {
    bool holding = false;
    bool pending = false;
    CJsonNode identity;
    std::u16string identity_text;
    bool allow = false;
    bool asked = false;
    bool report_on_allow = false;
};
thread_local HeldOutcome held;

void report_outcome(CJsonNode& identity, const std::u16string& identity_text, bool allow, bool asked,
                    bool report_on_allow)
{
    if (allow && !report_on_allow) return;
    write_report(identity, allow);
    if (!allow && !asked)
        notify_process_async(u"halvarmenu.exe", u"usb_device_blocked|" + identity_text, u"usb_device");
}

uint32_t notify_thread(void* parameter)
{
    std::unique_ptr<CJsonNode> message(static_cast<CJsonNode*>(parameter));
    class_commp commp(2000, 2000);
    // The monitor is given rules only when it runs as the system or as this program's user; the
    // menu is the logged-on user's program and is asked as it runs.
    commp.trusted_peers_only = text::to_lower(message->Member(u"p")->AsString()) == u"halvarmon.exe";
    commp.AskProcess(message->Member(u"p")->AsString(), message->Member(u"m")->AsString(),
                     message->Member(u"i")->AsString());
    return 0;
}
} // namespace

int zelmusb_decision(const std::u16string* document)
{
    // Why the device got its verdict, for whoever reads the trace: the list and the rule that
    // decided (with its five patterns), the user's answer, the "action" default, capture or the
    // policy off. Trace only: nothing of it reaches the reports or the rules. (A lambda, so that
    // the line carries this function's name.)
    const auto trace_verdict = [](int verdict, const std::u16string& device, const std::u16string& decider) {
        TRACE(u"Verdict allow=%i for %s, decided by %s", verdict, device, decider);
    };
    // With the policy off nothing is decided, recorded or traced; the settings lock is not taken,
    // so a reload in progress does not hold the device.
    if (g_settings.active == 0) {
        trace_verdict(1, u"<not read>", u"policy off");
        return 1;
    }
    const uint32_t start = platform::system().tick_count();

    // The innermost lock (app/lock_order.h): nothing below takes the facade or initial list lock.
    std::unique_lock<std::recursive_mutex> lock(settings_lock());
    int allow = g_settings.action != 0 ? 1 : 0;
    // The settings this decision goes by to its end, also after the question below.
    const int action = g_settings.action;
    const int report_on_allow = g_settings.report_on_allow;
    std::u16string decider = u"default action " + IntText(action) + u" (no device document)";
    std::u16string device = u"<none>"; // the product, quoted, for the trace
    if (document) {
        CJsonNode identity;
        UsbRule fields;
        clear_rule(fields);
        const std::u16string checksum = build_device_identity(*document, identity, fields);
        const std::u16string identity_text = identity.ToText(0);
        record_arrival(checksum, identity_text);
        device = u"\"" + fields.produkt + u"\"";

        if (MutexPresent(capture_mutex)) {
            hand_over_captured(identity);
            trace_verdict(1, device, u"capture");
            return 1;
        }

        bool asked = false;
        RuleMatch matched;
        const int32_t r = match_rules(fields, false, matched);
        decider = r == no_rule_decided ? u"default action " + IntText(action) + u" (no rule)"
                                       : describe_match(matched);
        if (r == rule_blocks) {
            allow = 0;
        } else if (r == rule_allows) {
            allow = 1;
        } else if (action == 2) {
            TRACE(u"USB Ask User.");
            // The user may take minutes; a reload ("cfg") in the meantime must not wait for the
            // answer, nor hold up the pipe commands behind it ("stop"). The rules have been
            // matched and the settings taken, so the rest of the decision needs neither.
            lock.unlock();
            const uint32_t used = platform::system().tick_count() - start;
            const uint32_t budget = driver_verdict_time_ms - verdict_margin_ms;
            const uint32_t ask_user_limit_ms = used < budget ? budget - used : 1;
            class_commp commp(2000, 2000);
            commp.exchange_limit_ms = ask_user_limit_ms;
            const std::u16string answer = commp.AskProcess(u"halvarmenu.exe", u"ask_usb_device|" + identity_text,
                                                           u"usb_device", ask_user_limit_ms);
            allow = answer == u"1" ? 1 : 0;
            decider = u"the user's answer \"" + answer.substr(0, 32) + u"\"";
            // The monitor stores the answer as a rule while the verdict goes back to the driver.
            notify_process_async(u"halvarmon.exe", device_rule_message(identity, allow != 0), u"default");
            asked = true;
        }

        if (held.holding) {
            held.pending = true;
            held.identity.LoadCopy(identity);
            held.identity_text = identity_text;
            held.allow = allow != 0;
            held.asked = asked;
            held.report_on_allow = report_on_allow != 0;
        } else {
            report_outcome(identity, identity_text, allow != 0, asked, report_on_allow != 0);
        }
    }
    _COUT(u">> New device, allow=" + IntText(allow));
    trace_verdict(allow, device, decider);
    return allow;
}

void hold_decision_outcomes(bool hold)
{
    held.holding = hold;
    held.pending = false;
}

void settle_decision_outcome(bool admitted)
{
    if (!held.pending) return;
    held.pending = false;
    if (admitted != held.allow) TRACE(u"The driver applied its own verdict: allow=%i", admitted ? 1 : 0);
    report_outcome(held.identity, held.identity_text, admitted, held.asked, held.report_on_allow);
}

void notify_process_async(const std::u16string& process_name, const std::u16string& message,
                          const std::u16string& channel)
{
    auto parameter = std::make_unique<CJsonNode>();
    parameter->SetString(u"p", process_name);
    parameter->SetString(u"m", message);
    parameter->SetString(u"i", channel);
    if (notification_threads().StartThread(notify_thread, parameter.get())) parameter.release();
}

uint32_t remove_new_device_file(void*)
{
    if (MutexPresent(cleanup_mutex)) return 0;
    auto& sync = platform::sync();
    platform::Handle mutex = platform::null_handle;
    const platform::Error e = sync.create_mutex(u"Global\\" + std::u16string(cleanup_mutex), mutex);
    if (e == platform::err::already_exists) {
        sync.close(mutex);
        mutex = platform::null_handle;
    } else if (e != platform::err::success) {
        mutex = platform::null_handle;
    }
    sync.sleep(cleanup_delay_ms);
    platform::files().remove(get_path(u"new_usb_device_file_path"));
    if (mutex != platform::null_handle) sync.close(mutex);
    return 0;
}
