// The library's file loading over any file content, read in short pieces: the buffered reader
// must give exactly what the reader gives for the same code units held in memory.
#include <cstdint>
#include <cstdlib>

#include "json/holder/json_holder.h"
#include "memory_files.h"
#include "text/text.h"

using ZelmUsbVardoManager::JsonHolder;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    jsontest::ScopedMemoryFiles files;
    files.read_limit = 1 + data[0] % 8; // short reads split code units between calls
    const std::vector<uint8_t> content(data + 1, data + size);
    files.contents[u"C:\\f.json"] = content;

    JsonHolder from_file;
    std::u16string file_status;
    const uint32_t code = JsonHolder::LoadFromFile(u"C:\\f.json", from_file, file_status);

    JsonHolder in_memory;
    std::u16string memory_error;
    const bool parsed = JsonHolder::Parse(text::from_utf16le(content), in_memory, memory_error);

    if (parsed != (code == 0)) std::abort();
    if (parsed && from_file.ToString() != in_memory.ToString()) std::abort();
    if (!parsed && (code != 30 || file_status != memory_error + u" plik: C:\\f.json")) std::abort();
    if (files.open_handles() != 0) std::abort();
    return 0;
}
