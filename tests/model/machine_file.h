// Reading a machine file the way a test checks it, without the model engine.
#pragma once

#include <string>

namespace model_test {

// The letters the machine file marks ejected, in file order.
inline std::string ejected_letters(const std::string& machine_json)
{
    std::string compact;
    for (char c : machine_json)
        if (c != ' ' && c != '\n' && c != '\r' && c != '\t') compact += c;
    std::string letters;
    for (size_t at = compact.find("\"letter\":\""); at != std::string::npos; at = compact.find("\"letter\":\"", at + 1)) {
        const size_t end = compact.find('}', at);
        if (compact.substr(at, end - at).find("\"ejected\":true") != std::string::npos) letters += compact[at + 10];
    }
    return letters;
}

} // namespace model_test
