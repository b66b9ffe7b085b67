#include "host/commp.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "host/trace.h"
#include "platform/pipes.h"
#include "platform/platform.h"
#include "platform/processes.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "text/text.h"

using platform::Handle;

namespace {
// A listener lets its busy mutex go before it writes the answer, with the instance for the next
// client already made, so an asker that follows at once finds it free. One that comes while a
// request is being handled waits for it in 10 ms steps rather than the half-second ones a human
// would not notice: a loop of questions would otherwise pay half a second each. The overall limit
// stays ten minutes.
constexpr uint32_t busy_probe_ms = 10;
constexpr uint32_t busy_wait_limit_ms = 600000;
constexpr uint32_t connect_retry_ms = 10;
constexpr uint32_t write_retry_ms = 500;
constexpr uint32_t first_chunk = 16;
constexpr uint32_t largest_chunk = 0x100000;

uint32_t own_pid()
{
    return platform::processes().current_id();
}

// Milliseconds since `start` on the wrapping tick counter.
uint32_t elapsed_since(uint32_t start)
{
    return platform::system().tick_count() - start;
}

// Answered instances whose clients have yet to take their answers. The listener hands each one
// over and goes back to the next client at once, so a client that does not read holds up nobody
// but itself: this thread waits for it within its own time-out, then disconnects and closes it.
class AnswerDrain {
public:
    // Instances waiting beyond this many are waited for by the listener itself, as before: a
    // flood of clients that never read costs time, never unbounded handles.
    static constexpr size_t most_waiting = 64;

    explicit AnswerDrain(uint32_t timeout_ms) : timeout_ms_(timeout_ms) {}
    // Every instance still here gets the rest of its time-out before it is closed.
    ~AnswerDrain()
    {
        {
            std::lock_guard lock(m_);
            ending_ = true;
        }
        cv_.notify_all();
        if (thread_.joinable()) thread_.join();
    }
    AnswerDrain(const AnswerDrain&) = delete;
    AnswerDrain& operator=(const AnswerDrain&) = delete;

    // Takes `pipe`, whose answer was written at tick `written_at`; false (the caller keeps it)
    // when too many wait already or no thread can be had.
    bool take(Handle pipe, uint32_t written_at)
    {
        std::lock_guard lock(m_);
        if (waiting_.size() >= most_waiting) return false;
        if (!thread_.joinable()) {
            try {
                thread_ = std::thread([this] { run(); });
            } catch (const std::system_error&) {
                return false;
            }
        }
        waiting_.push_back({pipe, written_at});
        cv_.notify_one();
        return true;
    }

    // Waits (within what is left of the time-out since `written_at`) until the client has read
    // its answer, then drops the client and closes the instance.
    static void finish(Handle pipe, uint32_t written_at, uint32_t timeout_ms)
    {
        auto& pipes = platform::pipes();
        const uint32_t used = elapsed_since(written_at);
        pipes.flush(pipe, used >= timeout_ms ? 0 : timeout_ms - used);
        pipes.disconnect(pipe);
        pipes.close(pipe);
    }

private:
    struct Waiting {
        Handle pipe;
        uint32_t written_at;
    };

    void run()
    {
        std::unique_lock lock(m_);
        for (;;) {
            cv_.wait(lock, [this] { return ending_ || !waiting_.empty(); });
            if (waiting_.empty()) return;
            const Waiting w = waiting_.front();
            waiting_.pop_front();
            lock.unlock();
            finish(w.pipe, w.written_at, timeout_ms_);
            lock.lock();
        }
    }

    const uint32_t timeout_ms_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<Waiting> waiting_;
    bool ending_ = false;
    std::thread thread_;
};
} // namespace

std::u16string class_commp::base_name(const std::u16string& channel, uint32_t pid)
{
    return text::format(u"zelmar_comm_%s_%i", channel, pid == 0 ? own_pid() : pid);
}

std::u16string class_commp::pipe_path(const std::u16string& channel, uint32_t pid)
{
    return text::format(u"\\\\.\\pipe\\%s", base_name(channel, pid));
}

std::u16string class_commp::busy_mutex_name(const std::u16string& channel, uint32_t pid)
{
    return text::format(u"busy_mutex_%s", base_name(channel, pid));
}

bool read_pipe_message(uint64_t pipe, CByteBuffer& message, uint32_t timeout_ms, uint32_t limit)
{
    auto& pipes = platform::pipes();
    message.clear();
    uint32_t available = 0, left = 0;
    pipes.peek(pipe, available, left);
    std::vector<uint8_t> chunk(first_chunk);
    uint32_t size = first_chunk;
    uint32_t wait = timeout_ms;
    for (;;) {
        uint32_t got = 0;
        const platform::Error e = pipes.read(pipe, chunk.data(), size, got, wait);
        if (uint64_t(message.size()) + got > limit) {
            message.clear();
            return false;
        }
        message.append(chunk.data(), got);
        if (e != platform::err::more_data) break;
        // The rest of the message is already there: no more waiting.
        wait = platform::infinite;
        if (size < largest_chunk) {
            size *= 2;
            chunk.resize(size);
        }
    }
    return true;
}

int class_commp::ask(uint32_t pid, const std::vector<uint8_t>& question, CByteBuffer& answer,
                     const std::u16string& channel, uint32_t answer_timeout_ms)
{
    auto& pipes = platform::pipes();
    auto& sync = platform::sync();
    answer.clear();
    const std::u16string path = pipe_path(channel, pid);
    const std::u16string busy = busy_mutex_name(channel, pid);

    const uint32_t start = platform::system().tick_count();
    const auto out_of_time = [&] { return exchange_limit_ms != 0 && elapsed_since(start) >= exchange_limit_ms; };

    for (uint32_t waited = 0; waited < busy_wait_limit_ms && MutexPresent(busy); waited += busy_probe_ms) {
        if (out_of_time()) return 0;
        sync.sleep(busy_probe_ms);
    }

    Handle pipe = platform::null_handle;
    const uint32_t connect_start = platform::system().tick_count();
    for (;;) {
        if (pipes.open_client(path, pipe) == platform::err::success) {
            if (pipes.set_message_mode(pipe) == platform::err::success) break;
            pipes.close(pipe);
        }
        pipe = platform::null_handle;
        if (elapsed_since(connect_start) >= connect_timeout_ms_ || out_of_time()) return 0;
        sync.sleep(connect_retry_ms);
    }

    std::vector<uint8_t> request(4);
    const uint32_t me = own_pid();
    for (int i = 0; i < 4; ++i) request[size_t(i)] = uint8_t(me >> (8 * i));
    request.insert(request.end(), question.begin(), question.end());

    const uint32_t write_start = platform::system().tick_count();
    bool written = false;
    for (;;) {
        uint32_t count = 0;
        const platform::Error e = pipes.write(pipe, request.data(), uint32_t(request.size()), count);
        if (e == platform::err::success) {
            written = true;
            break;
        }
        TRACE(u"ask write error [%s] : %i", path, int(e));
        if (elapsed_since(write_start) >= write_timeout_ms_ || out_of_time()) break;
        sync.sleep(write_retry_ms);
    }
    // A peer that never answers must not hold the asker: the read is bounded, and nothing in time
    // is the empty answer.
    if (written && exchange_limit_ms != 0) {
        const uint32_t used = elapsed_since(start);
        answer_timeout_ms = used >= exchange_limit_ms ? 0 : std::min(answer_timeout_ms, exchange_limit_ms - used);
    }
    if (written && !read_pipe_message(pipe, answer, answer_timeout_ms))
        TRACE(u"ask answer too long [%s] : more than %u bytes, dropped", path, unsigned(max_message_bytes));
    pipes.close(pipe);
    return 1;
}

std::u16string class_commp::AskText(uint32_t pid, const std::u16string& question, const std::u16string& channel,
                                    uint32_t answer_timeout_ms)
{
    CByteBuffer answer;
    if (ask(pid, text::to_utf16le(question), answer, channel, answer_timeout_ms) != 1) return {};
    // The answer is a terminated text: a peer that sends its terminator, or anything after a
    // zero, answers with what comes before it.
    std::u16string text = answer.as_utf16();
    if (const size_t nul = text.find(u'\0'); nul != std::u16string::npos) text.resize(nul);
    return text;
}

std::u16string class_commp::AskProcess(const std::u16string& process_name, const std::u16string& question,
                                       const std::u16string& channel, uint32_t answer_timeout_ms)
{
    if (!trusted_peers_only) {
        const uint32_t pid = processes.FindProcessByName(process_name);
        if (pid == 0) return {};
        return AskText(pid, question, channel, answer_timeout_ms);
    }
    std::u16string own;
    if (platform::processes().current_user_name(own) != platform::err::success) own.clear();
    const std::u16string wanted = text::to_lower(process_name);
    std::vector<uint32_t> ids;
    processes.EnumerateProcesses(ids);
    for (uint32_t id : ids) {
        if (text::to_lower(processes.ProcessImagePath(id)).find(wanted) == std::u16string::npos) continue;
        const std::u16string user = processes.ProcessUserName(id);
        if (!user.empty() && (user == own || user == u"root" || user == u"SYSTEM"))
            return AskText(id, question, channel, answer_timeout_ms);
        TRACE(u"Not asking %s (process %u): it runs as \"%s\", neither this program's user nor the system",
              process_name, unsigned(id), user);
    }
    return {};
}

std::u16string class_commp::AskOtherInstance(const std::u16string& question, const std::u16string& channel)
{
    const uint32_t me = own_pid();
    const std::u16string own = text::to_lower(processes.ProcessImagePath(me));
    if (own.empty()) return {};
    std::vector<uint32_t> ids;
    processes.EnumerateProcesses(ids);
    // Other copies of the program may run beside the /start instance (a /test: or /gud: run) and
    // listen to nobody: each is asked in turn until one answers.
    for (uint32_t id : ids) {
        if (id == me) continue;
        if (text::to_lower(processes.ProcessImagePath(id)) != own) continue;
        std::u16string answer = AskText(id, question, channel);
        if (!answer.empty()) return answer;
    }
    return {};
}

void class_commp::listen(const std::u16string& channel, const std::atomic<bool>* stop)
{
    auto& pipes = platform::pipes();
    auto& sync = platform::sync();
    const std::u16string path = pipe_path(channel, 0);
    const std::u16string busy = u"Global\\" + busy_mutex_name(channel, 0);
    TRACE(u"listener [%s]", path);

    platform::PipeServerOptions options;
    options.max_instances = 255;
    options.out_buffer_size = 1024;
    options.in_buffer_size = 1024;
    options.default_timeout_ms = 500;
    options.system_and_everyone = true;
    options.inheritable = true;

    // The instance the next client reaches. It is made before the served one is closed, so the
    // name is never free between requests for another process to take.
    Handle next = platform::null_handle;
    AnswerDrain drain(answer_write_timeout_ms);
    while (!(stop && stop->load())) {
        Handle pipe = next;
        next = platform::null_handle;
        if (pipe == platform::null_handle) {
            if (const platform::Error e = pipes.create_server(path, options, pipe); e != platform::err::success) {
                TRACE(u"pipe error [%s] : %i", path, int(e));
                sync.sleep(1000);
                continue;
            }
        }
        if (pipes.connect(pipe) != platform::err::success) {
            pipes.close(pipe);
            continue;
        }
        Handle busy_mutex = platform::null_handle;
        if (sync.create_mutex(busy, busy_mutex) == platform::err::already_exists) {
            sync.close(busy_mutex);
            busy_mutex = platform::null_handle;
        }

        CByteBuffer request;
        if (!read_pipe_message(pipe, request, request_timeout_ms))
            TRACE(u"listen request too long [%s] : more than %u bytes, dropped", path, unsigned(max_message_bytes));
        const bool answering = request.size() >= 4;
        CByteBuffer answer;
        if (answering) {
            const uint8_t* r = request.data();
            const uint32_t asker = uint32_t(r[0]) | uint32_t(r[1]) << 8 | uint32_t(r[2]) << 16 | uint32_t(r[3]) << 24;
            if (raw_handler) {
                raw_handler(asker, r + 4, request.size() - 4, answer);
            } else if (text_handler) {
                // The handler sees a terminated text, as a C string: an embedded NUL ends it.
                std::u16string question = text::from_utf16le(std::span<const uint8_t>(r + 4, request.size() - 4));
                if (const size_t nul = question.find(u'\0'); nul != std::u16string::npos) question.resize(nul);
                if (!request_filter || request_filter(pipe, asker, question)) {
                    const auto bytes = text::to_utf16le(text_handler(asker, question));
                    answer.append(bytes.data(), bytes.size());
                }
            }
        }
        // The request is handled: the next client's instance is there and the listener is no
        // longer busy before this client can have its answer, so a client that asks again at
        // once neither waits for the busy mutex nor finds the name without a free instance.
        if (!(stop && stop->load()) && pipes.create_server(path, options, next) != platform::err::success)
            next = platform::null_handle;
        if (busy_mutex != platform::null_handle) sync.close(busy_mutex);
        if (answering) {
            // The client has this long to take its answer; one that does not is dropped.
            const uint32_t answer_start = platform::system().tick_count();
            uint32_t written = 0;
            if (const platform::Error e = pipes.write(pipe, answer.data(), answer.size(), written, answer_write_timeout_ms);
                e != platform::err::success) {
                TRACE(u"listen write error [%s] : %i", path, int(e));
            } else {
                if (!drain.take(pipe, answer_start)) AnswerDrain::finish(pipe, answer_start, answer_write_timeout_ms);
                continue;
            }
        }
        pipes.disconnect(pipe);
        pipes.close(pipe);
    }
    if (next != platform::null_handle) pipes.close(next);
}
