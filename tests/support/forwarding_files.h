// A files family that passes every call to another one: a test overrides the calls it breaks
// (a full disk, a refused deletion) and keeps the rest real.
#pragma once

#include "platform/files.h"

namespace platform_test {

class ForwardingFiles : public platform::Files {
public:
    explicit ForwardingFiles(platform::Files& real) : real_(real) {}

    platform::Error open(const std::u16string& p, uint32_t a, uint32_t s, uint32_t d, uint32_t f,
                         platform::Handle& h) override
    {
        return real_.open(p, a, s, d, f, h);
    }
    platform::Error read(platform::Handle h, void* b, uint32_t n, uint32_t& r) override { return real_.read(h, b, n, r); }
    platform::Error write(platform::Handle h, const void* b, uint32_t n, uint32_t& w) override
    {
        return real_.write(h, b, n, w);
    }
    platform::Error size(platform::Handle h, uint64_t& s) override { return real_.size(h, s); }
    platform::Error close(platform::Handle h) override { return real_.close(h); }
    platform::Error remove(const std::u16string& p) override { return real_.remove(p); }
    platform::Error create_directory(const std::u16string& p) override { return real_.create_directory(p); }
    uint32_t attributes(const std::u16string& p, platform::Error& e) override { return real_.attributes(p, e); }
    platform::Error find(const std::u16string& p, std::vector<platform::FindEntry>& e) override { return real_.find(p, e); }
    platform::Error move_replace(const std::u16string& f, const std::u16string& t) override
    {
        return real_.move_replace(f, t);
    }
    int stat(const std::u16string& p, bool& d) override { return real_.stat(p, d); }
    int make_writable(const std::u16string& p) override { return real_.make_writable(p); }
    uint32_t drive_type(const std::u16string& r) override { return real_.drive_type(r); }

protected:
    platform::Files& real_;
};

} // namespace platform_test
