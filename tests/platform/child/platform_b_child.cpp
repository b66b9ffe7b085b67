// The other process of the cross-process tests of mutexes and events. It uses the platform layer
// exactly as a second program of the machine would, and answers through its exit code.
//
//   hold-mutex <mutex> <quit-event>   creates the mutex and holds it until the named event is set
//                                     (or a minute has passed); 0, or 10 + the create error
//   set-event <pid> <handle value>    opens the event that the value names in process <pid> and
//                                     sets it; 0, or the error of the open
//   open-file <path> <access> <share> opens an existing file with that access and share mode
//                                     (decimal) and closes it; 0, or the error of the open
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/files.h"
#include "platform/platform.h"
#include "platform/sync.h"
#include "text/text.h"

int main(int argc, char** argv)
{
    const std::string command = argc > 1 ? argv[1] : "";
    platform::Sync& sync = platform::sync();

    if (command == "hold-mutex" && argc == 4) {
        platform::Handle mutex = platform::null_handle, quit = platform::null_handle;
        const platform::Error e = sync.create_mutex(text::from_utf8(argv[2]), mutex);
        if (e != platform::err::success) return 10 + static_cast<int>(e % 200);
        const platform::Error q = sync.create_event(true, false, text::from_utf8(argv[3]), quit);
        if (q != platform::err::success && q != platform::err::already_exists) return 9;
        sync.wait(quit, 60000);
        sync.close(quit);
        sync.close(mutex);
        return 0;
    }

    if (command == "set-event" && argc == 4) {
        const uint32_t pid = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
        const platform::Handle value = std::strtoull(argv[3], nullptr, 10);
        platform::Handle event = platform::null_handle;
        if (platform::Error e = sync.open_event_of(pid, value, event)) return static_cast<int>(e);
        const platform::Error e = sync.set_event(event);
        sync.close(event);
        return static_cast<int>(e);
    }

    if (command == "open-file" && argc == 5) {
        platform::Files& files = platform::files();
        platform::Handle file = platform::null_handle;
        const platform::Error e =
            files.open(text::from_utf8(argv[2]), uint32_t(std::strtoul(argv[3], nullptr, 10)),
                       uint32_t(std::strtoul(argv[4], nullptr, 10)), platform::disposition::open_existing,
                       platform::attribute::normal, file);
        if (e == platform::err::success) files.close(file);
        return static_cast<int>(e % 200);
    }

    std::fprintf(stderr, "usage: platform_b_child hold-mutex <mutex> <quit-event> | set-event <pid> <value> | "
                         "open-file <path> <access> <share>\n");
    return 2;
}
