#pragma once

// Which instructions, lines, methods and branches of the loaded packages a
// run reached: counted an instruction at a time, then written as an LCOV
// tracefile by the Debug component's source files and lines, or where a
// package has no Debug, as JSON by method and bytecode offset.

#include "core/runtime/vm/vm.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace tolvane::runtime {

class Coverage : public Tracer {
public:
    void step(Vm& vm) override;

    // "SF:...end_of_record" for each source file of the packages with Debug.
    std::string lcov(const Vm& vm) const;
    // Every loaded package's methods by offset: what ran, what each branch
    // did.
    nlohmann::json json(const Vm& vm) const;
    // The loaded packages that have no Debug component, by name.
    static std::vector<std::string> withoutDebug(const Vm& vm);

private:
    struct Counts {
        std::vector<std::uint8_t> aid; // the package's, so that a method's address reused later is not mistaken
        std::vector<std::uint64_t> hits; // by offset from the method's first instruction
        std::map<std::pair<unsigned, unsigned>, std::uint64_t> edges; // a branch's pc, where it went
        std::uint64_t calls = 0;
    };
    const Counts* countsOf(const Method* method) const;

    std::unordered_map<const Method*, Counts> methods_;
    const Method* last_ = nullptr;
    Counts* lastCounts_ = nullptr;
    unsigned lastPc_ = 0;
    std::size_t lastDepth_ = 0;
    std::uint64_t lastRun_ = 0;
};

// The places a branch or switch instruction may go: where it jumps (every
// target of a switch, its default first, once each), then where it falls
// through for a conditional branch; none for other instructions.
std::vector<unsigned> branchOutcomes(const cap::Instruction& instruction, unsigned next);

} // namespace tolvane::runtime
