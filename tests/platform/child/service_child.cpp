// A service for the service manager tests, on both platforms.
//
// Windows: an own-process service that runs until it is sent the stop control.
// Linux: started by the emulated service manager without arguments; what it does depends on its
// service name (ZELMUSB_SERVICE_NAME):
//   ...silent...  never reports ready (a driver whose start never completes)
//   ...quit...    ends at once without reporting ready
//   ...mute...    closes its ready descriptor without a word, then waits to be ended
//   otherwise     reports ready when it has a ready descriptor (a kernel driver), writes its process
//                 id to <platform root>/<name>.pid and runs until SIGTERM, then exits 0.
// Whatever happens, it ends by itself after two minutes, so a broken test never leaves it behind.
//
// Linux, with arguments: `hold <service name> <file>` opens the service through the platform,
// creates <file>.held, and exits without closing its handle once <file> exists (a process that
// dies holding a handle).
#ifdef _WIN32
#include <windows.h>

namespace {
SERVICE_STATUS_HANDLE status_handle;
HANDLE stop_event;

void report(DWORD state)
{
    SERVICE_STATUS s{};
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = state;
    s.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    ::SetServiceStatus(status_handle, &s);
}

DWORD WINAPI handler(DWORD control, DWORD, LPVOID, LPVOID)
{
    if (control == SERVICE_CONTROL_STOP) {
        report(SERVICE_STOP_PENDING);
        ::SetEvent(stop_event);
    }
    return NO_ERROR;
}

void WINAPI service_main(DWORD, LPWSTR* argv)
{
    status_handle = ::RegisterServiceCtrlHandlerExW(argv[0], handler, nullptr);
    if (!status_handle) return;
    stop_event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    report(SERVICE_RUNNING);
    ::WaitForSingleObject(stop_event, 120000);
    report(SERVICE_STOPPED);
}
} // namespace

int main()
{
    wchar_t name[] = L"";
    SERVICE_TABLE_ENTRYW table[] = {{name, service_main}, {nullptr, nullptr}};
    return ::StartServiceCtrlDispatcherW(table) ? 0 : 1;
}

#else
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "platform/platform.h"
#include "platform/services.h"
#include "text/text.h"

namespace {
volatile sig_atomic_t stop_requested = 0;
void on_term(int) { stop_requested = 1; }
} // namespace

int hold(const std::string& name, const std::string& file)
{
    platform::Handle manager = 0, service = 0;
    if (platform::services().open_manager(platform::service::manager_all_access, manager)) return 2;
    if (platform::services().open(manager, text::from_utf8(name), platform::service::all_access, service)) return 3;
    if (FILE* f = std::fopen((file + ".held").c_str(), "w")) std::fclose(f);
    for (int i = 0; i < 60 * 100 && ::access(file.c_str(), F_OK) != 0; ++i) ::usleep(10 * 1000);
    return 0;
}

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "hold") return hold(argv[2], argv[3]);
    const char* n = std::getenv("ZELMUSB_SERVICE_NAME");
    const std::string name = n ? n : "";
    const char* fd_text = std::getenv("ZELMUSB_READY_FD");
    const int ready_fd = fd_text ? std::atoi(fd_text) : -1;

    struct sigaction sa {};
    sa.sa_handler = on_term;
    ::sigaction(SIGTERM, &sa, nullptr);

    if (name.find("quit") != std::string::npos) return 0;
    if (name.find("mute") != std::string::npos) {
        if (ready_fd >= 0) ::close(ready_fd);
    } else if (name.find("silent") == std::string::npos) {
        if (const char* root = std::getenv("ZELMUSB_PLATFORM_ROOT")) {
            const std::string path = std::string(root) + "/" + name + ".pid";
            if (FILE* f = std::fopen(path.c_str(), "w")) {
                std::fprintf(f, "%d", int(::getpid()));
                std::fclose(f);
            }
        }
        if (ready_fd >= 0) {
            const char byte = 1;
            [[maybe_unused]] ssize_t w = ::write(ready_fd, &byte, 1);
            ::close(ready_fd);
        }
    }
    for (int i = 0; i < 120 * 100 && !stop_requested; ++i) ::usleep(10 * 1000);
    return 0;
}
#endif
