#include "core/runtime/vm/profile.h"

#include "core/runtime/vm/vm.h"

#include <algorithm>
#include <set>

namespace tolvane::runtime {

void Profile::account(const std::vector<Frame>& frames, std::uint64_t run)
{
    if (run > mark_ && !frames.empty()) {
        std::vector<const Method*> stack;
        stack.reserve(frames.size());
        for (const Frame& frame : frames)
            stack.push_back(frame.method);
        stacks_[stack] += run - mark_;
    }
    mark_ = run;
}

std::vector<std::string> Profile::folded(const Namer& name) const
{
    std::map<std::string, std::uint64_t> lines;
    for (const auto& [stack, count] : stacks_) {
        std::string line;
        for (const Method* method : stack)
            line += (line.empty() ? "" : ";") + name(method);
        lines[line] += count;
    }
    std::vector<std::string> out;
    for (const auto& [line, count] : lines)
        out.push_back(line + " " + std::to_string(count));
    return out;
}

std::vector<Profile::Row> Profile::table(const Namer& name) const
{
    std::map<const Method*, Row> rows;
    for (const auto& [stack, count] : stacks_) {
        rows[stack.back()].self += count;
        // Once for each method the stack holds, however often it recurs.
        for (const Method* method : std::set<const Method*>(stack.begin(), stack.end()))
            rows[method].total += count;
    }
    for (const auto& [method, calls] : calls_)
        rows[method].calls = calls;
    std::vector<Row> out;
    for (auto& [method, row] : rows) {
        row.method = name(method);
        out.push_back(row);
    }
    std::stable_sort(out.begin(), out.end(), [](const Row& a, const Row& b) {
        return a.self != b.self ? a.self > b.self : a.total > b.total;
    });
    return out;
}

std::uint64_t Profile::instructions() const
{
    std::uint64_t sum = 0;
    for (const auto& [stack, count] : stacks_)
        sum += count;
    return sum;
}

} // namespace tolvane::runtime
