// Reports: one small JSON document per reported device, in the suite's log folder, named by time,
// running number, tick count, category and level.
#pragma once

#include <cstdint>
#include <string>

#include "json/hostjson/json_node.h"

inline constexpr uint32_t report_category_usb = 14;
inline constexpr uint32_t report_level_allowed = 1;
inline constexpr uint32_t report_level_blocked = 3;

struct UsbReport {
    CJsonNode document;
    std::u16string stamp; // compact local time stamp of report_begin, 14 digits
    uint32_t level = 0;
    uint32_t category = 0;
};

// Sets "params" -> "date" (`date`, or the local time stamp when empty) and the stamp; the category
// becomes 14 and the level 0 until the caller knows the verdict.
void report_begin(UsbReport& report, const std::u16string& date);
void report_set_title(UsbReport& report, const std::u16string& title);
// Appends {"event", "value"[, "id" when not empty]} to "report".
void report_add_entry(UsbReport& report, const std::u16string& event, const std::u16string& value,
                      const std::u16string& id);
// Appends a copy of `document` (when given) to the array `key`.
void report_attach(UsbReport& report, const std::u16string& key, const CJsonNode* document);
// Writes the report below the data folder's "logs" and returns its path (named with the running
// number, which moves on only when the report was written). A write failure is not reported.
std::u16string report_save(UsbReport& report);
// The running number "ln" of HKLM\Software\halvar as 8 digits; the stored value moves on by one.
std::u16string next_report_number();
