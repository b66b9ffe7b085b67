#include "policy/identity.h"

#include <vector>

#include "host/processes.h"
#include "host/trace.h"
#include "json/hostjson/json_node.h"
#include "platform/platform.h"
#include "platform/system.h"
#include "text/text.h"

namespace {

// The member's text when `section` holds `key`; a number reads as its decimal text and an absent
// member as the empty text.
std::u16string section_text(CJsonNode* section, const char16_t* key)
{
    return section->Member(key)->AsString();
}

// Only a member that the document really has counts as a section: reading an absent one would
// create it empty and turn the "-" of a missing section into an empty text.
CJsonNode* find_section(CJsonNode& doc, const char16_t* key)
{
    auto it = doc.children.find(key);
    return it == doc.children.end() ? nullptr : it->second;
}

} // namespace

std::u16string checksum_form(const std::u16string& producent, const std::u16string& produkt,
                             const std::u16string& numer, const std::u16string& klasa, const std::u16string& opis)
{
    // ToText(0, checksum_form) of the object of the five members, written member by member in
    // its key order.
    static const std::u16string names[] = {u"klasa", u"numer", u"opis", u"producent", u"produkt"};
    const std::u16string* values[] = {&klasa, &numer, &opis, &producent, &produkt};
    std::u16string form = u"{\r\n";
    form.reserve(128 + klasa.size() + numer.size() + opis.size() + producent.size() + produkt.size());
    for (size_t i = 0; i < 5; ++i) {
        CJsonNode::AppendTextMember(form, 4, names[i], *values[i], CJsonNode::Escapes::checksum_form);
        form.append(i + 1 < 5 ? u", \r\n" : u"\r\n");
    }
    form.push_back(u'}');
    return form;
}

std::u16string DeviceChecksum(const std::u16string& text)
{
    const std::vector<uint8_t> bytes = text::to_utf16le(text);
    platform::Sha1Digest digest{};
    if (const platform::Error e = platform::system().sha1(bytes, digest); e != platform::err::success) {
        // A device named by a made-up digest would share its files with every other device that
        // met the same failure; no name at all is the honest answer.
        TRACE(u"SHA-1 failed: %u", e);
        return {};
    }
    // "%02X" of each byte.
    static constexpr char16_t digits[] = u"0123456789ABCDEF";
    std::u16string hex(2 * digest.size(), u'0');
    for (size_t i = 0; i < digest.size(); ++i) {
        hex[2 * i] = digits[digest[i] >> 4];
        hex[2 * i + 1] = digits[digest[i] & 0xF];
    }
    return hex;
}

std::u16string build_device_identity(const std::u16string& document, CJsonNode& identity, UsbRule& fields)
{
    // The nodes made here (the digest's form, the identity's members) are cut from one store
    // rather than taken one by one from the heap; none is handed to another thread.
    json_blocks::LoadScope blocks;
    CJsonNode doc;
    // The inventory writes large numbers with an exponent ("BusTypeGuid"'s Data1 of every device
    // node of a real machine, "2.64228E+009"), before "ClassName" and "DeviceDescription": read
    // as a plain integer they would end the reading there and leave the class and description
    // empty, so that a device held at plug time would be named otherwise than the device list
    // names it. The list reads them the same way.
    doc.fractionalNumbers = 1;
    // Only the two sections are read; the rest of what the driver sends (configurations,
    // interfaces, end points) is passed over.
    doc.LoadMembers(document, {u"DeviceDescriptor", u"DeviceProperty"});

    std::u16string producent = u"-", produkt = u"-", numer = u"-", klasa = u"-", opis = u"-";
    if (CJsonNode* descriptor = find_section(doc, u"DeviceDescriptor")) {
        producent = section_text(descriptor, u"Manufacturer");
        produkt = section_text(descriptor, u"Product");
        numer = section_text(descriptor, u"SerialNumber");
    }
    if (CJsonNode* property = find_section(doc, u"DeviceProperty")) {
        klasa = section_text(property, u"ClassName");
        opis = section_text(property, u"DeviceDescription");
    }

    const std::u16string checksum = DeviceChecksum(checksum_form(producent, produkt, numer, klasa, opis));

    identity.SetString(u"producent", producent);
    identity.SetString(u"produkt", produkt);
    identity.SetString(u"numer", numer);
    identity.SetString(u"klasa", klasa);
    identity.SetString(u"opis", opis);
    identity.SetString(u"checksum", checksum);

    CProcesses processes;
    std::vector<std::u16string> users;
    processes.DesktopUsers(users);
    identity.SetString(u"user", users.empty() ? std::u16string() : users[0]);

    fields.produkt = produkt;
    fields.producent = producent;
    fields.numer = numer;
    fields.klasa = klasa;
    fields.opis = opis;
    return checksum;
}
