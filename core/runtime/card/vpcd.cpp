#include "core/runtime/card/vpcd.h"

#include "core/base/error.h"

#include <cerrno>
#include <chrono>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace tolvane::runtime {
namespace {

constexpr int stopLatencyMs = 100; // how long a stop request may wait for a read to notice it

class Link {
public:
    explicit Link(int fd) : fd_(fd) {}
    ~Link() { ::close(fd_); }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // Reads exactly `count` bytes; false where the driver went away or a
    // stop was asked for. The wait is in short turns that look at `stop`: a
    // signal that came while a command ran, before this read began, would
    // interrupt nothing.
    bool read(std::uint8_t* into, std::size_t count, const std::atomic<bool>& stop)
    {
        while (count > 0) {
            if (stop)
                return false;
            pollfd ready{fd_, POLLIN, 0};
            const int polled = ::poll(&ready, 1, stopLatencyMs);
            if (polled < 0 && errno != EINTR)
                return false;
            if (polled <= 0)
                continue;
            const ssize_t got = ::recv(fd_, into, count, 0);
            if (got > 0) {
                into += got;
                count -= static_cast<std::size_t>(got);
            } else if (got == 0 || errno != EINTR) {
                return false;
            }
        }
        return true;
    }

    bool write(const std::vector<std::uint8_t>& payload)
    {
        std::vector<std::uint8_t> message{static_cast<std::uint8_t>(payload.size() >> 8),
                                          static_cast<std::uint8_t>(payload.size())};
        message.insert(message.end(), payload.begin(), payload.end());
        std::size_t sent = 0;
        while (sent < message.size()) {
            const ssize_t done = ::send(fd_, message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
            if (done < 0 && errno == EINTR)
                continue;
            if (done <= 0)
                return false;
            sent += static_cast<std::size_t>(done);
        }
        return true;
    }

private:
    int fd_;
};

int connectTo(const std::string& host, unsigned port)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int status = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found); status != 0)
        throw Error(ErrorKind::Card, host, "cannot find vpcd's host " + host + ": " + ::gai_strerror(status));
    int fd = -1;
    for (const addrinfo* at = found; at && fd < 0; at = at->ai_next) {
        fd = ::socket(at->ai_family, at->ai_socktype, at->ai_protocol);
        if (fd >= 0 && ::connect(fd, at->ai_addr, at->ai_addrlen) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    return fd;
}

// Answers the driver's messages until it goes away or a signal stops it.
void exchange(Link& link, SimulatedCard& card, const std::atomic<bool>& stop, const VpcdObserver& observer)
{
    for (;;) {
        std::uint8_t header[2];
        if (!link.read(header, 2, stop))
            return;
        std::vector<std::uint8_t> payload(static_cast<std::size_t>(header[0] << 8 | header[1]));
        if (!link.read(payload.data(), payload.size(), stop))
            return;
        if (payload.size() == 1) {
            if (payload[0] == 4) {
                if (!link.write(card.atr()))
                    return;
            } else if (payload[0] <= 2) { // power off (what a power loss does), power on, reset
                card.reset();
                if (observer.event)
                    observer.event(payload[0] == 0 ? "power off" : payload[0] == 1 ? "power on" : "reset");
            }
            continue;
        }
        const Response response = card.transmit(payload);
        if (observer.exchanged)
            observer.exchanged(payload, response);
        if (!link.write(response.bytes()))
            return;
    }
}

} // namespace

void serveVpcd(SimulatedCard& card, const std::string& host, unsigned port, const std::atomic<bool>& stop,
               const VpcdObserver& observer)
{
    const std::string where = host + ":" + std::to_string(port);
    bool waiting = false;
    while (!stop) {
        const int fd = connectTo(host, port);
        if (fd < 0) {
            if (!waiting && observer.event)
                observer.event("waiting for vpcd on " + where);
            waiting = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(stopLatencyMs));
            continue;
        }
        waiting = false;
        Link link(fd);
        if (observer.event)
            observer.event("connected to vpcd on " + where);
        exchange(link, card, stop, observer);
        if (!stop && observer.event)
            observer.event("vpcd went away");
    }
}

} // namespace tolvane::runtime
