// usbsim: the USB world seen from the driver's side, for demos and tests.
//
//   usbsim raise <device.json> [--hub] [--wait]   a device arrives: the driver holds it and asks
//                                                 the registered user test; prints the request id
//                                                 and, with --wait, the verdict once it is known
//                                                 (and on standard error, when it takes more than a
//                                                 second, what it waits for: waiting.h)
//   usbsim state                                  prints the driver's state and journal
//   usbsim plug <port path> [--wait-ms N]         the device the machine model describes at that
//                                                 port arrives: raised with its device document,
//                                                 kept or disconnected by its verdict (plug.h)
//   usbsim unplug <port path>                     the device at that port leaves the machine
//
// A port path is <controller index>-<port>[.<port>...]: "0-3" is port 3 of controller 0's root
// hub, "0-1.2" port 2 of the hub on its port 1.
//
// The device document is read as UTF-8, or UTF-16LE when it starts with that byte-order mark;
// vendor, product and revision come from its "idVendor", "idProduct" and "bcdDevice".
// Exit: 0 done, 1 bad command line, 2 the file or the driver failed (the Windows code is printed).
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "driver_client.h"
#include "plug.h"
#include "waiting.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/sync.h"
#include "text/text.h"

namespace {

using Args = std::vector<std::string>;

int usage()
{
    std::fprintf(stderr, "usage: usbsim raise <device.json> [--hub] [--wait]\n"
                         "       usbsim state\n"
                         "       usbsim plug <port path> [--wait-ms N]\n"
                         "       usbsim unplug <port path>\n"
                         "a port path is <controller index>-<port>[.<port>...], e.g. 0-3 or 0-1.2\n");
    return 1;
}

int failed(const char* what, platform::Error e)
{
    std::fprintf(stderr, "usbsim: %s failed: error %u\n", what, e);
    return 2;
}

constexpr uint32_t max_file_bytes = ZD_MAX_DOCUMENT_BYTES * 2;

platform::Error read_document(const std::string& path, std::u16string& document)
{
    platform::Handle file = platform::null_handle;
    if (platform::Error e = platform::files().open(text::from_utf8(path), 0x80000000u, 1, 3, 0, file)) return e;
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    uint32_t got = 0;
    platform::Error e = platform::err::success;
    while (!(e = platform::files().read(file, chunk, sizeof chunk, got)) && got) {
        bytes.insert(bytes.end(), chunk, chunk + got);
        if (bytes.size() > max_file_bytes) {
            e = platform::err::invalid_parameter;
            break;
        }
    }
    platform::files().close(file);
    if (e) return e;
    document.clear();
    if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) document.push_back(char16_t(bytes[i] | bytes[i + 1] << 8));
    } else {
        size_t start = bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF ? 3 : 0;
        document = text::from_utf8(std::string(bytes.begin() + start, bytes.end()));
    }
    return platform::err::success;
}

// The first number after the member `"name":`; 0 when there is none.
uint16_t member_number(const std::u16string& doc, const std::u16string& name)
{
    const std::u16string key = u"\"" + name + u"\"";
    size_t at = doc.find(key);
    if (at == std::u16string::npos) return 0;
    at += key.size();
    while (at < doc.size() && (doc[at] == u' ' || doc[at] == u':' || doc[at] == u'\t' || doc[at] == u'\r' || doc[at] == u'\n')) ++at;
    uint32_t v = 0;
    while (at < doc.size() && doc[at] >= u'0' && doc[at] <= u'9' && v <= 0xFFFF) v = v * 10 + (doc[at++] - u'0');
    return static_cast<uint16_t>(v);
}

int raise_command(const Args& args)
{
    std::string path;
    bool hub = false, wait = false;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--hub")
            hub = true;
        else if (args[i] == "--wait")
            wait = true;
        else if (path.empty() && args[i].rfind("--", 0) != 0)
            path = args[i];
        else
            return usage();
    }
    if (path.empty()) return usage();
    std::u16string document;
    if (platform::Error e = read_document(path, document)) return failed("reading the device document", e);

    driver_client::DriverClient driver;
    if (platform::Error e = driver.open()) return failed("opening the driver", e);
    driver_client::RaiseHeader header;
    header.hub = hub;
    header.vid = member_number(document, u"idVendor");
    header.pid = member_number(document, u"idProduct");
    header.rev = member_number(document, u"bcdDevice");
    uint64_t id = 0;
    if (platform::Error e = driver.raise(header, document, id)) return failed("raise", e);
    std::printf("request %llu\n", static_cast<unsigned long long>(id));
    if (!wait) return 0;

    uint32_t bound_ms = 0;
    if (platform::Error e = driver.verdict_bound(bound_ms)) return failed("reading the driver state", e);
    driver_client::Verdict v;
    driver_client::WaitNarrator narrator(id, bound_ms - 5000, driver_client::menu_is_asking,
                                         driver_client::say_on_stderr);
    const platform::Error e = driver.await_verdict(id, bound_ms, v, std::ref(narrator));
    if (e && e != platform::err::timeout) return failed("reading the verdict", e);
    std::printf("verdict %s\n", driver_client::verdict_text(v).c_str());
    return 0;
}

int state_command(const Args& args)
{
    if (args.size() != 1) return usage();
    driver_client::DriverClient driver;
    if (platform::Error e = driver.open()) return failed("opening the driver", e);
    driver_client::DriverState state;
    if (platform::Error e = driver.state(state)) return failed("reading the driver state", e);
    for (const std::string& line : driver_client::state_lines(state)) std::printf("%s\n", line.c_str());
    return 0;
}

// One entry per verb.
const std::map<std::string, std::function<int(const Args&)>> commands = {
    {"raise", raise_command},
    {"state", state_command},
    {"plug", usbsim::plug_command},
    {"unplug", usbsim::unplug_command},
};

int usbsim_main(const Args& args)
{
    if (args.empty()) return usage();
    auto it = commands.find(args[0]);
    return it == commands.end() ? usage() : it->second(args);
}

} // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv)
{
    Args args;
    for (int i = 1; i < argc; ++i) {
        std::u16string a;
        for (const wchar_t* p = argv[i]; *p; ++p) a.push_back(char16_t(*p));
        args.push_back(text::to_utf8(a));
    }
    return usbsim_main(args);
}
#else
int main(int argc, char** argv)
{
    return usbsim_main(Args(argv + 1, argv + argc));
}
#endif
