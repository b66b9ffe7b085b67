// Paths, whole files, named-mutex probes, registry numbers and the suite's folders.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A growable byte block. Whatever it holds is followed by two zero bytes, so that UTF-16 text read
// into it is terminated.
class CByteBuffer {
public:
    CByteBuffer() { clear(); }
    void clear()
    {
        bytes_.assign(2, 0);
    }
    void append(const void* data, size_t size);
    const uint8_t* data() const { return bytes_.data(); }
    uint32_t size() const { return uint32_t(bytes_.size() - 2); }
    std::u16string as_utf16() const; // the bytes as UTF-16LE code units (an odd last byte ignored)

private:
    std::vector<uint8_t> bytes_;
};

// Appends "\\" to `base` unless it already ends in one, drops one leading "\\" from `tail`, then
// appends `tail`.
void JoinPath(std::u16string& base, std::u16string_view tail);
std::u16string joined(std::u16string base, std::u16string_view tail);

// Creates every folder of `path` (each prefix ending before a "\\", and the whole path); existing
// folders are fine.
bool EnsureFolders(const std::u16string& path);

// Writes `count` bytes as the whole new content of `path`, creating its folders. The bytes go to a
// temporary file in the same folder that then replaces the target, so a reader never sees a torn
// file: on a failure (including a short write) the target keeps its old content and 0 is
// returned, with the Windows code of the failing call in `error` when given (3 a folder that
// cannot be made, 5 access denied, 112 a full disk, ...; 0 on success). When the target cannot be
// replaced because another program has it open, the bytes are written into the target itself (1
// only when all of them were written). Temporaries that writers which no longer run left behind
// are removed first.
int WriteWholeFile(const std::u16string& path, const void* bytes, size_t count, uint32_t* error = nullptr);
// WriteWholeFile for a file that a user named (the /gud: list, the /test: result): a failure is
// traced, "Cannot write <path>: error <code>", since nothing else would tell of it.
int WriteOutputFile(const std::u16string& path, const void* bytes, size_t count);
int WriteWholeFile(const std::u16string& path, const std::u16string& text); // UTF-16LE, no BOM
// Replaces `buffer` with the whole content of `path`. 0 when the file cannot be opened or read, or
// is larger than `limit` bytes (its size then goes to `size` when given; nothing is read).
int ReadWholeFile(const std::u16string& path, CByteBuffer& buffer, uint64_t limit = 0xFFFFFFF0u,
                  uint64_t* size = nullptr);
// Appends the bytes to `path` in one write (creating the file and its folders).
int AppendToFile(const std::u16string& path, const std::string& bytes);

// Whether some process holds the global named mutex `name`. Never creates it.
bool MutexPresent(std::u16string_view name);

// REG_DWORD values below HKEY_LOCAL_MACHINE.
uint32_t ReadHklmDword(const std::u16string& key, const std::u16string& value, uint32_t default_value);
int WriteHklmDword(const std::u16string& key, const std::u16string& value, uint32_t number);

// The suite's folders: the root from the registry value RootPath of HKLM\Software\halvar, the data
// folder below ALLUSERSPROFILE, the configuration folder below that, and the program's own folder.
// A root or data folder that is empty is traced; where a bare "\\" names no drive's root (Linux)
// it is `no_folder`, below which no file call finds or makes anything.
inline constexpr const char16_t* no_folder = u"<no folder>";
std::u16string suite_root_folder();
std::u16string suite_data_folder(std::u16string_view sub = {});
std::u16string suite_config_folder(std::u16string_view sub = {});
std::u16string program_folder(std::u16string_view sub = {});
