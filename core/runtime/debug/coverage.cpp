#include "core/runtime/debug/coverage.h"

#include "core/base/hex.h"
#include "core/cap/bytecode.h"

#include <algorithm>
#include <set>

namespace tolvane::runtime {
namespace {

bool conditional(std::uint8_t opcode)
{
    return (opcode >= 0x60 && opcode <= 0x6F) || (opcode >= 0x98 && opcode <= 0xA7);
}

bool isSwitch(std::uint8_t opcode)
{
    return opcode >= 0x73 && opcode <= 0x76;
}

// The method's instructions, read with its own opcodes under any
// breakpoint; none where they cannot be read (the run would have faulted).
std::vector<cap::Instruction> instructionsOf(const Vm& vm, const Method& method)
{
    const Package& package = *method.package;
    std::vector<std::uint8_t> code(package.code.begin(), package.code.end());
    for (unsigned at = method.codeStart; at < method.codeEnd; ++at)
        code[at] = vm.opcodeAt(package, at);
    try {
        return cap::disassemble(code, method.codeStart, method.codeEnd);
    } catch (const cap::FindingError&) {
        return {};
    }
}

struct SourceFile {
    struct Function {
        unsigned line = 0;
        std::uint64_t calls = 0;
    };
    struct Branch {
        unsigned line = 0, block = 0, branch = 0;
        std::optional<std::uint64_t> taken; // none: the instruction never ran
    };
    std::map<std::string, Function> functions;
    std::map<unsigned, std::uint64_t> lines;
    std::vector<Branch> branches;
};

} // namespace

std::vector<unsigned> branchOutcomes(const cap::Instruction& instruction, unsigned next)
{
    std::vector<unsigned> outcomes;
    if (!conditional(instruction.opcode) && !isSwitch(instruction.opcode))
        return outcomes;
    for (const unsigned target : instruction.targets)
        if (std::find(outcomes.begin(), outcomes.end(), target) == outcomes.end())
            outcomes.push_back(target);
    if (conditional(instruction.opcode) && std::find(outcomes.begin(), outcomes.end(), next) == outcomes.end())
        outcomes.push_back(next);
    return outcomes;
}

void Coverage::step(Vm& vm)
{
    const auto& frames = vm.frames();
    const Frame& frame = frames.back();
    const Method* method = frame.method;
    if (method != last_ || !lastCounts_) {
        auto [entry, made] = methods_.try_emplace(method);
        if (made) {
            entry->second.aid = method->package->aid;
            entry->second.hits.resize(method->codeEnd - method->codeStart);
        }
        lastCounts_ = &entry->second;
    }
    Counts& counts = *lastCounts_;
    const unsigned at = frame.pc - method->codeStart;
    if (at < counts.hits.size())
        ++counts.hits[at];
    const std::uint64_t run = vm.instructionsRun();
    const bool newCommand = run == 0 || run < lastRun_;
    // Entered: its first instruction, reached from another frame (a loop
    // back to it stays in the same one).
    if (frame.pc == method->codeStart && (newCommand || frames.size() != lastDepth_ || method != last_))
        ++counts.calls;
    else if (!newCommand && method == last_ && frames.size() == lastDepth_ &&
             (conditional(vm.opcodeAt(*method->package, lastPc_)) || isSwitch(vm.opcodeAt(*method->package, lastPc_))))
        ++counts.edges[{lastPc_, frame.pc}];
    last_ = method;
    lastPc_ = frame.pc;
    lastDepth_ = frames.size();
    lastRun_ = run;
}

const Coverage::Counts* Coverage::countsOf(const Method* method) const
{
    const auto found = methods_.find(method);
    return found != methods_.end() && found->second.aid == method->package->aid ? &found->second : nullptr;
}

std::vector<std::string> Coverage::withoutDebug(const Vm& vm)
{
    std::vector<std::string> names;
    for (const auto& package : vm.packages())
        if (!package->api && package->debug.empty())
            names.push_back(package->name);
    return names;
}

std::string Coverage::lcov(const Vm& vm) const
{
    std::map<std::string, SourceFile> files;
    for (const auto& package : vm.packages()) {
        if (package->api)
            continue;
        std::map<std::string, unsigned> blocksOnLine; // by file and line, the branch instructions met so far
        for (const auto& [offset, debug] : package->debug) {
            const auto found = package->methodAt.find(offset);
            if (found == package->methodAt.end() || debug.lines.empty())
                continue;
            const Method& method = *found->second;
            const Counts* counts = countsOf(&method);
            const auto hitsAt = [&](unsigned pc) -> std::uint64_t {
                return counts && pc >= method.codeStart && pc - method.codeStart < counts->hits.size()
                           ? counts->hits[pc - method.codeStart]
                           : 0;
            };
            const std::string path = debug.sourcePath(); // where genhtml looks, from the source root
            SourceFile& file = files[path];
            unsigned first = debug.lines.front().line;
            // A line runs as often as its busiest instruction.
            std::map<unsigned, std::uint64_t> lines;
            for (const auto& line : debug.lines) {
                first = std::min(first, line.line);
                std::uint64_t most = 0;
                for (unsigned pc = line.start; pc < line.end; ++pc)
                    most = std::max(most, hitsAt(pc));
                lines[line.line] = std::max(lines[line.line], most);
            }
            for (const auto& [line, count] : lines)
                file.lines[line] += count;
            const std::string name = debug.cls.substr(debug.cls.rfind('/') + 1) + "." + debug.method + debug.descriptor;
            file.functions[name].line = first;
            file.functions[name].calls += counts ? counts->calls : 0;
            const auto instructions = instructionsOf(vm, method);
            for (std::size_t i = 0; i < instructions.size(); ++i) {
                const unsigned next = i + 1 < instructions.size() ? instructions[i + 1].offset : method.codeEnd;
                const auto outcomes = branchOutcomes(instructions[i], next);
                if (outcomes.empty())
                    continue;
                const unsigned line = debug.lineAt(instructions[i].offset);
                const unsigned block = blocksOnLine[path + ":" + std::to_string(line)]++;
                const bool ran = hitsAt(instructions[i].offset) > 0;
                for (unsigned b = 0; b < outcomes.size(); ++b) {
                    SourceFile::Branch branch{line, block, b, std::nullopt};
                    if (ran) {
                        const auto edge = counts->edges.find({instructions[i].offset, outcomes[b]});
                        branch.taken = edge != counts->edges.end() ? edge->second : 0;
                    }
                    file.branches.push_back(branch);
                }
            }
        }
    }
    std::string out;
    const auto add = [&](const std::string& line) { out += line + '\n'; };
    for (const auto& [path, file] : files) {
        add("TN:");
        add("SF:" + path);
        std::size_t hit = 0;
        for (const auto& [name, function] : file.functions)
            add("FN:" + std::to_string(function.line) + "," + name);
        for (const auto& [name, function] : file.functions) {
            add("FNDA:" + std::to_string(function.calls) + "," + name);
            hit += function.calls > 0;
        }
        add("FNF:" + std::to_string(file.functions.size()));
        add("FNH:" + std::to_string(hit));
        hit = 0;
        for (const auto& branch : file.branches) {
            add("BRDA:" + std::to_string(branch.line) + "," + std::to_string(branch.block) + "," +
                std::to_string(branch.branch) + "," + (branch.taken ? std::to_string(*branch.taken) : "-"));
            hit += branch.taken.value_or(0) > 0;
        }
        add("BRF:" + std::to_string(file.branches.size()));
        add("BRH:" + std::to_string(hit));
        hit = 0;
        for (const auto& [line, count] : file.lines) {
            add("DA:" + std::to_string(line) + "," + std::to_string(count));
            hit += count > 0;
        }
        add("LF:" + std::to_string(file.lines.size()));
        add("LH:" + std::to_string(hit));
        add("end_of_record");
    }
    return out;
}

nlohmann::json Coverage::json(const Vm& vm) const
{
    nlohmann::json packages = nlohmann::json::array();
    for (const auto& package : vm.packages()) {
        if (package->api)
            continue;
        nlohmann::json methods = nlohmann::json::array();
        for (const auto& [offset, method] : package->methodAt) {
            if (method->native || method->codeStart >= method->codeEnd)
                continue;
            const Counts* counts = countsOf(method);
            nlohmann::json instructions = nlohmann::json::array(), branches = nlohmann::json::array();
            const auto found = instructionsOf(vm, *method);
            for (std::size_t i = 0; i < found.size(); ++i) {
                const unsigned at = found[i].offset;
                const std::uint64_t hits = counts ? counts->hits[at - method->codeStart] : 0;
                instructions.push_back({{"offset", at}, {"count", hits}});
                const unsigned next = i + 1 < found.size() ? found[i + 1].offset : method->codeEnd;
                nlohmann::json outcomes = nlohmann::json::array();
                for (const unsigned target : branchOutcomes(found[i], next)) {
                    std::uint64_t taken = 0;
                    if (counts)
                        if (const auto edge = counts->edges.find({at, target}); edge != counts->edges.end())
                            taken = edge->second;
                    outcomes.push_back({{"target", target}, {"count", taken}});
                }
                if (!outcomes.empty())
                    branches.push_back({{"offset", at}, {"outcomes", outcomes}});
            }
            methods.push_back({{"method", vm.methodName(method)},
                               {"offset", offset},
                               {"calls", counts ? counts->calls : 0},
                               {"instructions", instructions},
                               {"branches", branches}});
        }
        packages.push_back({{"package", package->name},
                            {"aid", hexText(package->aid, HexCase::Upper)},
                            {"debug", !package->debug.empty()},
                            {"methods", methods}});
    }
    return {{"packages", packages}};
}

} // namespace tolvane::runtime
