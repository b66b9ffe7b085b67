// The Configuration Manager and SetupAPI on Windows: each call is the real one, its result passed
// through.
#include <cstring>
#include <vector>

#include <windows.h>
// After windows.h:
#include <cfgmgr32.h>
#include <setupapi.h>

#include "platform/devicetree.h"
#include "platform/native.h"
#include "platform/win32/wide.h"

namespace platform::win32 {
namespace {

GUID to_guid(const Guid& g)
{
    GUID out;
    out.Data1 = g.data1;
    out.Data2 = g.data2;
    out.Data3 = g.data3;
    std::memcpy(out.Data4, g.data4.data(), 8);
    return out;
}

Guid from_guid(const GUID& g)
{
    Guid out;
    out.data1 = g.Data1;
    out.data2 = g.Data2;
    out.data3 = g.Data3;
    std::memcpy(out.data4.data(), g.Data4, 8);
    return out;
}

HDEVINFO set_of(Handle h)
{
    return reinterpret_cast<HDEVINFO>(static_cast<uintptr_t>(h));
}

SP_DEVICE_INTERFACE_DATA interface_data(const DeviceInterface& iface)
{
    SP_DEVICE_INTERFACE_DATA d{};
    d.cbSize = sizeof d;
    d.InterfaceClassGuid = to_guid(iface.interface_class_guid);
    d.Flags = iface.flags;
    d.Reserved = static_cast<ULONG_PTR>(iface.reserved);
    return d;
}

class Win32DeviceTree final : public DeviceTree {
public:
    uint32_t locate_root(DevNode& root) override
    {
        DEVINST dn = 0;
        const CONFIGRET r = ::CM_Locate_DevNodeW(&dn, nullptr, CM_LOCATE_DEVNODE_NORMAL);
        if (r == CR_SUCCESS) root = dn;
        return r;
    }

    uint32_t child(DevNode node, DevNode& result) override { return relative(::CM_Get_Child, node, result); }
    uint32_t sibling(DevNode node, DevNode& result) override { return relative(::CM_Get_Sibling, node, result); }
    uint32_t parent(DevNode node, DevNode& result) override { return relative(::CM_Get_Parent, node, result); }

    uint32_t device_id_size(DevNode node, uint32_t& length) override
    {
        ULONG n = 0;
        const CONFIGRET r = ::CM_Get_Device_ID_Size(&n, node, 0);
        if (r == CR_SUCCESS) length = n;
        return r;
    }

    uint32_t device_id(DevNode node, uint32_t buffer_length, std::u16string& id) override
    {
        // One more character than the caller's buffer, always NUL, so the text ends whatever the
        // call leaves in it.
        std::vector<wchar_t> buffer(size_t(buffer_length) + 1, L'\0');
        const CONFIGRET r = ::CM_Get_Device_IDW(node, buffer.data(), buffer_length, 0);
        if (r == CR_SUCCESS || r == CR_BUFFER_SMALL) {
            size_t n = 0;
            while (n < buffer_length && buffer[n]) ++n;
            id = U(buffer.data(), n);
        }
        return r;
    }

    uint32_t registry_property(DevNode node, uint32_t property, uint32_t& type, std::span<uint8_t> buffer,
                               uint32_t& length) override
    {
        if (length > buffer.size()) return CR_INVALID_POINTER;
        ULONG t = 0;
        ULONG n = length;
        const CONFIGRET r = ::CM_Get_DevNode_Registry_PropertyW(node, property, &t, n ? buffer.data() : nullptr, &n, 0);
        if (r == CR_SUCCESS || r == CR_BUFFER_SMALL) {
            type = t;
            length = n;
        }
        return r;
    }

    Error get_class_devs(const Guid& guid, uint32_t flags, Handle& set) override
    {
        const GUID g = to_guid(guid);
        const HDEVINFO h = ::SetupDiGetClassDevsW(&g, nullptr, nullptr, flags);
        if (h == INVALID_HANDLE_VALUE) return last_error();
        set = static_cast<Handle>(reinterpret_cast<uintptr_t>(h));
        return err::success;
    }

    Error enum_device_info(Handle set, uint32_t index, DeviceInfo& info) override
    {
        SP_DEVINFO_DATA d{};
        d.cbSize = sizeof d;
        if (!::SetupDiEnumDeviceInfo(set_of(set), index, &d)) return last_error();
        info.class_guid = from_guid(d.ClassGuid);
        info.devinst = d.DevInst;
        return err::success;
    }

    Error enum_device_interfaces(Handle set, const Guid& guid, uint32_t index, DeviceInterface& iface) override
    {
        const GUID g = to_guid(guid);
        SP_DEVICE_INTERFACE_DATA d{};
        d.cbSize = sizeof d;
        if (!::SetupDiEnumDeviceInterfaces(set_of(set), nullptr, &g, index, &d)) return last_error();
        iface.interface_class_guid = from_guid(d.InterfaceClassGuid);
        iface.flags = d.Flags;
        iface.reserved = static_cast<uint64_t>(d.Reserved);
        return err::success;
    }

    Error interface_detail(Handle set, const DeviceInterface& iface, uint32_t buffer_size, uint32_t& required_size,
                           std::u16string& device_path) override
    {
        SP_DEVICE_INTERFACE_DATA d = interface_data(iface);
        DWORD required = 0;
        if (buffer_size == 0) {
            if (::SetupDiGetDeviceInterfaceDetailW(set_of(set), &d, nullptr, 0, &required, nullptr))
                return err::success; // never happens: there is always a path to place
            const Error e = last_error();
            required_size = required;
            return e;
        }
        // Aligned for the record's size field; the path follows it.
        std::vector<uint64_t> storage((size_t(buffer_size) + 7) / 8 + 1, 0);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!::SetupDiGetDeviceInterfaceDetailW(set_of(set), &d, detail, buffer_size, &required, nullptr)) {
            const Error e = last_error();
            if (e == err::insufficient_buffer) required_size = required;
            return e;
        }
        required_size = required;
        // The path ends at its NUL or at the end of the caller's buffer, whichever comes first.
        const size_t room = (buffer_size - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(wchar_t);
        size_t n = 0;
        while (n < room && detail->DevicePath[n]) ++n;
        device_path = U(detail->DevicePath, n);
        return err::success;
    }

    Error destroy_info_list(Handle set) override
    {
        if (!::SetupDiDestroyDeviceInfoList(set_of(set))) return last_error();
        return err::success;
    }

private:
    template <class Call>
    static uint32_t relative(Call call, DevNode node, DevNode& result)
    {
        DEVINST r = 0;
        const CONFIGRET c = call(&r, node, 0);
        if (c == CR_SUCCESS) result = r;
        return c;
    }
};

} // namespace
} // namespace platform::win32

namespace platform::backend {
DeviceTree* native_devicetree()
{
    static win32::Win32DeviceTree tree;
    return &tree;
}

model::Engine* native_machine()
{
    return nullptr;
}
} // namespace platform::backend
