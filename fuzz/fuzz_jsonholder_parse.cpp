// The library's reader over any text (the input taken as UTF-8). What it accepts must be written,
// copied and, when the written text is readable again, read back to the same text.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "json/holder/json_holder.h"
#include "text/text.h"

using ZelmUsbVardoManager::JsonHolder;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::u16string input = text::from_utf8(std::string_view(reinterpret_cast<const char*>(data), size));
    JsonHolder result;
    std::u16string error;
    if (!JsonHolder::Parse(input, result, error)) {
        if (error.empty()) std::abort(); // a failure always says why
        return 0;
    }
    const std::u16string written = result.ToString();
    if (JsonHolder(result).ToString() != written) std::abort();
    // The writer's exponent form, an empty member name or a non-finite number cannot be read
    // back; anything else must give the same text again.
    JsonHolder again;
    if (JsonHolder::Parse(written, again, error) && again.ToString() != written) std::abort();
    return 0;
}
