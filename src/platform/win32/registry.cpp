// The registry on Windows, below HKEY_LOCAL_MACHINE, in its 64-bit view.
#include "platform/native.h"
#include "platform/registry.h"
#include "platform/win32/wide.h"

namespace platform::win32 {
namespace {

HKEY to_key(Handle h)
{
    return reinterpret_cast<HKEY>(static_cast<uintptr_t>(h));
}

// The handle value of a predefined root key must never pass as an opened key: the program only
// hands out keys it opened itself.
bool is_predefined(Handle h)
{
    const uint64_t high = h >> 32, low = h & 0xFFFFFFFFu;
    return (high == 0 || high == 0xFFFFFFFFu) && low >= 0x80000000u && low <= 0x80000006u;
}

class Win32Registry final : public Registry {
public:
    Error open_key(const std::u16string& path, uint32_t access, Handle& key) override
    {
        HKEY k = nullptr;
        const LSTATUS r = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(path), 0, access | KEY_WOW64_64KEY, &k);
        if (r != ERROR_SUCCESS) return Error(r);
        key = reinterpret_cast<uintptr_t>(k);
        return err::success;
    }

    Error create_key(const std::u16string& path, uint32_t access, Handle& key) override
    {
        HKEY k = nullptr;
        DWORD disposition = 0;
        const LSTATUS r = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, W(path), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                            access | KEY_WOW64_64KEY, nullptr, &k, &disposition);
        if (r != ERROR_SUCCESS) return Error(r);
        key = reinterpret_cast<uintptr_t>(k);
        return err::success;
    }

    Error close_key(Handle key) override
    {
        if (is_predefined(key)) return err::invalid_handle;
        return Error(::RegCloseKey(to_key(key)));
    }

    Error query_value(Handle key, const std::u16string& name, uint32_t& type, std::vector<uint8_t>& data) override
    {
        if (is_predefined(key)) return err::invalid_handle;
        std::vector<uint8_t> buffer;
        for (int attempt = 0; attempt < 8; ++attempt) {
            DWORD t = 0, size = 0;
            LSTATUS r = ::RegQueryValueExW(to_key(key), W(name), nullptr, &t, nullptr, &size);
            if (r != ERROR_SUCCESS) return Error(r);
            buffer.resize(size);
            r = ::RegQueryValueExW(to_key(key), W(name), nullptr, &t, buffer.empty() ? nullptr : buffer.data(), &size);
            if (r == ERROR_MORE_DATA) continue; // the value grew between the two calls
            if (r != ERROR_SUCCESS) return Error(r);
            buffer.resize(size);
            type = t;
            data = std::move(buffer);
            return err::success;
        }
        return err::more_data;
    }

    Error set_value(Handle key, const std::u16string& name, uint32_t type, std::span<const uint8_t> data) override
    {
        if (is_predefined(key)) return err::invalid_handle;
        return Error(::RegSetValueExW(to_key(key), W(name), 0, type, data.data(), DWORD(data.size())));
    }

    Error delete_value(Handle key, const std::u16string& name) override
    {
        if (is_predefined(key)) return err::invalid_handle;
        return Error(::RegDeleteValueW(to_key(key), W(name)));
    }

    Error enum_subkeys(Handle key, std::vector<std::u16string>& names) override
    {
        if (is_predefined(key)) return err::invalid_handle;
        std::vector<std::u16string> out;
        std::vector<wchar_t> name(256);
        for (DWORD i = 0;;) {
            DWORD len = DWORD(name.size());
            const LSTATUS r = ::RegEnumKeyExW(to_key(key), i, name.data(), &len, nullptr, nullptr, nullptr, nullptr);
            if (r == ERROR_NO_MORE_ITEMS) break;
            if (r == ERROR_MORE_DATA && name.size() < 32768) {
                name.resize(name.size() * 2);
                continue;
            }
            if (r != ERROR_SUCCESS) return Error(r);
            out.push_back(U(name.data(), len));
            ++i;
        }
        names = std::move(out);
        return err::success;
    }

    Error enum_values(Handle key, std::vector<RegistryValue>& values) override
    {
        if (is_predefined(key)) return err::invalid_handle;
        DWORD max_name = 0, max_data = 0;
        LSTATUS r = ::RegQueryInfoKeyW(to_key(key), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                       &max_name, &max_data, nullptr, nullptr);
        if (r != ERROR_SUCCESS) return Error(r);
        std::vector<wchar_t> name(max_name + 1);
        std::vector<uint8_t> data(max_data ? max_data : 1);
        std::vector<RegistryValue> out;
        for (DWORD i = 0;;) {
            DWORD name_len = DWORD(name.size()), data_len = DWORD(data.size()), type = 0;
            r = ::RegEnumValueW(to_key(key), i, name.data(), &name_len, nullptr, &type, data.data(), &data_len);
            if (r == ERROR_NO_MORE_ITEMS) break;
            if (r == ERROR_MORE_DATA) {
                // A value grew while we walked: make room and read it again.
                if (name.size() >= 32768 && data.size() >= data_len) return Error(r);
                if (name.size() < 32768) name.resize(name.size() * 2);
                if (data_len > data.size()) data.resize(data_len);
                else data.resize(data.size() * 2);
                continue;
            }
            if (r != ERROR_SUCCESS) return Error(r);
            out.push_back(RegistryValue{U(name.data(), name_len), type, {data.begin(), data.begin() + data_len}});
            ++i;
        }
        values = std::move(out);
        return err::success;
    }

    Error delete_key(const std::u16string& path) override
    {
        return Error(::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, W(path), KEY_WOW64_64KEY, 0));
    }

    Error delete_tree(const std::u16string& path) override
    {
        HKEY k = nullptr;
        LSTATUS r = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(path), 0,
                                    DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY,
                                    &k);
        if (r != ERROR_SUCCESS) return Error(r);
        r = ::RegDeleteTreeW(k, nullptr);
        ::RegCloseKey(k);
        if (r != ERROR_SUCCESS) return Error(r);
        return Error(::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, W(path), KEY_WOW64_64KEY, 0));
    }
};

} // namespace
} // namespace platform::win32

namespace platform::backend {
Registry* native_registry()
{
    static win32::Win32Registry registry;
    return &registry;
}
} // namespace platform::backend
