// watch: one line per verdict as it happens, read from the program's trace. Every verdict leaves
// one trace line, "Verdict allow=<0|1> for <device>, decided by <what>" (policy/decision.cpp); the
// trace is the file ZELMUSB_TRACE_FILE names (as the program writes it), or standard input (for
// example the service's journal: journalctl -fu zelmarusb | zelmusbctl watch -).
#include <cstdio>
#include <fstream>
#include <iostream>

#include "ctl.h"
#include "platform/platform.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "text/text.h"
#include "watch.h"

namespace ctl {

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

std::string watch_line(const VerdictLine& v)
{
    const platform::LocalTime t = platform::system().local_time();
    return text::to_utf8(text::format(u"%.4u-%.2u-%.2u %.2u:%.2u:%.2u ", unsigned(t.year), unsigned(t.month),
                                      unsigned(t.day), unsigned(t.hour), unsigned(t.minute), unsigned(t.second))) +
           (v.allowed ? "allowed " : "blocked ") + v.device + " by " + v.decider;
}

int watch_command(const Args& args)
{
    Args options, rest;
    if (!split_options("watch", args, {}, options, rest)) return exit_usage;
    if (rest.size() > 1) return usage("watch");
    std::string source = rest.empty() ? "" : rest[0];
    if (source.empty()) {
        std::u16string file;
        if (platform::system().environment(u"ZELMUSB_TRACE_FILE", file) == 0) source = text::to_utf8(file);
    }
    if (source.empty())
        return fail(u"watch: no trace to read: give the file the program traces to (its ZELMUSB_TRACE_FILE), or - "
                    u"for standard input (journalctl -fu zelmarusb | zelmusbctl watch -)");
    VerdictLine v;
    if (source == "-") {
        std::string line;
        while (std::getline(std::cin, line))
            if (parse_verdict_line(line, v)) {
                say(watch_line(v));
                std::fflush(stdout);
            }
        return exit_done;
    }
    // Follows the file from its end, as tail -f does; a file made anew (smaller) is read from its start.
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
                    if (parse_verdict_line(std::string_view(partial).substr(0, nl), v)) {
                        say(watch_line(v));
                        std::fflush(stdout);
                    }
                    partial.erase(0, nl + 1);
                }
            }
        }
        platform::sync().sleep(200);
    }
}

} // namespace ctl
