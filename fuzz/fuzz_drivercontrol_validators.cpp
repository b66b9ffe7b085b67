// The two validators of documents the driver reads, the configuration file and an admittance
// file, over any JSON text (the input taken as UTF-8). Each answers 0 or 592 with its text, never
// anything undefined; what passes must hold only values the driver can take, and an admittance
// document that passes must still pass after a record is merged into it.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "drivercontrol/admittance.h"
#include "drivercontrol/manager.h"
#include "json/holder/json_holder.h"
#include "text/text.h"

using namespace ZelmUsbVardoManager;

namespace {

bool whole_in(const JsonHolder& v, double max)
{
    if (v.GetTyp() != JsonHolderType::Number) return false;
    const double d = v.NumberVal();
    return d >= 0 && d <= max && std::floor(d) == d;
}

void check_config(const JsonHolder& doc)
{
    std::u16string status;
    const uint32_t code = Manager::ValidateConfigJson(doc, status);
    if (code != 0) {
        if (code != 592 || status != u"Bad data in config file; err=0x00000250") std::abort();
        return;
    }
    if (doc.GetTyp() != JsonHolderType::Object) std::abort();
    for (const char16_t* name : {u"capture", u"filter", u"notify_handle", u"hubs_always_accepted"}) {
        if (!doc.HasField(name)) continue;
        const JsonHolder& v = doc[name];
        if (v.GetTyp() != JsonHolderType::Bool && !whole_in(v, 1)) std::abort();
    }
    if (doc.HasField(u"filesAndCacheMode") && !whole_in(doc[u"filesAndCacheMode"], 3)) std::abort();
}

void check_admittance(const JsonHolder& doc)
{
    std::u16string status;
    const uint32_t code = Admittance::ValidateAdmittancesJson(doc, status);
    if (code != 0) {
        if (code != 592 || status != u"Bad data in admittance file; err=0x00000250") std::abort();
        return;
    }
    for (const char16_t* name : {u"VendorID", u"ProductID", u"RevBCD"})
        if (!whole_in(doc[name], 65535)) std::abort();
    JsonHolder merged(doc);
    const uint64_t before = merged[u"SerialNumbers"].Count();
    if (Admittance(1, 2, 3, u"fuzz", false).AddToJsonHolder(merged, status) != 0) std::abort();
    if (Admittance(1, 2, 3).AddToJsonHolder(merged, status) != 0) std::abort();
    if (merged[u"SerialNumbers"].Count() > before + 2) std::abort();
    if (Admittance::ValidateAdmittancesJson(merged, status) != 0) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::u16string input = text::from_utf8(std::string_view(reinterpret_cast<const char*>(data), size));
    JsonHolder doc;
    std::u16string error;
    if (!JsonHolder::Parse(input, doc, error)) return 0;
    check_config(doc);
    check_admittance(doc);
    return 0;
}
