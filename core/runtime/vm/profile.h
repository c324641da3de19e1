#pragma once

// Where a run's instructions go: each stack of methods and the instructions
// run in its innermost one, counted when a frame comes or goes, so that an
// instruction costs nothing more for it; and each method's calls.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace tolvane::runtime {

struct Method;
struct Frame;

class Profile {
public:
    // A command's budget starts again: so does the count of what it ran.
    void startCommand() { mark_ = 0; }
    // The instructions run since the last call (`run` counts the command's
    // so far) went to the stack `frames` is.
    void account(const std::vector<Frame>& frames, std::uint64_t run);
    void entered(const Method* method) { ++calls_[method]; }

    using Namer = std::function<std::string(const Method*)>;
    // "outer;inner count", one line a stack, the input of flame graph tools.
    std::vector<std::string> folded(const Namer& name) const;

    struct Row {
        std::string method;
        std::uint64_t self = 0, total = 0, calls = 0; // total: with what it called
    };
    // The methods by the instructions run in them, most first.
    std::vector<Row> table(const Namer& name) const;
    std::uint64_t instructions() const;

private:
    std::map<std::vector<const Method*>, std::uint64_t> stacks_;
    std::map<const Method*, std::uint64_t> calls_;
    std::uint64_t mark_ = 0;
};

} // namespace tolvane::runtime
