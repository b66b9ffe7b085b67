#include "policy/report.h"

#include "host/files.h"
#include "host/trace.h"
#include "platform/platform.h"
#include "platform/system.h"
#include "text/text.h"

namespace {

// The array member `key` of the report document, with `node` appended to it.
void append_to(UsbReport& report, const std::u16string& key, CJsonNode* node)
{
    CJsonNode* list = report.document.Member(key);
    list->kind = JSON_ARRAY;
    list->SetChild(u"", node);
}

} // namespace

void report_begin(UsbReport& report, const std::u16string& date)
{
    report.stamp = CompactTimestamp();
    report.document.Member(u"params")->SetString(u"date", date.empty() ? LocalTimestamp() : date);
    // Every report of this program is about a USB device; the caller sets the level once the
    // verdict is known.
    report.level = 0;
    report.category = report_category_usb;
}

void report_set_title(UsbReport& report, const std::u16string& title)
{
    report.document.Member(u"params")->SetString(u"title", title);
}

void report_add_entry(UsbReport& report, const std::u16string& event, const std::u16string& value,
                      const std::u16string& id)
{
    auto* entry = new CJsonNode;
    entry->SetString(u"event", event);
    entry->SetString(u"value", value);
    if (!id.empty()) entry->SetString(u"id", id);
    append_to(report, u"report", entry);
}

void report_attach(UsbReport& report, const std::u16string& key, const CJsonNode* document)
{
    if (!document) return;
    auto* copy = new CJsonNode;
    copy->LoadCopy(*document);
    append_to(report, key, copy);
}

namespace {
constexpr const char16_t* number_key = u"Software\\halvar";

uint32_t current_report_number()
{
    return ReadHklmDword(number_key, u"ln", 1);
}

void store_next_report_number(uint32_t number)
{
    if (!WriteHklmDword(number_key, u"ln", number + 1)) TRACE(u"Cannot store the next report number.");
}
} // namespace

std::u16string next_report_number()
{
    const uint32_t number = current_report_number();
    store_next_report_number(number);
    return text::format(u"%.8i", number);
}

std::u16string report_save(UsbReport& report)
{
    // A report saved without report_begin still lands in a dated folder.
    if (report.stamp.size() < 8) report.stamp = CompactTimestamp();
    std::u16string folder = suite_data_folder(u"logs");
    JoinPath(folder, std::u16string_view(report.stamp).substr(0, 8));

    const uint32_t number = current_report_number();
    // "<stamp>-%.8i-%.8x-%.2i%.2i.json" of the number, the tick count, the category and the level.
    std::u16string path = std::move(folder);
    JoinPath(path, report.stamp);
    path += u"-";
    text::append_decimal(path, int32_t(number), 8);
    path += u"-";
    text::append_hex(path, platform::system().tick_count(), 8);
    path += u"-";
    text::append_decimal(path, int32_t(report.category), 2);
    text::append_decimal(path, int32_t(report.level), 2);
    path += u".json";

    // The write makes the folders. The number counts the reports the suite can find: one that was
    // not written takes none, so the suite sees no gap where nothing is missing.
    if (WriteWholeFile(path, report.document.ToText(0)))
        store_next_report_number(number);
    else
        TRACE(u"Cannot write the report %s", path);
    return path;
}
