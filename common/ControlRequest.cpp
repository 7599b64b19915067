#include "common/ControlRequest.h"

#include "common/UniqueFd.h"

#include <cerrno>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace common {
namespace {

constexpr const char* kWords[] = {"run", "stop", "pause", "resume"};
const std::string kPrefix = "control ";

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::string OneLine(std::string text)
{
    for (char& c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    return text;
}

} // namespace

const char* ControlVerbWord(ControlVerb verb)
{
    return kWords[static_cast<int>(verb)];
}

std::optional<ControlVerb> ControlVerbOf(const std::string& word)
{
    for (int i = 0; i < 4; ++i)
        if (word == kWords[i])
            return static_cast<ControlVerb>(i);
    return std::nullopt;
}

std::string EncodeControlRequest(const ControlRequest& request)
{
    static const char kHex[] = "0123456789abcdef";
    std::string line = kPrefix + ControlVerbWord(request.verb) + ' ' + std::to_string(request.index) + ' ';
    for (const unsigned char c : request.name) {
        line += kHex[c >> 4];
        line += kHex[c & 15];
    }
    return line + '\n';
}

std::optional<ControlRequest> DecodeControlRequest(const std::string& line)
{
    if (line.compare(0, kPrefix.size(), kPrefix) != 0)
        return std::nullopt;
    const std::size_t verbEnd = line.find(' ', kPrefix.size());
    const std::size_t indexEnd = verbEnd == std::string::npos ? verbEnd : line.find(' ', verbEnd + 1);
    if (indexEnd == std::string::npos)
        return std::nullopt;
    ControlRequest request;
    const auto verb = ControlVerbOf(line.substr(kPrefix.size(), verbEnd - kPrefix.size()));
    const std::string index = line.substr(verbEnd + 1, indexEnd - verbEnd - 1);
    const std::string hex = line.substr(indexEnd + 1);
    if (!verb || index.empty() || index.size() > 18 || index.find_first_not_of("0123456789") != std::string::npos ||
        hex.size() % 2 != 0)
        return std::nullopt;
    request.verb = *verb;
    request.index = std::stoull(index);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = HexValue(hex[i]);
        const int low = HexValue(hex[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        request.name += static_cast<char>(high * 16 + low);
    }
    return request;
}

std::string EncodeControlReply(bool ok, const std::string& text)
{
    return (ok ? "ok " : "fail ") + OneLine(text) + '\n';
}

ControlReply SendControlRequest(const std::string& socketPath, const ControlRequest& request,
                                std::chrono::milliseconds timeout)
{
    ControlReply reply;
    const auto fail = [&reply](const std::string& why) {
        reply.text = why;
        return reply;
    };
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path)
        return fail("no usable socket path");
    std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // A scheduler that is stopped or busy leaves connections waiting in its queue; once the
    // queue is full a connect would block for ever, so it is tried again until the deadline.
    const UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0)
        return fail(socketPath + ": " + std::strerror(errno));
    while (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            return fail(socketPath + ": " + std::strerror(errno));
        if (std::chrono::steady_clock::now() >= deadline)
            return fail("the scheduler did not take the request within " + std::to_string(timeout.count() / 1000) +
                        " s; nothing was sent");
        ::poll(nullptr, 0, 50);
    }
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != ::geteuid())
        return fail(socketPath + " belongs to another user");
    const std::string line = EncodeControlRequest(request);
    for (std::size_t sent = 0; sent < line.size();) {
        const ssize_t n = ::send(fd.get(), line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            ::poll(nullptr, 0, 10);
            continue;
        }
        if (n <= 0)
            return fail(socketPath + ": " + std::strerror(errno));
        sent += static_cast<std::size_t>(n);
    }
    const auto answerBy = std::chrono::steady_clock::now() + timeout;
    std::string answer;
    while (answer.find('\n') == std::string::npos && answer.size() < kMaxControlLine) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(answerBy - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return fail("the scheduler did not answer within " + std::to_string(timeout.count() / 1000) +
                        " s; it may still carry the request out");
        pollfd p{fd.get(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) < 0 && errno != EINTR)
            return fail(std::strerror(errno));
        if (!(p.revents & (POLLIN | POLLHUP)))
            continue;
        char buffer[1024];
        const ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return fail("the scheduler closed the connection without an answer");
        answer.append(buffer, static_cast<std::size_t>(n));
    }
    answer = answer.substr(0, answer.find('\n'));
    reply.reached = true;
    reply.ok = answer.compare(0, 3, "ok ") == 0;
    reply.text = answer.substr(answer.find(' ') == std::string::npos ? answer.size() : answer.find(' ') + 1);
    return reply;
}

} // namespace common
