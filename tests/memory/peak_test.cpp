// Memory stays bounded however large the suite's files get: the peak of live heap bytes while a
// settings file is loaded, counted by this binary's own allocator.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>

#include "app/settings.h"
#include "host/files.h"
#include "platform/forwarding.h"
#include "platform/platform.h"
#include "platform/system.h"
#include "text/text.h"

namespace {
std::atomic<int64_t> g_live{0};
std::atomic<int64_t> g_peak{0};
constexpr size_t header = 16; // keeps the block as aligned as malloc's

void* counted(size_t size)
{
    void* p = std::malloc(size + header);
    if (!p) throw std::bad_alloc();
    *static_cast<size_t*>(p) = size;
    const int64_t now = g_live += int64_t(size);
    for (int64_t peak = g_peak.load(); now > peak && !g_peak.compare_exchange_weak(peak, now);) {
    }
    return static_cast<char*>(p) + header;
}
void uncounted(void* p) noexcept
{
    if (!p) return;
    char* block = static_cast<char*>(p) - header;
    g_live -= int64_t(*reinterpret_cast<size_t*>(block));
    std::free(block);
}
} // namespace

void* operator new(size_t size) { return counted(size); }
void* operator new[](size_t size) { return counted(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept
{
    try {
        return counted(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t size, const std::nothrow_t& t) noexcept { return operator new(size, t); }
void operator delete(void* p) noexcept { uncounted(p); }
void operator delete[](void* p) noexcept { uncounted(p); }
void operator delete(void* p, size_t) noexcept { uncounted(p); }
void operator delete[](void* p, size_t) noexcept { uncounted(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { uncounted(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { uncounted(p); }

namespace {

// The native system with ALLUSERSPROFILE pointing at the test's folder.
class AllUsersAt : public platform::ForwardingSystem {
public:
    AllUsersAt(platform::System& real, std::u16string folder) : ForwardingSystem(real), folder_(std::move(folder)) {}
    platform::Error environment(const std::u16string& name, std::u16string& value) override
    {
        if (name != u"ALLUSERSPROFILE") return inner_.environment(name, value);
        value = folder_;
        return 0;
    }
    void debug_output(const std::u16string&) override {}

private:
    std::u16string folder_;
};

TEST(Memory, SettingsFilePeakStaysBounded)
{
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "zelmusb-memory-peak";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir / "halvar" / "cfg");
    std::u16string windows_dir = text::from_utf8(dir.string());
    for (auto& c : windows_dir)
        if (c == u'/') c = u'\\';
    AllUsersAt system(platform::system(), windows_dir);
    platform::Override<platform::System> o(&platform::Platform::system, system);

    struct Case {
        const char* what;
        size_t padding;
        int64_t peak_limit;
        bool read;
    };
    const Case cases[] = {
        // A real settings file is kilobytes; one just under the limit is read in a bounded
        // multiple of its size.
        {"just under the size limit", suite_file_limit - 100, int64_t(suite_file_limit) * 16, true},
        // A 100 MB file is not read at all.
        {"100 MB", 100u * 1024 * 1024, 1 << 20, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        {
            std::ofstream out(dir / "halvar" / "cfg" / "cfg.json", std::ios::binary | std::ios::trunc);
            out << "{\"usb\":{\"active\":1},\"pad\":\"" << std::string(c.padding, 'x') << "\"}";
        }
        const int64_t before = g_live.load();
        g_peak = before;
        SettingsFile f = LoadSettingsFile(u"cfg.json");
        const int64_t peak = g_peak.load() - before;
        RecordProperty(std::string("peak_bytes_") + (c.read ? "read" : "refused"), std::to_string(peak));
        std::printf("%s: peak %lld bytes above the start\n", c.what, static_cast<long long>(peak));
        EXPECT_LT(peak, c.peak_limit);
        EXPECT_EQ(f.doc->children.count(u"usb") != 0, c.read);
    }
    std::filesystem::remove_all(dir);
}

} // namespace
