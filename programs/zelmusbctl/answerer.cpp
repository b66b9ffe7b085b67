#include "answerer.h"

#include <cstdlib>
#include <utility>

#include "host/commp.h"
#include "json/hostjson/json_node.h"
#include "platform/pipes.h"
#include "platform/platform.h"

namespace answerer {

namespace {

bool parse_after(const std::u16string& message, std::u16string_view head, Question& out)
{
    if (message.rfind(head, 0) != 0) return false;
    CJsonNode identity;
    identity.LoadText(message.substr(head.size()));
    const std::pair<const char16_t*, std::u16string*> fields[] = {
        {u"producent", &out.producent}, {u"produkt", &out.produkt}, {u"numer", &out.numer},      {u"klasa", &out.klasa},
        {u"opis", &out.opis},           {u"user", &out.user},       {u"checksum", &out.checksum}};
    for (const auto& [key, text] : fields) {
        const auto it = identity.children.find(key);
        *text = it == identity.children.end() ? std::u16string() : it->second->AsString();
    }
    return true;
}

// The menu's way of asking, for the handler below (the listener takes a plain function).
Ask g_ask;
Blocked g_blocked;

std::u16string handle(uint32_t, const std::u16string& message)
{
    Question q;
    if (parse_question(message, q)) {
        const std::optional<bool> answer = g_ask(q);
        return answer ? (*answer ? u"1" : u"0") : u"";
    }
    if (parse_blocked(message, q) && g_blocked) g_blocked(q);
    return {};
}

} // namespace

bool parse_question(const std::u16string& message, Question& out)
{
    return parse_after(message, u"ask_usb_device|", out);
}

bool parse_blocked(const std::u16string& message, Question& out)
{
    return parse_after(message, u"usb_device_blocked|", out);
}

bool privileged_asker(uint64_t pipe, uint32_t, const std::u16string&)
{
    uint32_t client = 0;
    bool privileged = false;
    return platform::pipes().client_process(pipe, client, privileged) == 0 && privileged;
}

void serve(Ask ask, Blocked blocked)
{
    g_ask = std::move(ask);
    g_blocked = std::move(blocked);
    class_commp commp(2000, 2000);
    commp.text_handler = handle;
    commp.request_filter = privileged_asker;
    commp.listen(channel);
    std::abort(); // listen returns only when given a stop flag
}

} // namespace answerer
