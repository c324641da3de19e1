// The card file: a card started from it is the card as it was, every byte
// of it is checked, and a card killed at any point of a LOAD starts again
// from its last complete command.

#include "core/apdu/script.h"
#include "core/base/error.h"
#include "core/base/file_layer.h"
#include "core/base/hex.h"
#include "core/card/management.h"
#include "core/card/operations.h"
#include "core/runtime/card/card_file.h"
#include "core/runtime/card/simulated_transport.h"
#include "core/runtime/vm/snapshot.h"
#include "core/runtime/vm/vm.h"
#include "test_applet.h"

#include <gtest/gtest.h>

#include <csignal>
#include <optional>
#include <sys/wait.h>
#include <unistd.h>

namespace tolvane {
namespace {

using namespace testing;

using runtime::SimulatedTransport;

gp::StaticKeys keysOf(const char* hex)
{
    const ByteVector key = hexBytes(hex);
    return {key, key, key};
}

const char* const testKey = "404142434445464748494A4B4C4D4E4F";

// A session with the issuer security domain, its channel open.
struct Managed {
    SimulatedTransport transport;
    card::Session session;
    Managed(runtime::SimulatedCard& card, const gp::StaticKeys& keys, unsigned version = 0)
        : transport(card), session(transport)
    {
        session.selectSecurityDomain(runtime::issuerDomainAid());
        card::ChannelOptions options;
        options.keys = keys;
        options.keyVersion = version;
        session.openSecureChannel(options);
    }
    card::Session& get() { return session; }
};

// Each command (its SELECT too) adds one to the package's static short and
// answers 63 and it.
const TestApplet counter{.process = ByteVector{0x7D, 0, staticShort, 0x04, 0x41, 0x81, 0, staticShort, 0x11, 0x63,
                                               0x00, 0x7D, 0, staticShort, 0x41, 0x8D, 0, throwIt, 0x7A}};

LoadFileOptions unverified()
{
    LoadFileOptions options;
    options.verify = false;
    return options;
}

apdu::Script loadScript()
{
    apdu::Options options;
    options.blockSize = 64; // many blocks: many points at which to be killed
    return apdu::makeScript(layOutLoadFile(counter.entries(), unverified(), "test.cap"), options, "test.cap");
}

const ByteVector instance = TestApplet::concat(counter.aid, {0x01});
const ByteVector command{0x80, 0x10, 0x00, 0x00};
const ByteVector selectCounter = TestApplet::concat({0x00, 0xA4, 0x04, 0x00, 8}, instance);

// A card started from the file at `path`.
std::unique_ptr<runtime::SimulatedCard> startFrom(const std::string& path)
{
    auto card = std::make_unique<runtime::SimulatedCard>();
    card->setLoadOptions(unverified());
    if (const auto state = runtime::readCardFile(path))
        card->restoreState(*state, path);
    card->keepIn(path);
    return card;
}

TEST(CardFile, ACardStartsAgainAsItWas)
{
    TempDir dir;
    const std::string path = dir.file("simulated.card");
    const gp::StaticKeys second = keysOf("000102030405060708090A0B0C0D0E0F");
    {
        auto card = startFrom(path);
        card::sendScript(Managed(*card, keysOf(testKey)).get(), loadScript());
        EXPECT_EQ(card->transmit(selectCounter).sw, 0x6301);
        EXPECT_EQ(card->transmit(command).sw, 0x6302);
        card::putKeys(Managed(*card, keysOf(testKey)).get(), {second, 0x02, false});
        card::setApplicationLocked(Managed(*card, keysOf(testKey)).get(), instance, true);
    }
    auto card = startFrom(path);
    // The key set put, the application locked, and its static field as the
    // last command left it.
    Managed managed(*card, second, 0x02);
    const auto contents = card::listContents(managed.session);
    ASSERT_EQ(contents.applications.size(), 1u);
    EXPECT_EQ(contents.applications.front().aid, instance);
    EXPECT_EQ(contents.applications.front().lifeCycle, 0x87);
    card::setApplicationLocked(managed.session, instance, false);
    EXPECT_EQ(card->transmit(selectCounter).sw, 0x6303);
    EXPECT_EQ(card->transmit(command).sw, 0x6304);
}

TEST(CardFile, EveryByteOfTheFileIsChecked)
{
    TempDir dir;
    const std::string path = dir.file("simulated.card");
    {
        auto card = startFrom(path);
        card::sendScript(Managed(*card, keysOf(testKey)).get(), loadScript());
    }
    const ByteVector good = readFile(path);
    for (std::size_t at = 0; at < good.size(); ++at) {
        ByteVector bad = good;
        bad[at] ^= 0x01;
        writeFile(path, bad);
        try {
            startFrom(path);
            ADD_FAILURE() << "a change at byte " << at << " was taken";
        } catch (const Error& error) {
            const std::string expected = at < 12 ? "not a card file" : at < 14 ? "format version" : "corrupt";
            EXPECT_NE(error.message().find(expected), std::string::npos) << at << ": " << error.message();
        }
        EXPECT_EQ(readFile(path), bad) << "a refused card file was changed";
    }
    writeFile(path, good);
    EXPECT_NO_THROW(startFrom(path));
}

// A file whose checksum is right may still hold what no card saved: every bit
// of a real card's state flipped in turn, the checksum made again, is either
// refused with a message or makes a card that answers.
TEST(CardFile, ACraftedStateWithItsChecksumIsRefusedOrHarmless)
{
    TempDir dir;
    const std::string path = dir.file("simulated.card");
    {
        auto card = startFrom(path);
        card::sendScript(Managed(*card, keysOf(testKey)).get(), loadScript());
        card->transmit(selectCounter);
    }
    const ByteVector state = runtime::cardFileState(readFile(path), path);
    // Each bit in the sanitizers' build would take minutes: there a stride
    // that still meets every field of every object.
    const std::size_t stride = TOLVANE_CORPUS_SAMPLE == 1 ? 1 : 5;
    std::size_t refused = 0;
    for (std::size_t bit = 0; bit < state.size() * 8; bit += stride) {
        ByteVector bad = state;
        bad[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        // What a file with this state and its checksum gives, without the
        // file: the checksum is checked before the state is read.
        auto card = std::make_unique<runtime::SimulatedCard>();
        card->setLoadOptions(unverified());
        try {
            card->restoreState(bad, "crafted.card");
        } catch (const Error& error) {
            EXPECT_NE(error.message().find("a corrupt card file: "), std::string::npos) << error.message();
            ++refused;
            continue;
        }
        for (const ByteVector& apdu : {selectCounter, command, hexBytes("80CA00E000"), hexBytes("80CA006600"),
                                       hexBytes("00A4040000")})
            card->transmit(apdu);
    }
    EXPECT_GT(refused, 0u);
}

// A card of 4 logical channels reads the channel from any class byte's low
// bits, so an applet's own E0 and F0 commands reach it where a card of 20
// takes them for channel 4 and says why; the card file keeps the coding.
TEST(CardFile, AFourChannelCardTakesProprietaryClassesAndKeepsItsCoding)
{
    TempDir dir;
    const std::string path = dir.file("simulated.card");
    const ByteVector proprietary{0xE0, 0x10, 0x00, 0x00};
    for (const unsigned channels : {20u, 4u}) {
        std::filesystem::remove(path); // a new card each time
        runtime::CardSettings settings;
        settings.channels = channels;
        runtime::SimulatedCard card(settings);
        card.setLoadOptions(unverified());
        card.keepIn(path);
        card::sendScript(Managed(card, keysOf(testKey)).get(), loadScript());
        EXPECT_EQ(card.transmit(selectCounter).sw, 0x6301);
        const auto answer = card.transmit(proprietary);
        if (channels == 4) {
            EXPECT_EQ(answer.sw, 0x6302);
        } else {
            EXPECT_EQ(answer.sw, 0x6881);
            EXPECT_NE(answer.cardReason.find("--channels 4"), std::string::npos) << answer.cardReason;
        }
    }
    // The file of the card of 4 opens only as one.
    runtime::SimulatedCard other;
    try {
        other.restoreState(*runtime::readCardFile(path), path);
        ADD_FAILURE() << "a card of 4 channels opened as one of 20";
    } catch (const Error& error) {
        EXPECT_NE(error.message().find("--channels 4"), std::string::npos) << error.message();
    }
    runtime::CardSettings four;
    four.channels = 4;
    runtime::SimulatedCard same(four);
    same.setLoadOptions(unverified());
    EXPECT_NO_THROW(same.restoreState(*runtime::readCardFile(path), path));
}

// The sequence counter at the end of its range opens no more sessions: a
// counter that wrapped would give a session an old one's card challenge.
TEST(CardFile, TheSequenceCounterNeverWraps)
{
    struct Case {
        gp::Protocol protocol;
        unsigned i;
        const char* counter;   // as the state keeps it, after the domain's protocol and i
        const char* lastOne;   // the last counter a session may use
    };
    for (const Case& c : {Case{gp::Protocol::Scp03, 0x70, "037000000001", "037000FFFFFE"},
                          Case{gp::Protocol::Scp02, 0x55, "025500000001", "02550000FFFF"}}) {
        TempDir dir;
        const std::string path = dir.file("simulated.card");
        runtime::CardKeys keys;
        keys.protocol = c.protocol;
        keys.i = c.i;
        keys.keys = keysOf(testKey);
        {
            runtime::SimulatedCard card({}, keys);
            card.keepIn(path);
            Managed managed(card, keysOf(testKey)); // one session: the counter is 1
        }
        ByteVector state = runtime::cardFileState(readFile(path), path);
        const ByteVector counter = hexBytes(c.counter), last = hexBytes(c.lastOne);
        const auto at = std::search(state.begin(), state.end(), counter.begin(), counter.end());
        ASSERT_NE(at, state.end()) << c.counter;
        std::copy(last.begin(), last.end(), at);
        writeFile(path, runtime::cardFileBytes(state));
        runtime::SimulatedCard card({}, keys);
        card.restoreState(*runtime::readCardFile(path), path);
        EXPECT_NO_THROW(Managed(card, keysOf(testKey))) << "the counter's last session";
        const auto refused = card.transmit(hexBytes("8050000008 0102030405060708 00"));
        EXPECT_EQ(refused.sw, 0x6985) << c.counter;
        EXPECT_NE(refused.cardReason.find("sequence counter"), std::string::npos) << refused.cardReason;
    }
}

// A transient array's length is all the file says of it, so a short file
// could ask for any memory: what transient arrays take is counted against the
// card's transient memory before any is made.
TEST(CardFile, TransientArraysPastTheCardsMemoryAreRefused)
{
    runtime::Vm fresh{runtime::CardSettings{}};
    runtime::StateWriter saved;
    fresh.saveMemory(saved);
    // The packages' part of a fresh card's memory, then a heap of transient
    // arrays as long as an array may be, each in 38 bytes of the file.
    runtime::StateReader in(saved.data());
    in.u16();
    for (std::size_t n = in.u32(); n > 0; --n) {
        in.u16();
        in.bytes();
        for (std::size_t refs = in.u32(); refs > 0; --refs)
            in.u16();
    }
    const std::size_t packagesEnd = in.offset();
    runtime::StateWriter out;
    for (std::size_t at = 0; at < packagesEnd; ++at)
        out.u8(saved.data()[at]);
    // 2000 transient byte arrays of 32 KB, no class; no instances,
    // exceptions or platform objects; the APDU handles.
    const std::uint32_t arrays = 2000;
    out.u32(arrays + 1);
    const ByteVector array = hexBytes("01 FFFFFFFF 02 01 0000 00 00008000 000000000000000000000000000000000000000000000000");
    for (std::uint32_t n = 0; n < arrays; ++n)
        for (const std::uint8_t byte : array)
            out.u8(byte);
    for (const std::uint8_t byte : hexBytes("000000000000000000000000 0001 0002"))
        out.u8(byte);
    runtime::Vm card{runtime::CardSettings{}};
    runtime::StateReader crafted(out.data());
    try {
        card.restoreMemory(crafted);
        ADD_FAILURE() << "65 MB of transient arrays taken from a file of " << out.data().size() << " bytes";
    } catch (const runtime::SnapshotError& error) {
        EXPECT_NE(std::string(error.what()).find("transient memory"), std::string::npos) << error.what();
    }
}

TEST(CardFile, AKillAtAnyPointOfALoadLeavesTheLastCompleteCommand)
{
    // The child loads the package and is killed just before the n-th call of
    // the file layer, for every n until the load ends unkilled; each time,
    // a card started from the file must list the package whole or not at
    // all, and must take the load again.
    TempDir dir;
    const std::string path = dir.file("simulated.card");
    unsigned kills = 0;
    for (unsigned n = 1;; ++n) {
        std::filesystem::remove(path);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            auto card = startFrom(path);
            files::atCall(n, [] { ::raise(SIGKILL); });
            Managed managed(*card, keysOf(testKey));
            card::sendScript(managed.session, loadScript());
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        const bool killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
        ASSERT_TRUE(killed || (WIFEXITED(status) && WEXITSTATUS(status) == 0)) << "status " << status;
        std::unique_ptr<runtime::SimulatedCard> card;
        ASSERT_NO_THROW(card = startFrom(path)) << "killed before call " << n;
        Managed managed(*card, keysOf(testKey));
        // The last complete command may be the LOAD: the package is there,
        // and INSTALL is sent again; before it, nothing of it is there.
        const auto contents = card::listContents(managed.session);
        const bool packageThere = std::any_of(contents.loadFiles.begin(), contents.loadFiles.end(),
                                              [&](const gp::RegistryEntry& e) { return e.aid == counter.aid; });
        const bool appletThere = !contents.applications.empty();
        EXPECT_TRUE(packageThere || !appletThere) << "killed before call " << n;
        if (!packageThere)
            card::sendScript(managed.session, loadScript());
        else if (!appletThere)
            card::install(managed.session, contents, {counter.aid, instance, instance});
        EXPECT_EQ(card->transmit(selectCounter).sw, 0x6301) << "killed before call " << n;
        if (!killed)
            break;
        ++kills;
        ASSERT_LT(n, 2000u) << "the load never ended";
    }
    EXPECT_GT(kills, loadScript().commands.size()); // killed within every command's save, at least once

}

} // namespace
} // namespace tolvane
