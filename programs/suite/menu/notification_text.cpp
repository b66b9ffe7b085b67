#include "notification_text.h"

#include "text/text.h"

namespace menu {

namespace {

constexpr size_t longest_text = 120;

std::string device_lines(const answerer::Question& q)
{
    const std::string name = body_safe(q.producent.empty() && q.produkt.empty()
                                           ? std::u16string(u"(no name)")
                                           : q.producent + (q.producent.empty() ? u"" : u" ") + q.produkt);
    std::string lines = "<b>" + name + "</b>\n";
    lines += "Serial number: " + (q.numer.empty() ? std::string("(none)") : body_safe(q.numer)) + "\n";
    lines += "Class: " + (q.klasa.empty() ? std::string("(none)") : body_safe(q.klasa));
    if (!q.opis.empty()) lines += " (" + body_safe(q.opis) + ")";
    return lines;
}

} // namespace

std::string body_safe(const std::u16string& text)
{
    std::u16string cut = text.substr(0, longest_text);
    if (text.size() > longest_text) cut += u"…";
    std::u16string out;
    for (char16_t c : cut) {
        if (c == u'&') out += u"&amp;";
        else if (c == u'<') out += u"&lt;";
        else if (c == u'>') out += u"&gt;";
        else if (c < 0x20 || c == 0x7F) out += u' ';
        else out += c;
    }
    return text::to_utf8(out);
}

NotificationText question_text(const answerer::Question& q)
{
    return {"A new USB device wants to be used",
            device_lines(q) + "\nAllow it? Until you allow it, it stays blocked."};
}

NotificationText blocked_text(const answerer::Question& q)
{
    return {"USB device blocked", device_lines(q)};
}

} // namespace menu
