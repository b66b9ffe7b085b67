// The machine model engine: one machine file, read when it changes, answering the `devices`
// family for host controllers ("\\\\.\\HCDn"), hubs ("\\\\.\\<hub name>"), volumes ("\\\\.\\E:")
// and disk interfaces, the `devicetree` family, and the drive type of a letter.
//
// The same engine serves the posix backend (on <root>/machine.json) and the tests of the Windows
// build, which install its families with platform::Override on a file the test writes.
//
// The file is read once and kept while its stamp (modification time, size, file identity) stays
// the same; a file changed within the last moments is compared byte for byte, so a rewrite within
// one tick of the file system's clock is still seen. No file is an empty machine (no controllers,
// a device tree of the root alone). A file that cannot be used (not JSON, wrong members, a hub
// loop, larger than max_file_size) is a broken machine: opening a host controller or a volume
// fails with 13 (ERROR_INVALID_DATA), other paths with 2 (so a control device whose driver is not
// loaded still reads as missing), the tree's root cannot be located (CR_FAILURE), drive types are
// DRIVE_NO_ROOT_DIR, and the reason is kept in View::message (the posix backend writes it once
// to the debugger output).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "platform/errors.h"
#include "platform/model/machine.h"
#include "platform/model/ports.h"

namespace platform::model {

// Larger machine files are refused, so a wrong file cannot exhaust memory.
constexpr size_t max_file_size = 8u << 20;

// What identifies one version of a file without reading it.
struct Stamp {
    int64_t modified_ns = 0;
    uint64_t size = 0;
    uint64_t file_id = 0;
    bool operator==(const Stamp&) const = default;
};

// Where the machine file lives.
class Store {
public:
    virtual ~Store() = default;
    // 0 and the file's stamp, with `settled` true when it was last modified long enough ago that
    // a later change must change the stamp; 2 or 3 when there is no file.
    virtual Error stamp(Stamp& stamp, bool& settled) = 0;
    // The whole file; 8 when it is larger than `limit`.
    virtual Error read(std::string& bytes, size_t limit) = 0;
    // Replaces the file atomically (readers see the old or the new text, never a mix).
    virtual Error replace(std::string_view bytes) = 0;
    // Reads the file (at most `limit` bytes), lets `change` make the new text from it and, when
    // `change` gives 0, replaces the file with that text. A store that several processes write
    // (the program marking a volume ejected while usbsim plugs a device) holds a lock across the
    // three steps, so that neither change is lost; this default holds none.
    using Change = std::function<Error(const std::string& current, std::string& edited)>;
    virtual Error edit(const Change& change, size_t limit);

    // The volume requests of a machine that is not a file (the running machine, whose volumes
    // are locked, dismounted and ejected for real): 0 or the Windows code of the request, or no
    // value when the machine is a file, whose volumes behave as the file says (lock_failures,
    // "ejected"). This default is a file's.
    virtual std::optional<Error> lock_volume(char16_t) { return std::nullopt; }
    virtual std::optional<Error> dismount_volume(char16_t) { return std::nullopt; }
    virtual std::optional<Error> eject_volume(char16_t) { return std::nullopt; }

    // A walk begins: the next stamp is to be taken anew, whatever the store keeps between looks
    // to spare them (a file's stamp is taken anew every time; this default does nothing).
    virtual void look_again() {}
};

// A machine file at a path, through the C++ library: usable on both platforms.
class PathStore final : public Store {
public:
    explicit PathStore(std::filesystem::path path) : path_(std::move(path)) {}
    Error stamp(Stamp& stamp, bool& settled) override;
    Error read(std::string& bytes, size_t limit) override;
    Error replace(std::string_view bytes) override;

private:
    std::filesystem::path path_;
};

// The machine as loaded at one moment.
struct View {
    std::shared_ptr<const Machine> machine; // never null
    Error error = 0;                        // 0, or why the file cannot be used (13 mostly)
    std::string message;
};

class Engine {
public:
    explicit Engine(std::unique_ptr<Store> store);

    // The current machine, reloaded when the file changed; while the calling thread holds a pin,
    // the machine the pin was taken on.
    View view();

    // Pins the current machine for the calling thread: until the matching unpin, every view on
    // this thread, and so every answer of the families over this engine to it, comes from that
    // one version of the file, so that a walk made of many requests never mixes two versions.
    // Pins nest; other threads go on seeing new versions. The outermost pin takes the store's
    // stamp anew (Store::look_again), so a walk begun after a change sees it.
    void pin();
    void unpin();

    // Called with the reason each time a new version of the file turns out broken.
    void on_broken(std::function<void(const std::string&)> report);

    // A lock request on the volume of `letter` of the current machine: whether it succeeds
    // (the volume's lock_failures requests fail first; counted per loaded version of the file).
    bool lock_attempt(const Machine& m, char16_t letter);

    // FSCTL_LOCK_VOLUME and FSCTL_DISMOUNT_VOLUME on the volume of `letter`: the store's answer
    // when it acts on a real machine; otherwise a lock_attempt (5, ERROR_ACCESS_DENIED, when it
    // fails) and a dismount that always succeeds.
    Error lock_volume(const Machine& m, char16_t letter);
    Error dismount_volume(char16_t letter);

    // How many pipes a port with the pipes_grow fault adds at this request (0, 1, 2, ... on
    // successive requests; counted per loaded version of the file).
    uint32_t pipe_growth(int hub, uint32_t port);

    // Marks the volume of `letter` ejected in the file (atomically). 2 when no such volume is
    // there (any more), or the store's error. A store that acts on a real machine ejects it
    // instead, and the next view reads the machine again.
    Error eject(char16_t letter);

    // Plugs (connected) or unplugs the device described at `path` in the file (atomically): 0, 2
    // when there is no machine file, a store error, or an error of set_port_status (ports.h) with
    // `message` saying why.
    Error set_connected(const PortPath& path, bool connected, std::string& message);

private:
    View load_locked();

    std::unique_ptr<Store> store_;
    std::mutex mutex_;
    std::function<void(const std::string&)> report_;
    bool loaded_ = false;
    bool absent_ = false;
    bool trusted_ = false;
    Stamp stamp_;
    std::string bytes_;
    View view_;
    std::map<char16_t, uint32_t> lock_counts_;
    std::map<std::pair<int, uint32_t>, uint32_t> pipe_counts_;
    struct Pin {
        uint32_t depth = 0;
        View view;
    };
    std::map<std::thread::id, Pin> pins_;
};

} // namespace platform::model
