// One test at a time on what a Windows machine has only once: the service manager's ZelmUsb
// service (the driver and its control device \\.\ZelmUsb) and the debug-output channel the
// whole-process tests read their traces from.
//
// Under Wine every test binary of a build shares one prefix, so one service manager and one
// wineserver: two binaries run side by side (ctest -j, or two runs of the same build) would stop,
// delete and reload each other's driver, take each other's registration and read each other's
// traces. The lock is a named mutex, so it holds across processes exactly as far as the machine
// they share; a holder that dies leaves it abandoned, which the next one takes as its own.
// On Linux every test builds its own emulated machine, and the lock is nothing.
#pragma once

#ifdef _WIN32
#include <windows.h>
#endif

namespace platform_test {

class MachineLock {
public:
#ifdef _WIN32
    MachineLock() : mutex_(::CreateMutexW(nullptr, FALSE, L"ZelmUsbTestMachine"))
    {
        if (mutex_) {
            const DWORD r = ::WaitForSingleObject(mutex_, INFINITE);
            held_ = r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
        }
    }
    ~MachineLock()
    {
        if (held_) ::ReleaseMutex(mutex_);
        if (mutex_) ::CloseHandle(mutex_);
    }
    bool held() const { return held_; }
#else
    MachineLock() = default;
    bool held() const { return true; }
#endif
    MachineLock(const MachineLock&) = delete;
    MachineLock& operator=(const MachineLock&) = delete;

private:
#ifdef _WIN32
    HANDLE mutex_ = nullptr;
    bool held_ = false;
#endif
};

} // namespace platform_test
