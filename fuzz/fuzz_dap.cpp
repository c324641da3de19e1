// The debug adapter on any bytes from its client: the input is what the
// client sends, whole, then its end. With a launch that names any file, the
// card holds the corpus wallet (with Debug, so that breakpoints, steps and
// variables are reached). Nothing may crash, read outside a buffer or hang:
// a session stopped inside a command ends when the input does.

#include "core/base/error.h"
#include "core/checks/checks.h"
#include "core/convert/input_file.h"
#include "core/runtime/debug/debugger.h"
#include "core/zip/archive.h"
#include "fuzz_support.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace tolvane;
    const int in = ::memfd_create("dap-input", MFD_CLOEXEC);
    const int out = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    fuzz::require(in >= 0 && out >= 0, "the input and output open");
    fuzz::require(::write(in, data, size) == static_cast<ssize_t>(size), "the input written");
    ::lseek(in, 0, SEEK_SET);
    runtime::DebugCardMaker maker;
    maker.make = [](const runtime::DebugLaunch& launch) {
        runtime::CardSettings settings;
        settings.budget = 200000;
        auto card = std::make_unique<runtime::SimulatedCard>(settings);
        if (!launch.files.empty()) {
            ZipArchive archive;
            const InputFile input = readInput(TOLVANE_FUZZ_WALLET);
            card->load(makeLoadFile(entriesOf(input, archive), {}, input.path), input.path);
        }
        return card;
    };
    maker.install = [](runtime::SimulatedCard& card) {
        std::vector<std::string> lines;
        for (const auto& applet : card.lastApplets())
            card.install(applet.aid, applet.aid, {0}, {0x31, 0x32, 0x33, 0x34, 0x35});
        return lines;
    };
    {
        runtime::DapChannel channel(in, out);
        runtime::Debugger debugger(channel, maker, {});
        debugger.serve();
    }
    ::close(in);
    ::close(out);
    return 0;
}
