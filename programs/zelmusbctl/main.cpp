// zelmusbctl: status, list, why, allow, block, reload, check, generate, watch (ctl.h). It reads
// what the system keeps (the settings, rule lists and accept folder), asks the running `/start`
// instance over its pipe channel and zelmusb.sys over its control device, and changes nothing
// that zelmarusb does not change itself.
#include <cstdio>

#include "ctl.h"
#include "platform/forwarding.h"
#include "platform/platform.h"
#include "platform/system.h"
#include "text/text.h"

namespace {

// Trace lines of the library and host code the commands reuse go where the program's go when
// ZELMUSB_TRACE_FILE names a file; otherwise nowhere, so that the command's own output stays
// readable.
class QuietTrace final : public platform::ForwardingSystem {
public:
    using ForwardingSystem::ForwardingSystem;
    void debug_output(const std::u16string&) override {}
};

int run(const ctl::Args& args)
{
    platform::Platform p = platform::native();
    static QuietTrace quiet(*p.system);
    std::u16string trace_file;
    if (p.system->environment(u"ZELMUSB_TRACE_FILE", trace_file) != 0 || trace_file.empty()) p.system = &quiet;
    platform::install(p);
    const int r = ctl::ctl_main(args);
    std::fflush(stdout);
    return r;
}

} // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv)
{
    ctl::Args args;
    for (int i = 1; i < argc; ++i) {
        std::u16string a;
        for (const wchar_t* p = argv[i]; *p; ++p) a.push_back(char16_t(*p));
        args.push_back(text::to_utf8(a));
    }
    return run(args);
}
#else
int main(int argc, char** argv)
{
    return run(ctl::Args(argv + 1, argv + argc));
}
#endif
