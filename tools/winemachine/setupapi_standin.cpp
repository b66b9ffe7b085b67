// The native setupapi.dll (and cfgmgr32.dll) of the Wine test machine (test equipment, never
// shipped). Wine 8's Configuration Manager walk and device-node properties are stubs, so the
// tested program is given this DLL instead, for its executable alone (an AppDefaults DLL
// override): it exports exactly the SetupAPI and Configuration Manager calls the program imports
// and answers them from the machine file through the machine model's device tree, the code that
// answers the Linux build. An import it lacks ends the program at its first call, loudly.
//
// The machine file is "machine.json" beside this DLL (the program's own folder): the copy that the
// program starts as a service inherits no environment from the test.
// This DLL defines what the headers declare as imports.
#define _SETUPAPI_
#define _CFGMGR32_
#include <windows.h>
// After windows.h:
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstring>
#include <filesystem>
#include <memory>

#include "platform/model/families.h"

namespace {

namespace model = platform::model;

std::filesystem::path machine_file()
{
    HMODULE self = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&machine_file), &self);
    wchar_t path[MAX_PATH * 2] = {};
    ::GetModuleFileNameW(self, path, MAX_PATH * 2);
    return std::filesystem::path(path).parent_path() / L"machine.json";
}

model::ModelDeviceTree& tree()
{
    static model::Engine engine(std::make_unique<model::PathStore>(machine_file()));
    static model::ModelDeviceTree instance(engine);
    return instance;
}

platform::Guid from_guid(const GUID& g)
{
    platform::Guid out;
    out.data1 = g.Data1;
    out.data2 = g.Data2;
    out.data3 = g.Data3;
    std::memcpy(out.data4.data(), g.Data4, 8);
    return out;
}

GUID to_guid(const platform::Guid& g)
{
    GUID out;
    out.Data1 = g.data1;
    out.Data2 = g.data2;
    out.Data3 = g.data3;
    std::memcpy(out.Data4, g.data4.data(), 8);
    return out;
}

platform::Handle set_of(HDEVINFO set)
{
    return static_cast<platform::Handle>(reinterpret_cast<uintptr_t>(set));
}

BOOL fail(DWORD error)
{
    ::SetLastError(error);
    return FALSE;
}

CONFIGRET relative(uint32_t (model::ModelDeviceTree::*call)(platform::DevNode, platform::DevNode&), PDEVINST result,
                   DEVINST node)
{
    if (!result) return CR_INVALID_POINTER;
    *result = 0;
    platform::DevNode r = 0;
    const uint32_t c = (tree().*call)(node, r);
    if (c == CR_SUCCESS) *result = r;
    return c;
}

} // namespace

extern "C" {

CONFIGRET WINAPI CM_Locate_DevNodeW(PDEVINST node, DEVINSTID_W id, ULONG flags)
{
    if (!node) return CR_INVALID_POINTER;
    // Only the root is asked for by the program.
    if (id && *id) return CR_NO_SUCH_DEVNODE;
    platform::DevNode root = 0;
    const uint32_t c = tree().locate_root(root);
    if (c == CR_SUCCESS) *node = root;
    return c;
}

CONFIGRET WINAPI CM_Get_Child(PDEVINST child, DEVINST node, ULONG flags)
{
    return relative(&model::ModelDeviceTree::child, child, node);
}

CONFIGRET WINAPI CM_Get_Sibling(PDEVINST sibling, DEVINST node, ULONG flags)
{
    return relative(&model::ModelDeviceTree::sibling, sibling, node);
}

CONFIGRET WINAPI CM_Get_Parent(PDEVINST parent, DEVINST node, ULONG flags)
{
    return relative(&model::ModelDeviceTree::parent, parent, node);
}

CONFIGRET WINAPI CM_Get_Device_ID_Size(PULONG length, DEVINST node, ULONG flags)
{
    if (!length) return CR_INVALID_POINTER;
    uint32_t n = 0;
    const uint32_t c = tree().device_id_size(node, n);
    if (c == CR_SUCCESS) *length = n;
    return c;
}

CONFIGRET WINAPI CM_Get_Device_IDW(DEVINST node, PWSTR buffer, ULONG length, ULONG flags)
{
    if (!buffer || length == 0) return CR_INVALID_POINTER;
    std::u16string id;
    const uint32_t c = tree().device_id(node, length, id);
    if (c == CR_SUCCESS || c == CR_BUFFER_SMALL) {
        std::memcpy(buffer, id.data(), id.size() * 2);
        // The terminator when there is room for it, as the real call writes it.
        if (id.size() < length) buffer[id.size()] = L'\0';
    }
    return c;
}

CONFIGRET WINAPI CM_Get_DevNode_Registry_PropertyW(DEVINST node, ULONG property, PULONG type, PVOID buffer,
                                                   PULONG length, ULONG flags)
{
    if (!length || (*length && !buffer)) return CR_INVALID_POINTER;
    uint32_t t = 0;
    uint32_t n = *length;
    const uint32_t c = tree().registry_property(
        node, property, t, std::span<uint8_t>(static_cast<uint8_t*>(buffer), buffer ? *length : 0), n);
    if (c == CR_SUCCESS || c == CR_BUFFER_SMALL) {
        if (type) *type = t;
        *length = n;
    }
    return c;
}

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* guid, PCWSTR enumerator, HWND parent, DWORD flags)
{
    platform::Handle set = 0;
    const platform::Error e = tree().get_class_devs(guid ? from_guid(*guid) : platform::Guid{}, flags, set);
    if (e) {
        ::SetLastError(e);
        return INVALID_HANDLE_VALUE;
    }
    return reinterpret_cast<HDEVINFO>(static_cast<uintptr_t>(set));
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data)
{
    if (!data) return fail(ERROR_INVALID_PARAMETER);
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
    platform::DeviceInfo info;
    if (const platform::Error e = tree().enum_device_info(set_of(set), index, info)) return fail(e);
    data->ClassGuid = to_guid(info.class_guid);
    data->DevInst = info.devinst;
    data->Reserved = 0;
    return TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA device, const GUID* guid, DWORD index,
                                        PSP_DEVICE_INTERFACE_DATA data)
{
    // The program enumerates a whole set, never the interfaces of one device.
    if (!guid || !data || device) return fail(ERROR_INVALID_PARAMETER);
    if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
    platform::DeviceInterface iface;
    if (const platform::Error e = tree().enum_device_interfaces(set_of(set), from_guid(*guid), index, iface))
        return fail(e);
    data->InterfaceClassGuid = to_guid(iface.interface_class_guid);
    data->Flags = iface.flags;
    data->Reserved = static_cast<ULONG_PTR>(iface.reserved);
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size, PDWORD required,
                                             PSP_DEVINFO_DATA device)
{
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return fail(ERROR_INVALID_PARAMETER);
    if ((detail && size < offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + sizeof(WCHAR)) ||
        (!detail && size))
        return fail(ERROR_INVALID_USER_BUFFER);
    if (detail && detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return fail(ERROR_INVALID_USER_BUFFER);
    if (device && device->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
    platform::DeviceInterface iface;
    iface.interface_class_guid = from_guid(data->InterfaceClassGuid);
    iface.flags = data->Flags;
    iface.reserved = data->Reserved;
    uint32_t needed = 0;
    std::u16string path;
    const platform::Error e = tree().interface_detail(set_of(set), iface, detail ? size : 0, needed, path);
    if (required && (e == 0 || e == ERROR_INSUFFICIENT_BUFFER)) *required = needed;
    if (e) return fail(e);
    std::memcpy(detail->DevicePath, path.data(), path.size() * 2);
    detail->DevicePath[path.size()] = L'\0';
    if (device) {
        platform::DeviceInfo info;
        if (tree().enum_device_info(set_of(set), DWORD(data->Reserved - 1), info) == 0) {
            device->ClassGuid = to_guid(info.class_guid);
            device->DevInst = info.devinst;
        }
    }
    return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set)
{
    if (const platform::Error e = tree().destroy_info_list(set_of(set))) return fail(e);
    return TRUE;
}

} // extern "C"
