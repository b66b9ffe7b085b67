// zelmarusb: installs the native platform and runs the application.
#include "app/app.h"
#include "platform/platform.h"
#include "platform/processes.h"

#ifdef _WIN32
int wmain(int, wchar_t**)
#else
int main(int, char**)
#endif
{
    platform::install(platform::native());
    CzelmarusbApp app(platform::processes().current_arguments());
    app.InitInstance();
    // Worker threads (the pipe listener above all) never end by themselves: the process ends here
    // at once, with exit code 0 in every mode, rather than tearing down state they may still use.
    platform::processes().terminate_current(0);
    return 0; // not reached; wmain, unlike main, has no implicit return
}
