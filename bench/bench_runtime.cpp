// What running bytecode costs on the simulated card: a corpus applet's own
// SHA-3 (Keccak written in Java Card bytecode, nothing native in its rounds)
// hashing a command's data, one command an iteration. The counters give the
// instructions one command runs and how many run a second. And what keeping
// a card of a real card's size in its card file costs: the state made and
// the file replaced after a command that changed it, and the state made and
// compared after one that did not. And the same command watched: by
// coverage, which sees every instruction, and by a debugger running to a
// breakpoint that the command never reaches.

#include "core/checks/checks.h"
#include "core/convert/input_file.h"
#include "core/runtime/card/card_file.h"
#include "core/runtime/card/simulated_card.h"
#include "core/runtime/debug/coverage.h"
#include "core/runtime/vm/vm.h"
#include "core/zip/archive.h"

#include <benchmark/benchmark.h>
#include <filesystem>

namespace {

using namespace tolvane;
using runtime::CardSettings;

const std::string sha3Applet = TOLVANE_CORPUS_DIR "/cap/OptimizedJCAlgs__sha3.cap";

std::unique_ptr<runtime::SimulatedCard> cardWithSha3()
{
    ZipArchive archive;
    const InputFile input = readInput(sha3Applet);
    const LoadFile file = makeLoadFile(entriesOf(input, archive), {}, sha3Applet);
    auto card = std::make_unique<runtime::SimulatedCard>();
    card->load(file, sha3Applet);
    for (const auto& applet : card->lastApplets())
        card->install(applet.aid, applet.aid, {0}, {});
    card->transmit(std::vector<std::uint8_t>{0x00, 0xA4, 0x04, 0x00, 0x08, 'U', 'n', 'i', 't', 'T', 'e', 's', 't'});
    return card;
}

// The hash of `length` bytes, a command an iteration, with the instructions
// one command runs and how many run a second.
void hashEachIteration(benchmark::State& state, runtime::SimulatedCard& card, std::size_t length)
{
    std::vector<std::uint8_t> command{0xB0, 0x61, 0x00, 0x00, static_cast<std::uint8_t>(length)};
    command.resize(5 + length, 'a');
    std::uint64_t instructions = 0;
    for (auto _ : state) {
        const auto response = card.transmit(command);
        if (response.sw != 0x9000)
            state.SkipWithError("the applet did not answer 9000");
        instructions += response.instructions;
    }
    state.counters["instructions/command"] =
        benchmark::Counter(static_cast<double>(instructions) / static_cast<double>(state.iterations()));
    state.counters["instructions/s"] =
        benchmark::Counter(static_cast<double>(instructions), benchmark::Counter::kIsRate);
}

// SHA3-256 of a command's data: 3 bytes, or 110 (the applet takes up to 127).
void sha3Command(benchmark::State& state)
{
    if (!std::filesystem::exists(sha3Applet)) {
        state.SkipWithError("no corpus");
        return;
    }
    hashEachIteration(state, *cardWithSha3(), static_cast<std::size_t>(state.range(0)));
}

// Five large corpus applets, installed: some 170 KB of Load File Data
// Blocks and their objects, as much as a real card holds.
std::unique_ptr<runtime::SimulatedCard> fullCard()
{
    CardSettings settings;
    settings.persistentBytes = 1024 * 1024;
    auto card = std::make_unique<runtime::SimulatedCard>(settings);
    for (const char* name : {"OpenFIPS201__OpenFIPS201.cap", "Java-Card-PKI-Applet__applet.cap",
                             "Satocash-Applet__Satocash.cap", "javacard-simulator__wallet.cap",
                             "OptimizedJCAlgs__sha3.cap"}) {
        const std::string path = TOLVANE_CORPUS_DIR "/cap/" + std::string(name);
        ZipArchive archive;
        const InputFile input = readInput(path);
        card->load(makeLoadFile(entriesOf(input, archive), {}, path), path);
        for (const auto& applet : card->lastApplets())
            card->install(applet.aid, applet.aid, {0}, {});
    }
    return card;
}

void cardFileSaved(benchmark::State& state)
{
    if (!std::filesystem::exists(sha3Applet)) {
        state.SkipWithError("no corpus");
        return;
    }
    const auto card = fullCard();
    const std::string path = (std::filesystem::temp_directory_path() / "tolvane-bench.card").string();
    std::size_t bytes = 0;
    for (auto _ : state) {
        const auto saved = card->saveState();
        runtime::writeCardFile(path, saved);
        bytes = saved.size();
    }
    std::filesystem::remove(path);
    state.counters["state bytes"] = benchmark::Counter(static_cast<double>(bytes));
}

void cardFileUnchanged(benchmark::State& state)
{
    if (!std::filesystem::exists(sha3Applet)) {
        state.SkipWithError("no corpus");
        return;
    }
    const auto card = fullCard();
    const auto saved = card->saveState();
    for (auto _ : state)
        benchmark::DoNotOptimize(card->saveState() == saved);
}

// A debugger's way of watching while it runs: a look every few thousand
// instructions (for a pause request), and its breakpoints.
struct Running : runtime::Tracer {
    void step(runtime::Vm&) override { ++looks; }
    std::uint64_t slice() const override { return 4096; }
    void breakpoint(runtime::Vm&) override { ++hits; }
    std::uint64_t looks = 0, hits = 0;
};

// Arg 0: with coverage; 1: with a breakpoint on the applet's install
// method, which a command never runs.
void sha3Watched(benchmark::State& state)
{
    if (!std::filesystem::exists(sha3Applet)) {
        state.SkipWithError("no corpus");
        return;
    }
    const auto card = cardWithSha3();
    runtime::Coverage coverage;
    Running running;
    if (state.range(0) == 0) {
        card->setTracer(&coverage);
    } else {
        auto& package = *card->vm().packages().back();
        const auto* install = package.methodAt.at(package.applets.front().second);
        if (!card->vm().setBreakpoint(package, install->codeStart))
            state.SkipWithError("no breakpoint");
        card->setTracer(&running);
    }
    hashEachIteration(state, *card, 110);
    if (running.hits != 0)
        state.SkipWithError("the breakpoint was hit");
}

} // namespace

BENCHMARK(cardFileSaved)->Unit(benchmark::kMillisecond);
BENCHMARK(cardFileUnchanged)->Unit(benchmark::kMillisecond);
BENCHMARK(sha3Command)->Arg(3)->Arg(110)->Unit(benchmark::kMillisecond);
BENCHMARK(sha3Watched)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
