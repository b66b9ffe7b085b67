#include "policy/present.h"

#include <memory>
#include <vector>

#include "host/trace.h"
#include "json/hostjson/json_node.h"
#include "text/text.h"

namespace {
// Only a member the document really has counts as a section: reading an absent one would create
// it empty and turn the "-" of a missing section into an empty text.
CJsonNode* find_member(CJsonNode& node, const char16_t* key)
{
    auto it = node.children.find(key);
    return it == node.children.end() ? nullptr : it->second;
}

} // namespace

void generate_current_usb_list(const std::u16string& devices, CJsonNode& list, bool exact_patterns, bool skip_drives)
{
    CJsonNode doc;
    // The library writes large numbers with an exponent; they must not end the reading.
    doc.fractionalNumbers = 1;
    doc.LoadText(u"{\"DEVS\":" + devices + u"}");

    CJsonNode* rules = list.Child(u"rules");
    rules->kind = JSON_ARRAY;
    if (CJsonNode* devs = find_member(doc, u"DEVS")) {
        for (auto& [key, device] : devs->children) {
            std::u16string producent = u"-", produkt = u"-", numer = u"-", klasa = u"-", opis = u"-", dyski;
            if (CJsonNode* descriptor = find_member(*device, u"DeviceDescriptor")) {
                producent = descriptor->Member(u"Manufacturer")->AsString();
                produkt = descriptor->Member(u"Product")->AsString();
                numer = descriptor->Member(u"SerialNumber")->AsString();
            }
            if (CJsonNode* property = find_member(*device, u"DeviceProperty")) {
                klasa = property->Member(u"ClassName")->AsString();
                opis = property->Member(u"DeviceDescription")->AsString();
            }
            if (CJsonNode* letters = find_member(*device, u"DriveLetters")) dyski = letters->AsString();
            if (skip_drives && !dyski.empty()) continue;

            const std::u16string prefix = exact_patterns ? u"=" : u"";
            auto rule = std::make_unique<CJsonNode>();
            rule->SetString(u"producent", prefix + producent);
            rule->SetString(u"produkt", prefix + produkt);
            rule->SetString(u"numer", prefix + numer);
            rule->SetString(u"klasa", prefix + klasa);
            rule->SetString(u"opis", prefix + opis);
            if (!dyski.empty()) rule->SetString(u"dyski", dyski);
            auto element = std::make_unique<CJsonNode>();
            element->AddChild(rule.release());
            element->AddInt(1);
            rules->AddChild(element.release());
        }
    }
}
