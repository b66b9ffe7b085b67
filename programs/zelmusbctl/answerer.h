// The answers to the program's questions to the suite's menu program: the program asks the process
// named "halvarmenu.exe" on its channel "usb_device" "ask_usb_device|<identity>" when the settings
// say to ask the user (answer "1" allows, anything else blocks), and tells it of a device blocked
// with "usb_device_blocked|<identity>". This is the part any menu shares (a console's, `zelmusbctl
// watch --ask`, or a desktop's): it serves the channel and hands each question to the menu's own
// way of asking. Questions from another user than root or this process's own are not put to the
// user: they get no answer.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace answerer {

// The name under which the program finds its menu (any image path holding it), and the channel.
inline constexpr const char16_t* menu_process = u"halvarmenu.exe";
inline constexpr const char16_t* channel = u"usb_device";

// The device asked about, as the question names it (its identity's texts).
struct Question {
    std::u16string producent, produkt, numer, klasa, opis, user, checksum;
};

// "ask_usb_device|<identity>": true with the device; false for any other message.
bool parse_question(const std::u16string& message, Question& out);
// "usb_device_blocked|<identity>": true with the device; false for any other message.
bool parse_blocked(const std::u16string& message, Question& out);

// Asks the user; nothing when there is no answer (the program then blocks the device).
using Ask = std::function<std::optional<bool>(const Question&)>;
// A device was blocked.
using Blocked = std::function<void(const Question&)>;

// Whether the asker on the server end `pipe` runs as root or as this process's user (on Windows: is
// elevated): the only processes whose questions the suite's programs act on. A request filter of
// class_commp.
bool privileged_asker(uint64_t pipe, uint32_t asker, const std::u16string& question);

// Serves the channel for this process, one question at a time, and does not return. One
// answerer per process.
[[noreturn]] void serve(Ask ask, Blocked blocked);

} // namespace answerer
