// Documents in files: the compact text as UTF-16LE code units, no byte-order mark, no line end.
#include <algorithm>
#include <cstring>

#include "json/holder/json_holder.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "text/text.h"

namespace ZelmUsbVardoManager {

namespace {
constexpr size_t kReadBufferSize = 64 * 1024;
constexpr uint32_t kFileShareAll = platform::share::read | platform::share::write | platform::share::del;
} // namespace

void JsonHolder::ThrowJsonHolderException(const char16_t* file, uint32_t code, const char16_t* text)
{
    throw JsonHolderException(text::format(u"Plik [%s]: %s -> err=0x%08X%c", file, text, code, char16_t(0)), code);
}

uint32_t JsonHolder::SaveToFile(const std::u16string& path, std::u16string& status_text) const
{
    platform::Files& files = platform::files();
    platform::Handle handle = platform::null_handle;
    try {
        const std::u16string body = ToString();
        const platform::Error opened =
            files.open(path, platform::access::file_all_access, platform::share::none,
                       platform::disposition::create_always, platform::attribute::normal, handle);
        if (opened != platform::err::success) {
            handle = platform::null_handle;
            ThrowJsonHolderException(path.c_str(), opened, u"Nie udało się otworzyć pliku");
        }
        const std::vector<uint8_t> bytes = text::to_utf16le(body);
        // One write of the whole text; only a text beyond 4 GB would need more than one call.
        size_t done = 0;
        do {
            const uint32_t chunk = uint32_t(std::min<size_t>(bytes.size() - done, 0xFFFFFFFEu));
            uint32_t written = 0;
            const platform::Error error = files.write(handle, bytes.data() + done, chunk, written);
            if (error != platform::err::success)
                ThrowJsonHolderException(path.c_str(), error, u"Nie udało się zapisać zawartości pliku");
            if (written < chunk)
                ThrowJsonHolderException(path.c_str(), platform::err::end_of_media,
                                         u"Nie udało się zapisać całego pliku");
            done += chunk;
        } while (done < bytes.size());
        files.close(handle);
        return 0;
    } catch (const JsonHolderException& e) {
        if (handle != platform::null_handle) files.close(handle);
        status_text = e.message;
        return e.code != 0 ? e.code : platform::err::write_fault;
    }
}

uint32_t JsonHolder::LoadFromFile(const std::u16string& path, JsonHolder& result, std::u16string& status_text)
{
    try {
        Strumien input;
        if (!input.OpenFileToRead(path))
            ThrowJsonHolderException(path.c_str(), input.LastError(), u"Nie udało się otworzyć pliku");
        const bool parsed = Parse(input, result, status_text);
        input.Close();
        if (!parsed) {
            status_text += u" plik: ";
            status_text += path;
            return platform::err::read_fault;
        }
        return 0;
    } catch (const JsonHolderException& e) {
        status_text = e.message;
        return e.code != 0 ? e.code : platform::err::read_fault;
    }
}

// ---------------------------------------------------------------------------------------------
// Strumien

Strumien::Strumien() = default;

Strumien::~Strumien()
{
    Close();
}

bool Strumien::OpenFileToRead(const std::u16string& path)
{
    if (open_) return false;
    platform::Handle handle = platform::null_handle;
    last_error_ = platform::files().open(path, platform::access::generic_read, kFileShareAll,
                                         platform::disposition::open_existing, platform::attribute::normal, handle);
    if (last_error_ != platform::err::success || handle == platform::null_handle) {
        handle_ = platform::null_handle;
        return false;
    }
    handle_ = handle;
    open_ = true;
    pos_ = end_ = 0;
    return true;
}

uint64_t Strumien::getSize()
{
    if (!open_) return 0;
    uint64_t size = 0;
    if (platform::files().size(handle_, size) != platform::err::success) return 0;
    return size;
}

// Refills the buffer. A read that fails, or an end of file with fewer than two bytes left, gives
// 0xFFFF, as a single two-byte read would; a lone final byte is consumed by that call.
char16_t Strumien::ReadWCharSlow()
{
    if (!open_) return 0xFFFF;
    if (!buffer_) {
        // The content is written before it is read: no need to clear the buffer.
        // (A buffer cut to the size the file reported misread files under Wine; this one does not.)
        buffer_size_ = kReadBufferSize;
        buffer_.reset(new uint8_t[buffer_size_]);
    }
    // Keep a byte left over from a short read for the next code unit.
    const size_t left = end_ - pos_;
    if (left > 0) std::memmove(buffer_.get(), buffer_.get() + pos_, left);
    pos_ = 0;
    end_ = left;
    while (end_ < 2) {
        uint32_t got = 0;
        const platform::Error error =
            platform::files().read(handle_, buffer_.get() + end_, uint32_t(buffer_size_ - end_), got);
        if (error != platform::err::success) return 0xFFFF;
        if (got == 0) {
            pos_ = end_ = 0;
            return 0xFFFF;
        }
        end_ += got;
    }
    const char16_t c = char16_t(buffer_[0] | (buffer_[1] << 8));
    pos_ = 2;
    return c;
}

bool Strumien::Close()
{
    if (!open_) return false;
    open_ = false;
    if (handle_ != platform::null_handle) platform::files().close(handle_);
    handle_ = platform::null_handle;
    pos_ = end_ = 0;
    return true;
}

uint32_t FileExists(const std::u16string& path, bool& exists)
{
    bool is_directory = false;
    const int error = platform::files().stat(path, is_directory);
    if (error == 0) {
        exists = true;
        return 0;
    }
    if (error == 2) { // ENOENT
        exists = false;
        return 0;
    }
    return uint32_t(error);
}

} // namespace ZelmUsbVardoManager
