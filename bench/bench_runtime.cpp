// What running bytecode costs on the simulated card: a corpus applet's own
// SHA-3 (Keccak written in Java Card bytecode, nothing native in its rounds)
// hashing a command's data, one command an iteration. The counters give the
// instructions one command runs and how many run a second.

#include "core/checks/checks.h"
#include "core/convert/input_file.h"
#include "core/runtime/card/simulated_card.h"
#include "core/zip/archive.h"

#include <benchmark/benchmark.h>
#include <filesystem>

namespace {

using namespace tolvane;

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

// SHA3-256 of a command's data: 3 bytes, or 110 (the applet takes up to 127).
void sha3Command(benchmark::State& state)
{
    if (!std::filesystem::exists(sha3Applet)) {
        state.SkipWithError("no corpus");
        return;
    }
    const auto card = cardWithSha3();
    std::vector<std::uint8_t> command{0xB0, 0x61, 0x00, 0x00, static_cast<std::uint8_t>(state.range(0))};
    command.resize(5 + static_cast<std::size_t>(state.range(0)), 'a');
    std::uint64_t instructions = 0;
    for (auto _ : state) {
        const auto response = card->transmit(command);
        if (response.sw != 0x9000)
            state.SkipWithError("the applet did not answer 9000");
        instructions += response.instructions;
    }
    state.counters["instructions/command"] =
        benchmark::Counter(static_cast<double>(instructions) / static_cast<double>(state.iterations()));
    state.counters["instructions/s"] =
        benchmark::Counter(static_cast<double>(instructions), benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK(sha3Command)->Arg(3)->Arg(110)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
