#include "drivercontrol/last_error.h"

namespace ZelmUsbVardoManager {

namespace {
thread_local uint32_t last_error = 0;
}

uint32_t GetLastLibraryError() { return last_error; }
void SetLastLibraryError(uint32_t code) { last_error = code; }

} // namespace ZelmUsbVardoManager
