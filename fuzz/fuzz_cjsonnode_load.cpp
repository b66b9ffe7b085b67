// The host's lenient reader over any text (the first byte chooses the number form, the rest is
// UTF-8), then the usual strict and loose member reads.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "json/hostjson/json_node.h"
#include "text/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    CJsonNode node;
    node.fractionalNumbers = data[0] & 1;
    const std::u16string input =
        text::from_utf8(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
    if (!node.LoadText(input)) std::abort(); // the reader never fails
    node.strict = 1;
    try {
        node.Member(u"usb")->Member(u"action")->AsString();
    } catch (int) {
    }
    node.strict = 0;
    node.Member(u"DEVS")->Member(u"DriveLetters")->AsString();
    return 0;
}
