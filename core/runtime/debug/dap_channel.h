#pragma once

// The debug adapter's wire: JSON messages, each after a "Content-Length: N"
// header and an empty line, read from one file descriptor and written to
// another (standard input and output, or a TCP connection).

#include <nlohmann/json.hpp>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace tolvane::runtime {

class DapChannel {
public:
    DapChannel(int in, int out) : in_(in), out_(out) {}

    // The next message, waiting for it; none once the input has ended or
    // cannot be read as messages any more (said in `problem()`). A message
    // whose body is no JSON object is skipped, and said.
    std::optional<nlohmann::json> read();
    // Whether a whole message has arrived, without waiting.
    bool ready();
    // False once the other side is gone.
    bool write(const nlohmann::json& message);
    const std::string& problem() const { return problem_; }

    static constexpr std::size_t maxMessage = 16 << 20;

private:
    std::optional<nlohmann::json> take(); // a whole message from what has arrived
    bool fill(bool wait);                 // more bytes; false at the end or a failure

    int in_, out_;
    std::string buffer_;
    std::optional<nlohmann::json> pending_; // a message found by ready(), for read()
    bool ended_ = false;
    std::string problem_;
};

// Listens on the loopback address at `port` and waits for one client of
// this user's (a client of another user is refused, and `refused` told);
// its connection's descriptor. Throws Error (Usage) where the port cannot
// be had.
int acceptDapClient(unsigned port, const std::function<void(unsigned)>& listening,
                    const std::function<void(const std::string&)>& refused);

} // namespace tolvane::runtime
