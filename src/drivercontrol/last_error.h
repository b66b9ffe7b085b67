// The library's per-thread last error, as the Win32 calls leave GetLastError(): operations that
// answer with a boolean (Manager::Attach, Detach) leave their Windows code here.
#pragma once

#include <cstdint>

namespace ZelmUsbVardoManager {

uint32_t GetLastLibraryError();
void SetLastLibraryError(uint32_t code);

} // namespace ZelmUsbVardoManager
