// watch: one line per verdict as it happens, read from the program's trace. Every verdict leaves
// one trace line, "Verdict allow=<0|1> for <device>, decided by <what>" (policy/decision.cpp); the
// trace is the file ZELMUSB_TRACE_FILE names (as the program writes it), or standard input (for
// example the service's journal: journalctl -fu zelmarusb | zelmusbctl watch -). With --ask it also
// answers the program's questions to the user at the terminal (answerer.h).
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <thread>
#include <vector>

#include "answerer.h"
#include "platform/files.h"
#include "ctl.h"
#include "platform/platform.h"
#include "platform/processes.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "text/text.h"
#include "watch.h"

namespace ctl {

namespace {
std::string now_text()
{
    const platform::LocalTime t = platform::system().local_time();
    return text::to_utf8(text::format(u"%.4u-%.2u-%.2u %.2u:%.2u:%.2u", unsigned(t.year), unsigned(t.month),
                                      unsigned(t.day), unsigned(t.hour), unsigned(t.minute), unsigned(t.second)));
}

} // namespace

bool parse_verdict_line(std::string_view line, VerdictLine& out)
{
    constexpr std::string_view mark = "Verdict allow=";
    const size_t at = line.find(mark);
    if (at == std::string_view::npos || at + mark.size() >= line.size()) return false;
    const char allow = line[at + mark.size()];
    if (allow != '0' && allow != '1') return false;
    std::string_view rest = line.substr(at + mark.size() + 1);
    constexpr std::string_view for_ = " for ", by = ", decided by ";
    if (rest.substr(0, for_.size()) != for_) return false;
    rest.remove_prefix(for_.size());
    // The device is its quoted product name, which may hold ", decided by " itself: the last one
    // ends it.
    const size_t end = rest.rfind(by);
    if (end == std::string_view::npos) return false;
    out.allowed = allow == '1';
    out.device = std::string(rest.substr(0, end));
    out.decider = std::string(rest.substr(end + by.size()));
    while (!out.decider.empty() && (out.decider.back() == '\r' || out.decider.back() == '\n')) out.decider.pop_back();
    return true;
}

std::optional<VerdictLine> last_verdict(const std::string& trace_file, const std::string& device, size_t window)
{
    std::ifstream in(trace_file, std::ios::binary);
    if (!in) return std::nullopt;
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    const std::streamoff from = size > std::streamoff(window) ? size - std::streamoff(window) : 0;
    in.seekg(from);
    std::string text(size_t(size - from), '\0');
    in.read(text.data(), std::streamsize(text.size()));
    text.resize(size_t(in.gcount()));
    std::optional<VerdictLine> last;
    VerdictLine v;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        if (parse_verdict_line(std::string_view(text).substr(at, end - at), v) && v.device == device) last = v;
        at = end + 1;
    }
    return last;
}

std::string watch_line(const VerdictLine& v)
{
    return now_text() + (v.allowed ? " allowed " : " blocked ") + v.device + " by " + v.decider;
}

namespace {

// Follows the trace file from its end, as tail -f does; a file made anew (smaller) is read from
// its start. Returns only when the file cannot be read at first.
int follow(const std::string& source)
{
    VerdictLine v;
    std::ifstream in(source, std::ios::binary);
    if (!in) return fail(text::from_utf8("watch: " + source + " cannot be read"));
    in.seekg(0, std::ios::end);
    std::streamoff at = in.tellg();
    std::string partial;
    for (;;) {
        std::ifstream f(source, std::ios::binary);
        if (f) {
            f.seekg(0, std::ios::end);
            const std::streamoff size = f.tellg();
            if (size < at) at = 0;
            if (size > at) {
                f.seekg(at);
                std::string chunk(size_t(size - at), '\0');
                f.read(chunk.data(), std::streamsize(chunk.size()));
                chunk.resize(size_t(f.gcount()));
                at += std::streamoff(chunk.size());
                partial += chunk;
                size_t nl;
                while ((nl = partial.find('\n')) != std::string::npos) {
                    if (parse_verdict_line(std::string_view(partial).substr(0, nl), v)) say(watch_line(v));
                    partial.erase(0, nl + 1);
                }
            }
        }
        platform::sync().sleep(200);
    }
}

int follow_input()
{
    VerdictLine v;
    std::string line;
    while (std::getline(std::cin, line))
        if (parse_verdict_line(line, v)) say(watch_line(v));
    return exit_done;
}

std::string device_of(const answerer::Question& q)
{
    return text::to_utf8(u"\"" + q.producent + u"\" \"" + q.produkt + u"\"" +
                         (q.numer.empty() ? u"" : u" serial \"" + q.numer + u"\"") + u" class \"" + q.klasa + u"\" (" +
                         q.opis + u")");
}

// The console's way of asking: the device, then a line from standard input (y or yes allows).
std::optional<bool> ask_at_terminal(const answerer::Question& q)
{
    say(now_text() + " asked for " + device_of(q) + (q.user.empty() ? "" : ", user " + text::to_utf8(q.user)) +
        ": allow it? [y/n]");
    std::string line;
    if (!std::getline(std::cin, line)) {
        say(now_text() + " no answer (standard input is closed)");
        return std::nullopt;
    }
    const bool yes = !line.empty() && (line[0] == 'y' || line[0] == 'Y');
    say(now_text() + (yes ? " you allowed " : " you blocked ") + device_of(q));
    return yes;
}

// Whether the two files hold the same bytes, read in steps.
bool same_content(const std::u16string& a, const std::u16string& b)
{
    auto& files = platform::files();
    platform::Handle ha = platform::null_handle, hb = platform::null_handle;
    const auto open = [&](const std::u16string& path, platform::Handle& h) {
        // Sharing everything takes no lock, which a running program's image would refuse.
        constexpr uint32_t all = platform::share::read | platform::share::write | platform::share::del;
        return files.open(path, platform::access::generic_read, all, platform::disposition::open_existing, 0, h) == 0;
    };
    bool same = open(a, ha) && open(b, hb);
    uint64_t sa = 0, sb = 0;
    same = same && files.size(ha, sa) == 0 && files.size(hb, sb) == 0 && sa == sb;
    std::vector<char> ba(1 << 16), bb(1 << 16);
    while (same) {
        uint32_t na = 0, nb = 0;
        if (files.read(ha, ba.data(), uint32_t(ba.size()), na) != 0 ||
            files.read(hb, bb.data(), uint32_t(bb.size()), nb) != 0 || na != nb ||
            std::memcmp(ba.data(), bb.data(), na) != 0) {
            same = false;
            break;
        }
        if (na == 0) break;
    }
    if (ha != platform::null_handle) files.close(ha);
    if (hb != platform::null_handle) files.close(hb);
    return same;
}

// The program asks the process whose image path names the menu: zelmusbctl answers under that
// name, the link of it that the build and the installation put beside it.
int run_as_menu(const std::u16string& own, const Args& args)
{
    const size_t slash = own.find_last_of(u"/\\");
    const std::u16string menu =
        (slash == std::u16string::npos ? u"" : own.substr(0, slash + 1)) + answerer::menu_process;
    // Only zelmusbctl itself under that name: beside the program on Windows it may be the suite's
    // own menu program.
    if (!same_content(own, menu))
        return fail(u"watch --ask: the program asks the process named halvarmenu.exe, and " + menu +
                    u" is not zelmusbctl under that name (the build and the installation put one beside it)");
    platform::LaunchRequest request;
    request.file = menu;
    request.parameters = u"watch";
    for (const std::string& a : args)
        request.parameters +=
            u" " + (a.find(' ') == std::string::npos ? text::from_utf8(a) : u"\"" + text::from_utf8(a) + u"\"");
    request.wait = true;
    request.wait_limit_ms = 0xFFFFFFFFu;
    platform::LaunchResult result;
    const platform::Error e = platform::processes().launch(request, result);
    if (e)
        return fail(u"watch --ask: the program asks the process named halvarmenu.exe, and " + menu +
                    text::format(u" (zelmusbctl under that name) cannot be started: error %u", unsigned(e)));
    return result.ended ? int(result.exit_code) : exit_failed;
}

} // namespace

int watch_command(const Args& args)
{
    Args options, rest;
    if (!split_options("watch", args, {"--ask"}, options, rest)) return exit_usage;
    if (rest.size() > 1) return usage("watch");
    std::string source = rest.empty() ? "" : rest[0];
    if (source.empty()) {
        std::u16string file;
        if (platform::system().environment(u"ZELMUSB_TRACE_FILE", file) == 0) source = text::to_utf8(file);
    }
    if (has(options, "--ask")) {
        std::u16string own;
        platform::processes().current_module_path(own);
        if (text::to_lower(own).find(answerer::menu_process) == std::u16string::npos) return run_as_menu(own, args);
        if (source == "-") return fail(u"watch --ask: standard input is for the answers; give the trace file");
        // Verdicts as they happen beside the questions, when there is a trace to follow.
        if (!source.empty()) std::thread([source] { follow(source); }).detach();
        say(now_text() + " answering the program's questions to the user; y or yes allows, anything else blocks");
        answerer::serve(ask_at_terminal,
                        [](const answerer::Question& q) { say(now_text() + " blocked " + device_of(q)); });
    }
    if (source.empty())
        return fail(u"watch: no trace to read: give the file the program traces to (its ZELMUSB_TRACE_FILE), or - "
                    u"for standard input (journalctl -fu zelmarusb | zelmusbctl watch -)");
    return source == "-" ? follow_input() : follow(source);
}

} // namespace ctl
