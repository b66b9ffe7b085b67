// A suite program that captures the next plugged device: it holds the capture mutex for a while.
//   zelmuscapture.exe [--hold-ms N]   (default 60000)
#include "platform/platform.h"
#include "platform/sync.h"
#include "suite_common.h"

int suite_main(const suite::Args& args)
{
    const uint32_t hold = uint32_t(text::wtoi(args.get(u"--hold-ms", u"60000")));
    platform::Handle mutex = platform::null_handle;
    const platform::Error e = platform::sync().create_mutex(u"Global\\ZELMUSB_PROCESS_093021398320912801", mutex);
    if (e != platform::err::success && e != platform::err::already_exists) return 1;
    platform::sync().sleep(hold);
    platform::sync().close(mutex);
    return 0;
}
