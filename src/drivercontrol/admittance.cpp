#include "drivercontrol/admittance.h"

#include "drivercontrol/json_util.h"
#include "drivercontrol/status_text.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "text/text.h"

namespace ZelmUsbVardoManager {

namespace {

using platform::err::bad_data;

template <class T>
int three_way(T a, T b)
{
    return a < b ? -1 : (b < a ? 1 : 0);
}

// The entry of `record` in "SerialNumbers": the first with exactly its serial number, or the
// first without one.
JsonHolder* find_entry(JsonHolder& serials, const Admittance& record)
{
    const int count = int(serials.Count());
    for (int i = 0; i < count; ++i) {
        JsonHolder& entry = serials[i];
        const bool has = entry.HasField(u"SerialNumber");
        if (record.hasSerialNumber) {
            if (has && entry[u"SerialNumber"].StringVal() == record.SerialNumber) return &entry;
        } else if (!has) {
            return &entry;
        }
    }
    return nullptr;
}

JsonHolder make_entry(const Admittance& record)
{
    JsonHolder entry = JsonHolder::CreateObject();
    json_util::AddMember(entry, u"CacheUse", JsonHolder(record.CacheUse));
    if (record.hasSerialNumber) json_util::AddMember(entry, u"SerialNumber", JsonHolder(record.SerialNumber));
    return entry;
}

} // namespace

Admittance::Admittance(uint16_t vendor, uint16_t product, uint16_t rev)
    : VendorID(vendor), ProductID(product), RevBCD(rev)
{
}

Admittance::Admittance(uint16_t vendor, uint16_t product, uint16_t rev, const std::u16string& serial,
                       bool cacheUse)
    : VendorID(vendor), ProductID(product), RevBCD(rev), SerialNumber(serial), hasSerialNumber(true),
      CacheUse(cacheUse)
{
}

int Admittance::_cmp(const Admittance& a) const
{
    if (int c = three_way(VendorID, a.VendorID)) return c;
    if (int c = three_way(ProductID, a.ProductID)) return c;
    if (int c = three_way(RevBCD, a.RevBCD)) return c;
    if (!hasSerialNumber || !a.hasSerialNumber) return three_way(hasSerialNumber, a.hasSerialNumber);
    // Unit by unit as signed 16-bit values, the terminator (0) taking part.
    const size_t n = std::max(SerialNumber.size(), a.SerialNumber.size());
    for (size_t i = 0; i <= n; ++i) {
        const int16_t x = int16_t(i < SerialNumber.size() ? SerialNumber[i] : 0);
        const int16_t y = int16_t(i < a.SerialNumber.size() ? a.SerialNumber[i] : 0);
        if (x != y) return x < y ? -1 : 1;
        if (x == 0) return 0;
    }
    return 0;
}

std::u16string Admittance::GetCanonName(uint16_t vendor, uint16_t product, uint16_t rev)
{
    return text::format(u"Vid_%04x_Pid_%04x_Rev_%04x.json", vendor, product, rev);
}

std::u16string Admittance::GetCanonName() const { return GetCanonName(VendorID, ProductID, RevBCD); }

uint32_t Admittance::ValidateAdmittancesJson(const JsonHolder& jh, std::u16string& status_text)
{
    try {
        auto valid = [&]() {
            if (jh.GetTyp() != JsonHolderType::Object) return false;
            for (const char16_t* name : {u"VendorID", u"ProductID", u"RevBCD", u"SerialNumbers"})
                if (!jh.HasField(name)) return false;
            for (const char16_t* name : {u"VendorID", u"ProductID", u"RevBCD"})
                if (jh[name].GetTyp() != JsonHolderType::Number) return false;
            if (jh[u"SerialNumbers"].GetTyp() != JsonHolderType::Array) return false;
            for (const char16_t* name : {u"VendorID", u"ProductID", u"RevBCD"})
                if (!json_util::ExactInteger(jh[name].NumberVal(), 0xFFFF)) return false;
            const JsonHolder& serials = jh[u"SerialNumbers"];
            const uint64_t count = serials.Count();
            for (uint64_t i = 0; i < count; ++i) {
                const JsonHolder& entry = serials[int(i)];
                if (entry.GetTyp() != JsonHolderType::Object) return false;
                if (entry.HasField(u"CacheUse") && !json_util::IsBoolLike(entry[u"CacheUse"])) return false;
                if (entry.HasField(u"SerialNumber") && entry[u"SerialNumber"].GetTyp() != JsonHolderType::String)
                    return false;
            }
            return true;
        };
        if (valid()) return 0;
        status_text = err_text(u"Bad data in admittance file", bad_data);
        return bad_data;
    } catch (const JsonHolderException& e) {
        status_text = exception_text(e);
        return e.code;
    }
}

JsonHolder& Admittance::ToJsonHolder(JsonHolder& jh) const
{
    JsonHolder doc = JsonHolder::CreateObject();
    json_util::AddMember(doc, u"VendorID", JsonHolder(double(VendorID)));
    json_util::AddMember(doc, u"ProductID", JsonHolder(double(ProductID)));
    json_util::AddMember(doc, u"RevBCD", JsonHolder(double(RevBCD)));
    JsonHolder serials = JsonHolder::CreateArray();
    json_util::AddElement(serials, make_entry(*this));
    json_util::AddMember(doc, u"SerialNumbers", serials);
    jh = doc;
    return jh;
}

uint32_t Admittance::AddToJsonHolder(JsonHolder& jh, std::u16string& status_text) const
{
    if (const uint32_t e = ValidateAdmittancesJson(jh, status_text)) return e;
    try {
        JsonHolder& serials = jh[u"SerialNumbers"];
        if (JsonHolder* entry = find_entry(serials, *this)) {
            json_util::SetMember(*entry, u"CacheUse", JsonHolder(CacheUse));
            return 0;
        }
        json_util::AddElement(serials, make_entry(*this));
        return 0;
    } catch (const JsonHolderException& e) {
        status_text = e.message;
        return e.code;
    }
}

AdmittanceList& AdmittanceList::operator=(const AdmittanceList& other)
{
    if (this == &other) return *this;
    items.clear();
    for (const auto& [record, unused] : other.items) items.emplace(record, 0);
    return *this;
}

bool AdmittanceList::Add(const Admittance& a) { return items.emplace(a, 0).second; }

uint32_t AdmittanceList::SaveToDirectory(const std::u16string& DirPathName, std::u16string& status_text) const
{
    if (items.empty()) return 0;
    std::u16string prefix = DirPathName;
    if (prefix.empty() || prefix.back() != u'\\') prefix += u'\\';

    JsonHolder document;
    std::u16string current;
    for (const auto& [record, unused] : items) {
        const std::u16string name = record.GetCanonName();
        if (name != current) {
            if (!current.empty())
                if (const uint32_t e = document.SaveToFile(prefix + current, status_text)) return e;
            current = name;
            const std::u16string path = prefix + name;
            bool exists = false;
            if (const uint32_t e = FileExists(path, exists)) {
                status_text = u"Nieudane sprawdzenie obecności pliku " + path;
                return e;
            }
            if (exists) {
                if (const uint32_t e = JsonHolder::LoadFromFile(path, document, status_text)) return e;
                if (const uint32_t e = Admittance::ValidateAdmittancesJson(document, status_text)) return e;
            } else {
                record.ToJsonHolder(document);
            }
        }
        if (const uint32_t e = record.AddToJsonHolder(document, status_text)) return e;
    }
    return document.SaveToFile(prefix + current, status_text);
}

uint32_t AdmittanceList::ClearDirectory(const std::u16string& DirPathName, std::u16string& status_text)
{
    platform::Files& files = platform::files();
    std::vector<platform::FindEntry> entries;
    const platform::Error listed = files.find(DirPathName + u"\\Vid_????_Pid_????_Rev_????.json", entries);
    if (listed == platform::err::file_not_found || (listed == 0 && entries.empty())) return 0;
    if (listed != 0) {
        status_text = err_text(u"Nie można wylistować plików", listed);
        return listed;
    }
    std::vector<std::u16string> doomed;
    for (const platform::FindEntry& entry : entries) {
        if (entry.attributes & (platform::attribute::directory | platform::attribute::readonly)) continue;
        doomed.push_back(DirPathName + u"\\" + entry.name);
    }
    for (const std::u16string& path : doomed) {
        if (const platform::Error e = files.remove(path)) {
            status_text = err_text(u"Nie można skasować pliku " + path, e);
            return e;
        }
    }
    return 0;
}

} // namespace ZelmUsbVardoManager
