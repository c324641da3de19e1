// The simulated card on any package and any commands: the input is a
// two-byte length, a package laid out as components (as a load file is),
// then commands, each a length byte and its bytes (a length of 0 resets the
// card; FF is followed by a two-byte length, for extended commands). The package runs without the verifier, so that every word's kind
// and every bound is left to the runtime's own checks; a small instruction
// budget keeps each command short. Nothing may crash, read outside an
// object or hang, and a command answered 6F00 says why. A package the card
// refuses leaves the commands to its card manager. Then the card's state
// goes into a card and back out unchanged; and that state edited by the
// commands' bytes (a crafted card file with its checksum made again), and the
// commands' bytes themselves taken as a card's state, are refused or make a
// card that answers without harm.

#include "core/base/error.h"
#include "core/cap/components_file.h"
#include "core/cap/load_file.h"
#include "core/runtime/card/simulated_card.h"
#include "fuzz_support.h"

#include <algorithm>
#include <functional>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace tolvane;
    if (size < 2)
        return 0;
    const std::size_t length = std::min<std::size_t>(size - 2, static_cast<std::size_t>(data[0] << 8 | data[1]));
    const Bytes package(data + 2, length);
    std::vector<CapEntry> entries;
    for (std::size_t at = 0; const auto frame = componentFrameAt(package, at);) {
        const std::size_t end = std::min(length, at + frame->framing + frame->size);
        entries.push_back({"pkg/javacard/" + componentFileName(frame->tag),
                           {package.begin() + static_cast<long>(at), package.begin() + static_cast<long>(end)},
                           std::nullopt});
        at = end;
    }
    runtime::CardSettings settings;
    settings.budget = 200000;
    settings.persistentBytes = 32 * 1024;
    runtime::SimulatedCard card(settings);
    try {
        const LoadFile file = layOutLoadFile(
            entries, {.keepDescriptor = true, .verify = false, .target = {}, .exports = {}}, "input.cap");
        card.load(file, "input.cap");
        for (const auto& applet : card.lastApplets())
            card.install(applet.aid, applet.aid, {0}, {});
    } catch (const Error&) {
        // Refused, as a card refuses a load or an install: the commands go
        // to the card manager.
    }
    for (std::size_t at = 2 + length; at < size;) {
        std::size_t count = data[at++];
        if (count == 0) {
            card.reset();
            continue;
        }
        if (count == 0xFF && at + 2 <= size) {
            count = static_cast<std::size_t>(data[at] << 8 | data[at + 1]);
            at += 2;
        }
        const std::vector<std::uint8_t> command(data + at, data + std::min(size, at + count));
        at += count;
        const auto response = card.transmit(command);
        fuzz::require(response.sw != 0x6F00 || !response.diagnostics.empty(), "a 6F00 answer says why");
        fuzz::require(response.data.size() <= 32767, "an answer carries what a short can count at most");
        fuzz::require(response.cardReason.empty() || response.data.size() <= 1,
                      "an answer the card gives itself carries no applet's data");
    }
    const LoadFileOptions unverified{.keepDescriptor = true, .verify = false, .target = {}, .exports = {}};
    const auto state = card.saveState();
    {
        runtime::SimulatedCard again(settings);
        again.setLoadOptions(unverified);
        again.restoreState(state, "input.card");
        fuzz::require(again.saveState() == state, "a card's state comes back out of a card unchanged");
    }
    const std::vector<std::uint8_t> tail(data + std::min(size, 2 + length), data + size);
    // The card's own state edited by the commands' bytes (three at a time: a
    // place scaled to the state's length and a byte to XOR there), as a card
    // file whose checksum was made again after it was changed; then the
    // commands' bytes themselves, taken as a card's state.
    auto edited = state;
    for (std::size_t at = 0; at + 3 <= tail.size() && !edited.empty(); at += 3)
        edited[(std::size_t{tail[at]} << 8 | tail[at + 1]) * edited.size() / 0x10000] ^= tail[at + 2];
    for (const auto& crafted : {std::cref(edited), std::cref(tail)}) {
        runtime::SimulatedCard card(settings);
        card.setLoadOptions(unverified);
        try {
            card.restoreState(crafted.get(), "input.card");
        } catch (const Error&) {
            continue; // refused, as a corrupt card file is
        }
        for (const std::vector<std::uint8_t>& apdu :
             {std::vector<std::uint8_t>{0x00, 0xA4, 0x04, 0x00, 0x00}, {0x80, 0xCA, 0x00, 0xE0, 0x00},
              {0x80, 0xF2, 0x40, 0x02, 0x02, 0x4F, 0x00, 0x00}, {0x80, 0x50, 0x00, 0x00, 0x08, 1, 2, 3, 4, 5, 6, 7, 8}})
            card.transmit(apdu);
        // The commands that ran on the first card, on this one.
        for (std::size_t at = 2 + length; at < size;) {
            const std::size_t count = data[at++];
            const std::vector<std::uint8_t> command(data + at, data + std::min(size, at + count));
            at += count;
            if (count != 0 && count != 0xFF)
                card.transmit(command);
        }
    }
    return 0;
}
