#pragma once

// Requests that kalvor-tasks sends to a running scheduler over the local socket where the
// scheduler also takes wake-ups (see StoreLock's record), and the scheduler's replies.
// One line each way: "control VERB INDEX NAME\n", where INDEX is the task's place among
// the tasks the scheduler loaded and NAME its name in UTF-8 as hexadecimal digits (the
// scheduler acts only when both still match), answered by "ok TEXT\n" or "fail TEXT\n".

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace common {

enum class ControlVerb
{
    Run,
    Stop,
    Pause,
    Resume,
};

struct ControlRequest
{
    ControlVerb verb = ControlVerb::Run;
    std::size_t index = 0;
    std::string name; // UTF-8
};

// The command word of a verb ("run", "stop", "pause", "resume") and back.
const char* ControlVerbWord(ControlVerb verb);
std::optional<ControlVerb> ControlVerbOf(const std::string& word);

// The request as its line, line feed included.
std::string EncodeControlRequest(const ControlRequest& request);
// A request line without its line feed; nothing when it is not one.
std::optional<ControlRequest> DecodeControlRequest(const std::string& line);
// The reply line: `text` on one line (line breaks become spaces).
std::string EncodeControlReply(bool ok, const std::string& text);

// The longest line either side takes.
constexpr std::size_t kMaxControlLine = 8192;

struct ControlReply
{
    bool reached = false; // a scheduler of this user answered
    bool ok = false;
    std::string text; // the reply, or why nothing was reached
};

// Sends the request to the socket at `socketPath` and waits at most `timeout` for the
// reply. A socket whose other end belongs to another user is not talked to.
ControlReply SendControlRequest(const std::string& socketPath, const ControlRequest& request,
                                std::chrono::milliseconds timeout);

} // namespace common
