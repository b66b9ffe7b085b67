// The host's reader followed by its writer, and the written text read again: the way the host
// copies a document.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "json/hostjson/json_node.h"
#include "text/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CJsonNode node;
    node.LoadText(text::from_utf8(std::string_view(reinterpret_cast<const char*>(data), size)));
    const std::u16string written = node.ToText(0);
    if (written.empty()) std::abort();
    CJsonNode copy;
    copy.LoadText(written);
    copy.ToText(4);
    return 0;
}
