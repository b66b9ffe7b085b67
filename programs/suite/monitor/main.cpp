// halvarmon.exe for Linux: the suite's monitor program. The program asks it, by that name, on the
// channel "default", for its settings ("get_config") and gives it the user's answers to store as
// rules ("usb_device_add_rule1:<device>" allows, "...0:<device>" blocks). It serves the settings
// file of the installation (/etc/zelmarusb/cfg.json), stores each rule in that file (in one step,
// keeping the rest of it, never twice) and then has the running program read its settings again
// ("cfg"). It runs as root beside the service, with the service's platform root. Questions from
// processes that are neither root nor its own user are refused (the empty answer) and traced.
//
//   halvarmon.exe --settings <settings file>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "answerer.h"
#include "settings_whole.h"
#include "desktop.h"
#include "app/settings.h"
#include "host/commp.h"
#include "host/trace.h"
#include "platform/platform.h"
#include "platform/processes.h"
#include "rule_store.h"
#include "text/text.h"

namespace {

std::u16string g_settings_file;

// The program is told to reload after the rule's answer has gone: it asks for the rule while it
// decides a device and would not take "cfg" before that decision ends.
std::mutex g_reload_lock;
std::condition_variable g_reload_wanted;
bool g_reload = false;

// Whether the executable at `path` is the program: its file name is "zelmarusb" (a folder of the
// installation may hold the name too, and the executable replaced by an upgrade is "(deleted)").
bool is_the_program(std::u16string path)
{
    constexpr std::u16string_view deleted = u" (deleted)";
    if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
        path.resize(path.size() - deleted.size());
    const size_t slash = path.find_last_of(u"/\\");
    return path.substr(slash == std::u16string::npos ? 0 : slash + 1) == u"zelmarusb";
}

// Has the program read its settings again: "cfg" to each running program of root or of this
// process's user (not a namesake of another user), until one takes it.
bool reload_program()
{
    class_commp commp(2000, 2000);
    std::u16string own;
    if (platform::processes().current_user_name(own) != 0) own.clear();
    std::vector<uint32_t> ids;
    commp.processes.EnumerateProcesses(ids);
    for (uint32_t id : ids) {
        if (!is_the_program(commp.processes.ProcessImagePath(id))) continue;
        const std::u16string user = commp.processes.ProcessUserName(id);
        if (user.empty() || (user != own && user != u"root")) continue;
        if (commp.AskText(id, u"cfg", u"default", 30000) == u"1") return true;
    }
    return false;
}

[[noreturn]] void reload_worker()
{
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(g_reload_lock);
            g_reload_wanted.wait(lock, [] { return g_reload; });
            g_reload = false;
        }
        TRACE(reload_program() ? u"The program read its settings again"
                               : u"The program did not take \"cfg\" (not running?): it reads the rules when it starts");
    }
}

std::u16string answer_config()
{
    std::vector<uint8_t> content;
    if (!LoadSuiteBytes(g_settings_file, content)) {
        TRACE(u"get_config: %s cannot be read; the program reads its own copy", g_settings_file);
        return {};
    }
    std::u16string text = monitor::config_answer(content);
    if (text.empty()) TRACE(u"get_config: %s does not parse or has no object \"usb\"; the program reads it itself", g_settings_file);
    return text;
}

// Whether the asker is the program (its executable's name), whose every answer that is not "1"
// comes as a blocking rule.
bool from_the_program(uint32_t asker)
{
    CProcesses processes;
    return is_the_program(processes.ProcessImagePath(asker));
}

// How long after the user's Block the program's rule for it may come (it comes at once).
constexpr uint32_t block_answer_age_s = 600;

std::u16string store(uint32_t asker, const std::u16string& message)
{
    monitor::Rule rule;
    std::u16string error;
    if (!monitor::parse_rule_message(message, rule, error)) {
        TRACE(u"Rule not stored: %s: %s", error, message.substr(0, 200));
        return {};
    }
    // The program blocks a device the user was not asked about (no session, no answer in time,
    // the notification closed) and sends that as a blocking rule too: kept, it would block the
    // device for good without anyone having chosen it. Only the user's Block is kept.
    if (!rule.allow && from_the_program(asker) &&
        !desktop::take_block(text::to_utf8(rule.checksum), block_answer_age_s)) {
        TRACE(u"Blocking rule not kept: the user did not choose Block for %s (it is asked about again)",
              rule.patterns->ToText(0));
        return {};
    }
    std::vector<uint8_t> content;
    CJsonNode doc;
    if (LoadSuiteBytes(g_settings_file, content)) {
        if (content.size() >= container::marker_size &&
            std::equal(content.begin(), content.begin() + container::marker_size, container::marker)) {
            TRACE(u"Rule not stored: %s is kept in the suite's own form", g_settings_file);
            return {};
        }
        if (!ParseSettings(content, doc) || !settings_file::read_whole(content, doc)) {
            TRACE(u"Rule not stored: %s does not parse, or holds what the settings reader does not keep (a "
                  u"number with a fraction); mend it first (zelmusbctl check)",
                  g_settings_file);
            return {};
        }
    }
    if (!monitor::store_rule(doc, rule, error)) {
        TRACE(u"Rule not stored in %s: %s", g_settings_file, error);
        return {};
    }
    const std::string failed = desktop::replace_file(text::to_utf8(g_settings_file), text::to_utf8(doc.ToText(0)));
    if (!failed.empty()) {
        TRACE(u"Rule not stored: %s", text::from_utf8(failed));
        return {};
    }
    TRACE(u"Rule stored first in %s: %s allow=%i", g_settings_file, rule.patterns->ToText(0), rule.allow ? 1 : 0);
    {
        std::lock_guard<std::mutex> lock(g_reload_lock);
        g_reload = true;
    }
    g_reload_wanted.notify_one();
    return u"1";
}

std::u16string answer(uint32_t asker, const std::u16string& question)
{
    if (question == u"get_config") return answer_config();
    if (question.rfind(u"usb_device_add_rule", 0) == 0) return store(asker, question);
    TRACE(u"Unknown question: %s", question.substr(0, 200));
    return {};
}

bool from_privileged(uint64_t pipe, uint32_t asker, const std::u16string& question)
{
    if (answerer::privileged_asker(pipe, asker, question)) return true;
    TRACE(u"Refused \"%s\" from process %u: neither root nor the monitor's user", question.substr(0, 40), unsigned(asker));
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3 || std::string(argv[1]) != "--settings") {
        std::fputs("usage: halvarmon.exe --settings <settings file>\n", stderr);
        return 2;
    }
    g_settings_file = text::from_utf8(argv[2]);
    TRACE(u"Monitor: the settings file is %s", g_settings_file);
    std::thread(reload_worker).detach();
    class_commp commp(2000, 2000);
    commp.text_handler = answer;
    commp.request_filter = from_privileged;
    commp.listen(u"default");
    return 1;
}
