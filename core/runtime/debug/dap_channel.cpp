#include "core/runtime/debug/dap_channel.h"

#include "core/base/error.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace tolvane::runtime {

bool DapChannel::fill(bool wait)
{
    if (ended_)
        return false;
    if (!wait) {
        pollfd polled{in_, POLLIN, 0};
        if (::poll(&polled, 1, 0) <= 0)
            return false;
    }
    char bytes[65536];
    for (;;) {
        const ssize_t got = ::read(in_, bytes, sizeof bytes);
        if (got > 0) {
            buffer_.append(bytes, static_cast<std::size_t>(got));
            return true;
        }
        if (got < 0 && errno == EINTR)
            continue;
        ended_ = true;
        if (got < 0)
            problem_ = std::string("the client cannot be read: ") + std::strerror(errno);
        return false;
    }
}

namespace {

constexpr std::size_t maxNesting = 64;

// The deepest nesting of arrays and objects in a JSON text, strings passed over.
std::size_t nestingDepth(const std::string& text)
{
    std::size_t depth = 0, deepest = 0;
    bool inString = false, escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

} // namespace

std::optional<nlohmann::json> DapChannel::take()
{
    for (;;) {
        const auto headerEnd = buffer_.find("\r\n\r\n");
        if (headerEnd == std::string::npos) {
            if (buffer_.size() > 4096) {
                problem_ = "a message's header runs past 4096 bytes";
                ended_ = true;
                buffer_.clear();
            }
            return std::nullopt;
        }
        // Header fields, one a line; only Content-Length matters.
        std::optional<std::size_t> length;
        std::size_t at = 0;
        while (at < headerEnd) {
            std::size_t lineEnd = buffer_.find("\r\n", at);
            if (lineEnd == std::string::npos || lineEnd > headerEnd)
                lineEnd = headerEnd;
            const std::string line = buffer_.substr(at, lineEnd - at);
            constexpr const char* name = "Content-Length:";
            if (line.rfind(name, 0) == 0) {
                const std::string digits = line.substr(std::strlen(name));
                char* end = nullptr;
                const unsigned long long value = std::strtoull(digits.c_str(), &end, 10);
                if (end != digits.c_str() && *end == '\0' && value <= maxMessage)
                    length = static_cast<std::size_t>(value);
            }
            at = lineEnd + 2;
        }
        if (!length) {
            problem_ = "a message without a Content-Length of at most " + std::to_string(maxMessage) + " bytes";
            ended_ = true;
            buffer_.clear();
            return std::nullopt;
        }
        if (buffer_.size() < headerEnd + 4 + *length)
            return std::nullopt;
        const std::string body = buffer_.substr(headerEnd + 4, *length);
        buffer_.erase(0, headerEnd + 4 + *length);
        // The JSON library copies and compares values by recursion: a
        // message nested past any the protocol has is never parsed.
        if (nestingDepth(body) > maxNesting) {
            problem_ = "a message nested deeper than " + std::to_string(maxNesting) + " levels was passed over";
            continue;
        }
        auto message = nlohmann::json::parse(body, nullptr, false);
        if (!message.is_discarded() && message.is_object())
            return message;
        problem_ = "a message that is no JSON object was passed over";
    }
}

std::optional<nlohmann::json> DapChannel::read()
{
    if (pending_)
        return std::exchange(pending_, std::nullopt);
    for (;;) {
        if (auto message = take())
            return message;
        if (!fill(true))
            return take();
    }
}

bool DapChannel::ready()
{
    while (!pending_ && fill(false))
        pending_ = take();
    if (!pending_)
        pending_ = take();
    return pending_.has_value();
}

bool DapChannel::write(const nlohmann::json& message)
{
    const std::string body = message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    const std::string whole = "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    std::size_t done = 0;
    while (done < whole.size()) {
        const ssize_t wrote = ::write(out_, whole.data() + done, whole.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

namespace {

// The user of the local process at the other end of TCP connection `fd`, as
// the kernel's table of TCP sockets gives it: the row whose local address is
// the peer's and whose remote address is this end's.
std::optional<uid_t> peerUid(int fd)
{
    sockaddr_in local{}, peer{};
    socklen_t size = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0)
        return std::nullopt;
    size = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0)
        return std::nullopt;
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, "%08X:%04X %08X:%04X", peer.sin_addr.s_addr, ntohs(peer.sin_port),
                  local.sin_addr.s_addr, ntohs(local.sin_port));
    std::ifstream table("/proc/net/tcp");
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, from, to, state, queues, timer, retransmits;
        unsigned long uid = 0;
        if (fields >> slot >> from >> to >> state >> queues >> timer >> retransmits >> uid && from + " " + to == wanted)
            return static_cast<uid_t>(uid);
    }
    return std::nullopt;
}

} // namespace

int acceptDapClient(unsigned port, const std::function<void(unsigned)>& listening,
                    const std::function<void(const std::string&)>& refused)
{
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server < 0)
        throw Error(ErrorKind::Unexpected, {}, std::string("cannot make a socket: ") + std::strerror(errno));
    const int yes = 1;
    ::setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(server, 1) != 0 ||
        ::getsockname(server, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        const std::string why = std::strerror(errno);
        ::close(server);
        throw Error(ErrorKind::Unexpected, {}, "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + why);
    }
    listening(ntohs(address.sin_port));
    int client;
    for (;;) {
        do
            client = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
        while (client < 0 && errno == EINTR);
        if (client < 0)
            break;
        // The client drives the card and names files to read and write:
        // only this user's own programs may be it.
        const auto uid = peerUid(client);
        if (uid && *uid == ::getuid())
            break;
        refused(uid ? "a client of user " + std::to_string(*uid) + ", not this one, was refused"
                    : "a client whose user cannot be told was refused");
        ::close(client);
    }
    const std::string why = std::strerror(errno);
    ::close(server);
    if (client < 0)
        throw Error(ErrorKind::Unexpected, {}, "no client connected: " + why);
    return client;
}

} // namespace tolvane::runtime
