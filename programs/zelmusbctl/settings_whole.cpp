#include "settings_whole.h"

#include "app/settings.h"
#include "json/holder/json_holder.h"

namespace settings_file {

namespace {

// The library's compact text of a JSON text (members in name order, numbers in one form): two
// texts of the same value give the same; empty when it does not parse strictly.
std::u16string canonical(std::u16string_view text)
{
    ZelmUsbVardoManager::JsonHolder parsed;
    std::u16string error;
    if (!ZelmUsbVardoManager::JsonHolder::Parse(text, parsed, error)) return {};
    try {
        return parsed.ToString();
    } catch (...) {
        return {};
    }
}

} // namespace

bool read_whole(const std::vector<uint8_t>& content, const CJsonNode& doc)
{
    const std::u16string original = canonical(DecodeSettingsText(content));
    return !original.empty() && original == canonical(doc.ToText(0));
}

} // namespace settings_file
