// What decoding and checking every component costs a load file, over the
// whole corpus in one process: the load files made whole, beside the same
// decoding and checks alone, and the bytecode verifier alone, measured in
// the same run. The ratio of the first to the first less the second is what
// the checks cost; to the first less the third, what verification costs.

#include "core/cap/load_file.h"
#include "core/cap/package.h"
#include "core/cap/verify.h"
#include "core/checks/checks.h"
#include "core/report/structure.h"
#include "core/verifier/verifier.h"
#include "core/zip/archive.h"

#include <benchmark/benchmark.h>
#include <filesystem>

namespace {

using namespace tolvane;

struct Cap {
    std::vector<CapEntry> entries;
    std::vector<std::uint8_t> storage; // the components, for the decoding alone
    cap::ComponentSet components;
    unsigned capMinor = 2;
};

std::vector<Cap> caps;

// A few corpus files break a verifier's rules: their load files are made
// all the same, every check run, what they find warned of.
LoadFileOptions unverified()
{
    LoadFileOptions options;
    options.verify = false;
    return options;
}

void loadCorpus()
{
    const std::filesystem::path folder = TOLVANE_CORPUS_DIR "/cap";
    if (!std::filesystem::is_directory(folder))
        return;
    for (const auto& item : std::filesystem::directory_iterator(folder)) {
        if (item.path().extension() != ".cap")
            continue;
        Cap cap;
        ZipArchive archive;
        archive.open(item.path().string());
        for (std::int64_t i = 0; i < archive.entryCount(); ++i) {
            EntryStream stream;
            archive.extract(i, stream);
            cap.entries.push_back({archive.entryName(i), {stream.begin(), stream.end()}, std::nullopt});
        }
        caps.push_back(std::move(cap));
    }
    for (auto& cap : caps) {
        const LoadFile file = makeLoadFile(cap.entries, unverified(), "corpus");
        cap.capMinor = file.capMinor;
        cap.storage = file.bytes;
        std::size_t at = 0;
        for (const auto& component : file.components) {
            const std::size_t framing = component.tag == cap::staticResourcesTag ? 5 : 3;
            cap.components.present[component.tag] = true;
            cap.components.content[component.tag] =
                Bytes(cap.storage).subspan(at + framing, component.bytes.size() - framing);
            at += component.bytes.size();
        }
    }
}

void loadFiles(benchmark::State& state)
{
    for (auto _ : state)
        for (const auto& cap : caps)
            benchmark::DoNotOptimize(makeLoadFile(cap.entries, unverified(), "corpus"));
    state.counters["files"] = static_cast<double>(caps.size());
}

void decodeAndCheck(benchmark::State& state)
{
    for (auto _ : state)
        for (const auto& cap : caps) {
            const auto package = cap::decodePackage(cap.components, cap.capMinor);
            benchmark::DoNotOptimize(cap::verifyPackage(package));
        }
    state.counters["files"] = static_cast<double>(caps.size());
}

// The packages decoded once; each run verifies every method's bytecode.
void verification(benchmark::State& state)
{
    std::vector<cap::Package> packages;
    for (const auto& cap : caps)
        packages.push_back(cap::decodePackage(cap.components, cap.capMinor));
    for (auto _ : state)
        for (const auto& package : packages)
            benchmark::DoNotOptimize(verifier::verifyBytecode(package, {}));
    state.counters["files"] = static_cast<double>(packages.size());
}

// The package with the most instructions, as the window's Structure view
// gets it.
const LoadFile& largestPackage()
{
    static const LoadFile largest = [] {
        LoadFile best;
        std::size_t most = 0;
        for (const auto& cap : caps) {
            LoadFile file = makeLoadFile(cap.entries, unverified(), "corpus");
            std::size_t count = 0;
            for (const auto& cls : file.package->classes)
                for (const auto& method : cls.methods)
                    count += method.instructions.size();
            if (count > most) {
                most = count;
                best = std::move(file);
            }
        }
        return best;
    }();
    return largest;
}

// The tree the Structure view opens with: listings are made only on demand.
void structureAsOpened(benchmark::State& state)
{
    const LoadFile& file = largestPackage();
    for (auto _ : state)
        benchmark::DoNotOptimize(structureOf(file));
}

// The same tree with every method's listing made up front.
void structureWithEveryListing(benchmark::State& state)
{
    const LoadFile& file = largestPackage();
    std::size_t rows = 0;
    for (auto _ : state) {
        rows = 0;
        for (std::size_t c = 0; c < file.package->classes.size(); ++c)
            for (std::size_t m = 0; m < file.package->classes[c].methods.size(); ++m)
                rows += listingOf(file, c, m).size();
        benchmark::DoNotOptimize(structureOf(file));
    }
    state.counters["instructions"] = static_cast<double>(rows);
}

} // namespace

int main(int argc, char** argv)
{
    loadCorpus();
    benchmark::RegisterBenchmark("load files of the corpus", loadFiles)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("decoding and checks alone", decodeAndCheck)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("bytecode verification alone", verification)->Unit(benchmark::kMillisecond);
    if (!caps.empty()) {
        benchmark::RegisterBenchmark("structure of the largest package, as opened", structureAsOpened)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("structure of the largest package, every listing made", structureWithEveryListing)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
