// Question-and-answer exchanges with other processes of the suite over local named pipes.
//
// A process that wants to be asked listens on "\\.\pipe\zelmar_comm_<channel>_<pid>"; an asker sends
// one request message (its own process identifier as 4 little-endian bytes, then the question's
// UTF-16LE code units) and reads one answer message (UTF-16LE code units; 0 bytes is the empty
// answer). While a listener handles a request it holds the global mutex
// "busy_mutex_zelmar_comm_<channel>_<pid>", which askers wait for before they connect.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "host/files.h"
#include "host/processes.h"

class class_commp {
public:
    // Handlers of requests: the raw one sees the payload bytes and fills the answer bytes; the
    // text one sees the question as text and returns the answer text.
    using RawHandler = void (*)(uint32_t asker, const uint8_t* payload, size_t size, CByteBuffer& answer);
    using TextHandler = std::u16string (*)(uint32_t asker, const std::u16string& question);

    // How long an asker waits for the answer once its question is written, unless told otherwise.
    // The suite answers at once; "cfg" may take a settings reload with its retries.
    static constexpr uint32_t default_answer_timeout_ms = 60000;
    // How long a listener waits for the request of a client that connected, and for the client to
    // take its answer; a client that does not is dropped. The wait for the answer to be taken runs
    // beside the listener, which serves the next client meanwhile: a client that never reads its
    // answer delays nobody else.
    static constexpr uint32_t request_timeout_ms = 10000;
    static constexpr uint32_t answer_write_timeout_ms = 10000;
    // The longest request or answer taken: far beyond any real one (settings and device lists are
    // kilobytes); a longer message is dropped whole, and that is traced.
    static constexpr uint32_t max_message_bytes = 16u * 1024u * 1024u;

    class_commp(uint32_t connect_timeout_ms = 2000, uint32_t write_timeout_ms = 2000)
        : connect_timeout_ms_(connect_timeout_ms), write_timeout_ms_(write_timeout_ms)
    {
    }

    RawHandler raw_handler = nullptr;
    TextHandler text_handler = nullptr;

    // When not 0, one exchange (busy wait, connect, write and answer) ends within this many
    // milliseconds whatever the peer does: a question not yet written by then is not sent, and an
    // answer not read by then is the empty answer. For askers that are themselves waited for,
    // such as the verdict on a held device.
    uint32_t exchange_limit_ms = 0;

    // One exchange with process `pid` (0: this process) on `channel`. Returns 1 when a connection
    // was made and the question written (the answer may still be empty: nothing came in time, or
    // the listener gave none), 0 when no connection could be made.
    int ask(uint32_t pid, const std::vector<uint8_t>& question, CByteBuffer& answer, const std::u16string& channel,
            uint32_t answer_timeout_ms = default_answer_timeout_ms);
    // The question as text; the answer as text, empty when there is none.
    std::u16string AskText(uint32_t pid, const std::u16string& question, const std::u16string& channel,
                           uint32_t answer_timeout_ms = default_answer_timeout_ms);
    // When set, AskProcess asks only a process that runs as this program's own user or as the
    // system's account ("root" on Linux, "SYSTEM" on Windows): a process of another user named
    // like the suite's monitor is passed over with a trace line, as if none ran. For the programs
    // whose answers decide (the monitor's settings) and that are given the rules.
    bool trusted_peers_only = false;

    // Asks the first process whose image path contains `process_name`; empty when none runs.
    std::u16string AskProcess(const std::u16string& process_name, const std::u16string& question,
                              const std::u16string& channel,
                              uint32_t answer_timeout_ms = default_answer_timeout_ms);
    // Asks the other running instances of this program (the same executable path), in the order
    // they are listed, until one answers; empty when none does.
    std::u16string AskOtherInstance(const std::u16string& question, const std::u16string& channel);

    // Serves requests on `channel` for this process, one at a time. Returns only when `stop` is
    // given and set (checked between requests), once the clients answered last have taken their
    // answers or run out of time. The pipe name stays served from the first request to the
    // return: the instance for the next client, and the end of the busy mutex, come before the
    // answer, so a client that asks again as soon as it has its answer finds the listener ready.
    void listen(const std::u16string& channel, const std::atomic<bool>* stop = nullptr);

    // Decides whether the asker may have the request acted on: called with the server end and the
    // asker before the handler; a refused request is answered like an unknown one (the empty
    // answer). Null: every request is acted on.
    using RequestFilter = bool (*)(uint64_t pipe, uint32_t asker, const std::u16string& question);
    RequestFilter request_filter = nullptr;

    // The names for (channel, pid): "zelmar_comm_<channel>_<pid>", its pipe path and busy mutex.
    static std::u16string base_name(const std::u16string& channel, uint32_t pid);
    static std::u16string pipe_path(const std::u16string& channel, uint32_t pid);
    static std::u16string busy_mutex_name(const std::u16string& channel, uint32_t pid);

    CProcesses processes;

private:
    uint32_t connect_timeout_ms_;
    uint32_t write_timeout_ms_;
};

// Reads one whole message: a 16-byte read, then chunks that double (up to 1 MiB) while the pipe
// says there is more of the message. The first read waits at most `timeout_ms`. A message longer
// than `limit` bytes is not kept: `message` is left empty and false is returned.
bool read_pipe_message(uint64_t pipe, CByteBuffer& message, uint32_t timeout_ms,
                       uint32_t limit = class_commp::max_message_bytes);
