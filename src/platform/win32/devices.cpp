// Device paths on Windows: CreateFileW, DeviceIoControl and CloseHandle, the real calls.
#include "platform/devices.h"
#include "platform/native.h"
#include "platform/win32/wide.h"

namespace platform::win32 {
namespace {

class Win32Devices final : public Devices {
public:
    Error open(const std::u16string& path, uint32_t desired_access, uint32_t share_mode,
               uint32_t flags_and_attributes, Handle& device) override
    {
        device = null_handle;
        const HANDLE h = ::CreateFileW(W(path), desired_access, share_mode, nullptr, OPEN_EXISTING,
                                       flags_and_attributes, nullptr);
        if (h == INVALID_HANDLE_VALUE || h == nullptr) return last_error();
        device = to_handle(h);
        return err::success;
    }

    Error control(Handle device, uint32_t code, const void* input, uint32_t input_size, void* output,
                  uint32_t output_size, uint32_t& returned) override
    {
        DWORD n = 0;
        const BOOL ok = ::DeviceIoControl(from_handle(device), code, const_cast<void*>(input), input_size,
                                          output, output_size, &n, nullptr);
        returned = n;
        return ok ? err::success : last_error();
    }

    Error close(Handle device) override
    {
        return ::CloseHandle(from_handle(device)) ? err::success : last_error();
    }
};

} // namespace
} // namespace platform::win32

namespace platform::backend {
Devices* native_devices()
{
    static win32::Win32Devices instance;
    return &instance;
}
} // namespace platform::backend
