// Both converters in process, beside the physical floor measured in the same
// run: reading the same CAP file and writing as many bytes as its IJC file
// with plain system calls. Prints bytes per second and each converter's speed
// as a share of the floor's.

#include "core/convert/archive_converter.h"
#include "core/convert/scan_converter.h"
#include "core/report/report_sink.h"
#include "core/zip/archive.h"
#include "zip_builder.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <unistd.h>

namespace {

using namespace tolvane;

struct Input {
    std::string name;
    std::string cap;
    std::string ijc;
    std::int64_t ijcSize = 0;
};

std::vector<Input> inputs;

void writeBytes(const std::string& path, const testing::ByteVector& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// About 1 MiB of stored components: a Header and fifteen of the largest size.
testing::ByteVector largeCap()
{
    std::vector<testing::ZipEntry> entries{
        {.name = "pkg/javacard/Header.cap", .data = testing::headerComponent(2, 2, {0xA0, 0, 0, 0, 0x62}, "pkg")}};
    for (int i = 0; i < 15; ++i) {
        testing::ByteVector content(65535);
        for (std::size_t j = 0; j < content.size(); ++j)
            content[j] = static_cast<std::uint8_t>(j * 31 + i);
        entries.push_back({.name = "pkg/javacard/Part" + std::to_string(i) + ".cap",
                           .data = testing::component(static_cast<std::uint8_t>(2 + i), content)});
    }
    return testing::buildZip(entries);
}

void floor(benchmark::State& state, const Input& input)
{
    std::vector<char> buffer(std::filesystem::file_size(input.cap));
    std::vector<char> output(static_cast<std::size_t>(input.ijcSize));
    for (auto _ : state) {
        const int in = ::open(input.cap.c_str(), O_RDONLY);
        benchmark::DoNotOptimize(::read(in, buffer.data(), buffer.size()));
        ::close(in);
        // A new file each time: truncating one that holds data would make
        // ext4 write the new data out at close, which is no floor.
        ::unlink(input.ijc.c_str());
        const int out = ::open(input.ijc.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        benchmark::DoNotOptimize(::write(out, output.data(), output.size()));
        ::close(out);
    }
    state.SetBytesProcessed(state.iterations() * input.ijcSize);
}

void archiveConverter(benchmark::State& state, const Input& input)
{
    ZipArchive archive;
    LineHolder report;
    for (auto _ : state)
        convertThroughArchive(input.cap, report, archive);
    state.SetBytesProcessed(state.iterations() * input.ijcSize);
}

void scanConverter(benchmark::State& state, const Input& input)
{
    LineHolder report;
    for (auto _ : state)
        convertByScanning(input.cap, report);
    state.SetBytesProcessed(state.iterations() * input.ijcSize);
}

// Keeps each run's time per iteration, to set the converters beside the floor.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        // With repetitions, the median stands for the benchmark.
        for (const auto& run : runs)
            if (run.run_type == Run::RT_Iteration || run.aggregate_name == "median")
                seconds[run.run_name.str()] = run.GetAdjustedRealTime();
    }
    std::map<std::string, double> seconds;
};

} // namespace

int main(int argc, char** argv)
{
    const auto work = std::filesystem::temp_directory_path() / ("tolvane-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(work);

    const std::filesystem::path typical = TOLVANE_CORPUS_DIR "/cap/JCAlgTest__JavaPurse.cap";
    if (std::filesystem::exists(typical)) {
        std::filesystem::copy_file(typical, work / "typical.cap");
        inputs.push_back({"typical", (work / "typical.cap").string(), (work / "typical.ijc").string()});
    }
    writeBytes((work / "large.cap").string(), largeCap());
    inputs.push_back({"large", (work / "large.cap").string(), (work / "large.ijc").string()});

    for (auto& input : inputs) {
        LineHolder report;
        convertByScanning(input.cap, report);
        input.ijcSize = static_cast<std::int64_t>(std::filesystem::file_size(input.ijc));
        benchmark::RegisterBenchmark(("floor/" + input.name).c_str(), floor, input);
        benchmark::RegisterBenchmark(("archive/" + input.name).c_str(), archiveConverter, input);
        benchmark::RegisterBenchmark(("scan/" + input.name).c_str(), scanConverter, input);
    }

    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\n%-10s %10s %14s %14s\n", "input", "IJC bytes", "archive/floor", "scan/floor");
    for (const auto& input : inputs) {
        const double floorTime = reporter.seconds["floor/" + input.name];
        std::printf("%-10s %10lld %14.2f %14.2f\n", input.name.c_str(), static_cast<long long>(input.ijcSize),
                    floorTime / reporter.seconds["archive/" + input.name],
                    floorTime / reporter.seconds["scan/" + input.name]);
    }
    benchmark::Shutdown();
    std::filesystem::remove_all(work);
    return 0;
}
