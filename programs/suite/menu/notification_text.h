// What the desktop notification of the menu says about a device. The device's texts come from the
// device itself (any USB device may name itself anything): notification servers read the body as
// markup, so it is escaped, control characters become blanks, and each text is cut to a length a
// notification can show.
#pragma once

#include <string>

#include "answerer.h"

namespace menu {

struct NotificationText {
    std::string summary;
    std::string body;
};

NotificationText question_text(const answerer::Question& q);
NotificationText blocked_text(const answerer::Question& q);

// The text as it may stand in a notification's body (UTF-8).
std::string body_safe(const std::u16string& text);

} // namespace menu
