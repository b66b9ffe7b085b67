#include "platform/model/engine.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <random>

namespace platform::model {

namespace fs = std::filesystem;

namespace {
// A file modified within this time may be modified again without its stamp changing: file
// systems keep times in ticks of a few milliseconds. Where the C++ library gives whole seconds
// (MinGW's does), a longer time covers them, and FAT's steps of two.
constexpr auto settle_time = std::chrono::milliseconds(100);
constexpr auto settle_time_whole_seconds = std::chrono::seconds(3);

Error error_of(const std::error_code& ec)
{
    if (ec == std::errc::no_such_file_or_directory) return err::file_not_found;
    if (ec == std::errc::permission_denied) return err::access_denied;
    if (ec == std::errc::not_a_directory) return err::path_not_found;
    return err::read_fault;
}
} // namespace

Error PathStore::stamp(Stamp& stamp, bool& settled)
{
    std::error_code ec;
    const auto status = fs::status(path_, ec);
    if (ec || !fs::exists(status)) return ec && ec != std::errc::no_such_file_or_directory ? error_of(ec) : err::file_not_found;
    if (!fs::is_regular_file(status)) return err::access_denied;
    const auto modified = fs::last_write_time(path_, ec);
    if (ec) return error_of(ec);
    const auto size = fs::file_size(path_, ec);
    if (ec) return error_of(ec);
    stamp.modified_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(modified.time_since_epoch()).count();
    stamp.size = size;
    stamp.file_id = 0;
    // A time of whole seconds is taken as one kept in whole seconds (a finer clock lands on a
    // whole second once in a billion).
    const bool whole_seconds = stamp.modified_ns % 1000000000 == 0;
    settled = fs::file_time_type::clock::now() - modified > (whole_seconds ? settle_time_whole_seconds : settle_time);
    return err::success;
}

Error PathStore::read(std::string& bytes, size_t limit)
{
    std::ifstream in(path_, std::ios::binary);
    if (!in) return err::file_not_found;
    std::string out;
    char chunk[65536];
    while (in) {
        in.read(chunk, sizeof chunk);
        out.append(chunk, size_t(in.gcount()));
        if (out.size() > limit) return err::not_enough_memory;
    }
    if (in.bad()) return err::read_fault;
    bytes = std::move(out);
    return err::success;
}

Error PathStore::replace(std::string_view bytes)
{
    static std::atomic<uint32_t> counter{0};
    std::random_device rd;
    fs::path temp = path_;
    temp += ".tmp-" + std::to_string(rd()) + "-" + std::to_string(++counter);
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), std::streamsize(bytes.size()));
        out.flush();
        if (!out) {
            std::error_code ignored;
            fs::remove(temp, ignored);
            return err::write_fault;
        }
    }
    std::error_code ec;
    fs::rename(temp, path_, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove(temp, ignored);
        return err::write_fault;
    }
    return err::success;
}

Error Store::edit(const Change& change, size_t limit)
{
    std::string bytes, edited;
    if (const Error r = read(bytes, limit)) return r;
    if (const Error r = change(bytes, edited)) return r;
    return replace(edited);
}

Engine::Engine(std::unique_ptr<Store> store) : store_(std::move(store))
{
    view_.machine = std::make_shared<Machine>();
}

void Engine::on_broken(std::function<void(const std::string&)> report)
{
    std::lock_guard lock(mutex_);
    report_ = std::move(report);
}

View Engine::view()
{
    std::lock_guard lock(mutex_);
    if (const auto pin = pins_.find(std::this_thread::get_id()); pin != pins_.end()) return pin->second.view;
    return load_locked();
}

void Engine::pin()
{
    std::lock_guard lock(mutex_);
    Pin& pin = pins_[std::this_thread::get_id()];
    if (pin.depth++ == 0) {
        store_->look_again();
        pin.view = load_locked();
    }
}

void Engine::unpin()
{
    std::lock_guard lock(mutex_);
    const auto pin = pins_.find(std::this_thread::get_id());
    if (pin != pins_.end() && --pin->second.depth == 0) pins_.erase(pin);
}

View Engine::load_locked()
{
    Stamp stamp;
    bool settled = false;
    const Error e = store_->stamp(stamp, settled);
    if (e == err::file_not_found || e == err::path_not_found) {
        if (!loaded_ || !absent_) {
            // No machine file: a machine without USB controllers or volumes.
            auto m = std::make_shared<Machine>();
            std::string ignored;
            load_machine("{}", *m, ignored);
            view_ = View{m, 0, {}};
            loaded_ = true;
            absent_ = true;
            bytes_.clear();
            lock_counts_.clear();
            pipe_counts_.clear();
        }
        return view_;
    }
    if (e != err::success) {
        View broken{std::make_shared<Machine>(), e, "the machine file cannot be read"};
        return broken;
    }
    if (loaded_ && !absent_ && trusted_ && stamp == stamp_) return view_;

    std::string bytes;
    const Error r = store_->read(bytes, max_file_size);
    if (r == err::file_not_found) {
        loaded_ = false;
        return load_locked();
    }
    if (loaded_ && !absent_ && r == err::success && bytes == bytes_) {
        stamp_ = stamp;
        trusted_ = settled;
        return view_;
    }
    loaded_ = true;
    absent_ = false;
    stamp_ = stamp;
    trusted_ = settled;
    lock_counts_.clear();
    pipe_counts_.clear();
    auto m = std::make_shared<Machine>();
    std::string message;
    if (r == err::not_enough_memory) {
        bytes_.clear();
        message = "the machine file is larger than " + std::to_string(max_file_size) + " bytes";
    } else if (r != err::success) {
        bytes_.clear();
        message = "the machine file cannot be read (error " + std::to_string(r) + ")";
    } else {
        bytes_ = std::move(bytes);
        if (load_machine(bytes_, *m, message)) {
            view_ = View{std::move(m), 0, {}};
            return view_;
        }
        message = "the machine file is not usable: " + message;
        m = std::make_shared<Machine>();
    }
    view_ = View{std::move(m), err::invalid_data, message};
    if (report_) report_(message);
    return view_;
}

bool Engine::lock_attempt(const Machine& m, char16_t letter)
{
    const Volume* v = m.volume(letter);
    if (!v) return false;
    std::lock_guard lock(mutex_);
    if (v->lock_never) return false;
    uint32_t& tried = lock_counts_[v->letter];
    if (tried < v->lock_failures) {
        ++tried;
        return false;
    }
    return true;
}

uint32_t Engine::pipe_growth(int hub, uint32_t port)
{
    std::lock_guard lock(mutex_);
    uint32_t& n = pipe_counts_[{hub, port}];
    // Bounded, so that a caller that never stops asking cannot make the count wrap.
    if (n < 1000000) return n++;
    return n;
}

Error Engine::lock_volume(const Machine& m, char16_t letter)
{
    if (const auto r = store_->lock_volume(letter)) return *r;
    return lock_attempt(m, letter) ? err::success : err::access_denied;
}

Error Engine::dismount_volume(char16_t letter)
{
    if (const auto r = store_->dismount_volume(letter)) return *r;
    return err::success;
}

Error Engine::eject(char16_t letter)
{
    std::lock_guard lock(mutex_);
    if (const auto r = store_->eject_volume(letter)) {
        loaded_ = false;
        return *r;
    }
    // Work on the file as it is now, not on the cached copy: another program (usbsim) may have
    // changed it since.
    const Error r = store_->edit(
        [&](const std::string& bytes, std::string& edited) {
            Machine m;
            std::string message;
            if (!load_machine(bytes, m, message)) return err::invalid_data;
            const Volume* v = m.volume(letter);
            if (!v) return err::file_not_found;
            if (v->ejected_end > v->ejected_begin) {
                edited = bytes.substr(0, v->ejected_begin) + "true" + bytes.substr(v->ejected_end);
            } else {
                // The object has at least its letter, so the new member follows a comma.
                const size_t close = v->object_end - 1;
                edited = bytes.substr(0, close) + ", \"ejected\": true" + bytes.substr(close);
            }
            return err::success;
        },
        max_file_size);
    if (r != err::success) return r == err::not_enough_memory ? err::invalid_data : r;
    loaded_ = false; // the next view reads the new text
    return err::success;
}

Error Engine::set_connected(const PortPath& path, bool connected, std::string& message)
{
    std::lock_guard lock(mutex_);
    bool edited_here = false;
    const Error r = store_->edit(
        [&](const std::string& bytes, std::string& edited) {
            edited_here = true;
            return set_port_status(bytes, path, connected, edited, message);
        },
        max_file_size);
    if (r == err::success) {
        loaded_ = false; // the next view reads the new text
        return r;
    }
    if (!edited_here) {
        if (r == err::file_not_found || r == err::path_not_found) {
            message = "there is no machine file";
            return err::file_not_found;
        }
        message = r == err::not_enough_memory ? "the machine file is larger than " + std::to_string(max_file_size) + " bytes"
                                              : "the machine file cannot be read (error " + std::to_string(r) + ")";
        return r == err::not_enough_memory ? err::invalid_data : r;
    }
    if (message.empty()) message = "the machine file cannot be written (error " + std::to_string(r) + ")";
    return r;
}

} // namespace platform::model
