// Until the machine model answers device paths, none exists.
#include "platform/posix/model_dispatch.h"

namespace platform::posix {
namespace {

class NoModelDevices final : public Devices {
public:
    Error open(const std::u16string&, uint32_t, uint32_t, uint32_t, Handle&) override
    {
        return err::file_not_found;
    }
    Error control(Handle, uint32_t, const void*, uint32_t, void*, uint32_t, uint32_t& returned) override
    {
        returned = 0;
        return err::invalid_handle;
    }
    Error close(Handle) override { return err::invalid_handle; }
};

} // namespace

Devices& model_devices()
{
    static NoModelDevices devices;
    return devices;
}

} // namespace platform::posix
