// The simulated card's card manager against the project's own host side:
// the card modes' commands sent through a session to the simulated card,
// and the card side of the secure channels against the published vectors.

#include "core/apdu/script.h"
#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/card/management.h"
#include "core/card/operations.h"
#include "core/checks/checks.h"
#include "core/gp/card_channel.h"
#include "core/gp/card_data.h"
#include "core/runtime/card/simulated_transport.h"
#include "corpus_support.h"
#include "test_applet.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>

namespace tolvane {
namespace {

using namespace testing;

using runtime::SimulatedTransport;

// The simulated card as a transport that keeps its last answer whole, the
// card's reason with it.
struct RecordingTransport : card::Transport {
    explicit RecordingTransport(runtime::SimulatedCard& card) : card_(card) {}
    ByteVector transmit(const ByteVector& command) override
    {
        last = card_.transmit(command);
        return last.bytes();
    }
    ByteVector atr() const override { return card_.atr(); }
    std::string reader() const override { return "simulated"; }
    runtime::Response last;

private:
    runtime::SimulatedCard& card_;
};

const ByteVector isd = runtime::issuerDomainAid();

gp::StaticKeys defaultKeys()
{
    return {gp::defaultTestKey(), gp::defaultTestKey(), gp::defaultTestKey()};
}

card::ChannelOptions channelOptions(const gp::StaticKeys& keys, gp::SecurityLevel level, unsigned version = 0)
{
    card::ChannelOptions options;
    options.keys = keys;
    options.level = level;
    options.keyVersion = version;
    return options;
}

bool lists(const std::vector<gp::RegistryEntry>& entries, const ByteVector& aid)
{
    return std::any_of(entries.begin(), entries.end(), [&](const gp::RegistryEntry& e) { return e.aid == aid; });
}

TEST(CardManager, TheCardSideAgreesWithThePublishedVectors)
{
    // SCP03, i = 70: the pseudo-random card challenge from the counter and
    // the domain's AID, then a command with C-MAC, C-DECRYPTION and the
    // responses' protection asked for.
    gp::CardChannelSetup scp03;
    scp03.protocol = gp::Protocol::Scp03;
    scp03.i = 0x70;
    scp03.keyVersion = 0x30;
    scp03.diversificationData = ByteVector(10, 0x00);
    scp03.sdAid = hexBytes("A0000005591010FFFFFFFF8900000100");
    scp03.counter = hexBytes("000003");
    gp::CardChannel aes({hexBytes("000102030405060708090A0B0C0D0E0F"), hexBytes("101112131415161718191A1B1C1D1E1F"),
                         hexBytes("202122232425262728292A2B2C2D2E2F")},
                        scp03, hexBytes("FDF38259A1E0DE44"));
    EXPECT_EQ(hexOf(aes.answer()), "00000000000000000000" "3003703B1ACA81E821F219081CDC01C26B372D000003");
    EXPECT_EQ(aes.authenticate(hexBytes("8482330010 8C36F96BCC00724A 4E13AD591D7DA3F0")).why, "");
    const auto plain = aes.unwrap(hexBytes("84E2910018 267A85DFE4A98FCA6FB0527E0DFECCE4 914E40401433C87F 00"));
    ASSERT_TRUE(std::holds_alternative<ByteVector>(plain)) << std::get<std::string>(plain);
    EXPECT_EQ(hexOf(std::get<ByteVector>(plain)), "80E2910006BF3E035C015A00");

    // The answer to that command under R-MAC and R-ENCRYPTION: its data
    // enciphered under S-ENC from the ICV of the counter with 80 first, then
    // MACed under the published S-RMAC over the command's whole C-MAC, the
    // data and the status word.
    const ByteVector sEnc = hexBytes("BC5689F3A0B783A9ED6DA1C5C6BC1F99");
    const ByteVector sMac = hexBytes("0415F56CBB9E488BB171B2B66081F004");
    const ByteVector sRmac = hexBytes("1EE185123244E047BC9D68B914BD1FBE");
    const ByteVector authenticateMac =
        gp::aesCmac(sMac, hexBytes("00000000000000000000000000000000 8482330010 8C36F96BCC00724A"));
    const ByteVector commandMac = gp::aesCmac(
        sMac, gp::joined({authenticateMac, hexBytes("84E2910018 267A85DFE4A98FCA6FB0527E0DFECCE4")}));
    ByteVector icv(16, 0x00);
    icv[0] = 0x80;
    icv[15] = 0x01;
    const ByteVector enciphered =
        gp::aesCbc(sEnc, gp::aesEcb(sEnc, icv), gp::padded(hexBytes("0102030405"), 16));
    const ByteVector rmac = gp::aesCmac(sRmac, gp::joined({commandMac, enciphered, {0x90, 0x00}}));
    EXPECT_EQ(hexOf(aes.protect(hexBytes("0102030405"), 0x9000)),
              hexOf(gp::joined({enciphered, ByteVector(rmac.begin(), rmac.begin() + 8)})));
    // Status words other than 90 00, 62 xx and 63 xx have no R-MAC.
    EXPECT_EQ(hexOf(aes.protect({}, 0x6A82)), "");

    // SCP02, i = 55: the card's cryptogram from the counter and challenge,
    // then the MAC chained from EXTERNAL AUTHENTICATE's.
    gp::CardChannelSetup scp02;
    scp02.protocol = gp::Protocol::Scp02;
    scp02.i = 0x55;
    scp02.keyVersion = 0x70;
    scp02.diversificationData = ByteVector(10, 0x00);
    scp02.counter = hexBytes("0001");
    scp02.random = hexBytes("6B4524ABEE7C0000");
    gp::CardChannel des({hexBytes("100102030405060708090A0B0C0D0E0F"), hexBytes("101102030405060708090A0B0C0D0E0F"),
                         hexBytes("102102030405060708090A0B0C0D0E0F")},
                        scp02, hexBytes("40A62C37FA6304F8"));
    EXPECT_EQ(hexOf(des.answer()), "00000000000000000000" "7002" "0001" "6B4524ABEE7C" "F32EA3838BC148F3");
    EXPECT_EQ(des.authenticate(hexBytes("8482010010 BA6961667737C5BC EBECE14C7D6A4376")).why, "");
    const auto status = des.unwrap(hexBytes("84F2200208 14DB34FA4341DCA8"));
    ASSERT_TRUE(std::holds_alternative<ByteVector>(status)) << std::get<std::string>(status);
    EXPECT_EQ(hexOf(std::get<ByteVector>(status)), "80F22002");
    // The same command again has a MAC the chain no longer gives.
    EXPECT_TRUE(std::holds_alternative<std::string>(des.unwrap(hexBytes("84F2200208 14DB34FA4341DCA8"))));
    // A level is raised, never lowered, and never past what i offers
    // (SCP02 i = 55 has no R-MAC).
    EXPECT_FALSE(des.raiseLevel(gp::level::cmac | gp::level::rmac));
    EXPECT_TRUE(des.raiseLevel(gp::level::cmac | gp::level::cdecryption));
    EXPECT_FALSE(des.raiseLevel(gp::level::cmac));
}

// Test applets are bytecode of our own, which the card takes unverified:
// the runtime alone must hold.
LoadFileOptions unverified()
{
    LoadFileOptions options;
    options.verify = false;
    return options;
}

struct Channel {
    gp::Protocol protocol;
    unsigned i;
    gp::SecurityLevel level;
};

TEST(CardManager, EveryCardModeRoundTripsWithTheHostSide)
{
    const Channel channels[] = {
        {gp::Protocol::Scp03, 0x00, gp::SecurityLevel::Mac},
        {gp::Protocol::Scp03, 0x10, gp::SecurityLevel::MacAndEncryption},
        {gp::Protocol::Scp03, 0x30, gp::SecurityLevel::Mac},
        {gp::Protocol::Scp03, 0x70, gp::SecurityLevel::MacAndEncryption},
        {gp::Protocol::Scp02, 0x15, gp::SecurityLevel::Mac},
        {gp::Protocol::Scp02, 0x55, gp::SecurityLevel::MacAndEncryption},
    };
    const TestApplet applet{.process = throwSw(0x6311)};
    const LoadFile file = layOutLoadFile(applet.entries(), unverified(), "test.cap");
    const ByteVector instance = TestApplet::concat(applet.aid, {0x01});
    const ByteVector selectApplet = TestApplet::concat({0x00, 0xA4, 0x04, 0x00, 8}, instance);
    for (const auto& channel : channels) {
        SCOPED_TRACE("SCP0" + std::to_string(static_cast<int>(channel.protocol)) + " i=" + std::to_string(channel.i));
        runtime::CardKeys keys;
        keys.protocol = channel.protocol;
        keys.i = channel.i;
        runtime::SimulatedCard card({}, keys);
        card.setLoadOptions(unverified());
        SimulatedTransport transport(card);
        // Each step opens a session of its own, as each run of the card
        // modes does.
        std::optional<card::Session> current;
        const auto open = [&](const gp::StaticKeys& with, unsigned version = 0, const ByteVector& domain = isd) {
            current.emplace(transport);
            current->selectSecurityDomain(domain);
            current->openSecureChannel(channelOptions(with, channel.level, version));
            return std::ref(*current);
        };

        // A load and an install, as --send sends them.
        apdu::Options options;
        options.blockSize = 200;
        options.instance = instance;
        options.hash = apdu::HashKind::Sha256; // checked against what LOAD brings
        card::sendScript(open(defaultKeys()), apdu::makeScript(file, options, "test.cap"));
        auto contents = card::listContents(*current);
        ASSERT_TRUE(contents.isd);
        EXPECT_EQ(contents.isd->aid, isd);
        EXPECT_TRUE(lists(contents.loadFiles, *bytesFromHex(file.packageAid, HexSpaces::Ignored)));
        EXPECT_TRUE(lists(contents.applications, instance));
        EXPECT_EQ(card.transmit(selectApplet).sw, 0x6311);
        // The older form of GET STATUS, where P2 asks for it: the
        // application, and the load file with its module.
        const auto older = [&](std::uint8_t p1) {
            const auto answer = open(defaultKeys()).get().send({0x80, 0xF2, p1, 0x00, 0x02, 0x4F, 0x00, 0x00}, "GET STATUS");
            EXPECT_EQ(answer.sw, 0x9000);
            return gp::readRegistry(answer.data, p1, false).value_or(std::vector<gp::RegistryEntry>{});
        };
        EXPECT_TRUE(lists(older(0x40), instance));
        const auto files = older(0x10);
        const auto withModule = std::find_if(files.begin(), files.end(), [&](const gp::RegistryEntry& e) {
            return e.aid == applet.aid && e.modules == std::vector<ByteVector>{instance};
        });
        EXPECT_NE(withModule, files.end());

        // PUT KEY adds a key set; it opens a channel, and a wrong key is
        // found out by the card's cryptogram before a try is spent.
        gp::StaticKeys second{hexBytes(channel.protocol == gp::Protocol::Scp03 ? "000102030405060708090A0B0C0D0E0F1011121314151617"
                                                                               : "000102030405060708090A0B0C0D0E0F"),
                              {}, {}};
        if (channel.protocol == gp::Protocol::Scp02)
            second.enc = hexBytes("000102030405060708090A0B0C0D0E0F");
        second.mac = second.enc;
        second.dek = second.enc;
        EXPECT_EQ(card::putKeys(open(defaultKeys()), {second, 0x02, false}).size(), 3u);
        EXPECT_EQ(card::keyVersions(*current), (std::vector<unsigned>{0x01, 0x02}));
        EXPECT_THROW(card::putKeys(*current, {second, 0x02, false}), Error); // that version is there
        open(second, 0x02);
        EXPECT_THROW(open(second, 0x01), Error);

        // Lock and unlock the application; lock and unlock the card.
        card::setApplicationLocked(open(defaultKeys()), instance, true);
        EXPECT_EQ(card.transmit(selectApplet).sw, 0x6999);
        card::setApplicationLocked(open(defaultKeys()), instance, false);
        EXPECT_EQ(card.transmit(selectApplet).sw, 0x6311);
        card::setCardState(open(defaultKeys()), isd, card::CardState::Locked);
        EXPECT_EQ(card.transmit(selectApplet).sw, 0x6999);
        EXPECT_TRUE(open(defaultKeys()).get().cardLocked());
        card::setCardState(*current, isd, card::CardState::Unlocked);
        EXPECT_EQ(card.transmit(selectApplet).sw, 0x6311);

        // A supplementary security domain, the application extradited to
        // it, a channel opened with it.
        const ByteVector ssd = hexBytes("A000000151535001");
        contents = card::listContents(open(defaultKeys()));
        card::createSecurityDomain(*current, contents, ssd, {0x80}, {});
        card::extradite(*current, instance, ssd);
        contents = card::listContents(*current);
        const auto moved = std::find_if(contents.applications.begin(), contents.applications.end(),
                                        [&](const gp::RegistryEntry& e) { return e.aid == instance; });
        ASSERT_NE(moved, contents.applications.end());
        EXPECT_EQ(moved->securityDomain, ssd);
        EXPECT_EQ(card::listContents(open(defaultKeys(), 0, ssd)).isd->aid, isd);

        // DELETE: the load file is refused while its application is there,
        // then goes with it.
        const ByteVector package = *bytesFromHex(file.packageAid, HexSpaces::Ignored);
        EXPECT_THROW(card::deleteObjects(open(defaultKeys()), {package}, false), Error);
        card::extradite(open(defaultKeys()), instance, isd);
        card::deleteObjects(*current, {package}, true);
        contents = card::listContents(*current);
        EXPECT_FALSE(lists(contents.loadFiles, package));
        EXPECT_FALSE(lists(contents.applications, instance));
        EXPECT_EQ(card.transmit(selectApplet).sw, 0x6A82);
        // And it loads again.
        card::sendScript(*current, apdu::makeScript(file, options, "test.cap"));
        EXPECT_EQ(card.transmit(selectApplet).sw, 0x6311);
    }
}

TEST(CardManager, AnApplicationMayShareItsLoadFilesAid)
{
    // As many packages' applets do: the instance is named by the package's
    // AID, and each registry entry is still reached as what it is.
    const TestApplet applet{.process = throwSw(0x6311)};
    runtime::SimulatedCard card;
    card.load(layOutLoadFile(applet.entries(), unverified(), "test.cap"), "test.cap");
    card.install(TestApplet::concat(applet.aid, {0x01}), applet.aid, {0}, {});
    SimulatedTransport transport(card);
    card::Session session(transport);
    session.selectSecurityDomain(isd);
    session.openSecureChannel(channelOptions(defaultKeys(), gp::SecurityLevel::Mac));
    const auto contents = card::listContents(session);
    EXPECT_TRUE(lists(contents.loadFiles, applet.aid));
    EXPECT_TRUE(lists(contents.applications, applet.aid));
    card::setApplicationLocked(session, applet.aid, true);
    const ByteVector selectApplet = TestApplet::concat({0x00, 0xA4, 0x04, 0x00, 7}, applet.aid);
    EXPECT_EQ(card.transmit(selectApplet).sw, 0x6999);
    card::Session again(transport);
    again.selectSecurityDomain(isd);
    again.openSecureChannel(channelOptions(defaultKeys(), gp::SecurityLevel::Mac));
    // Made the default application (card reset privilege), its privileges
    // then changed by a registry update, and unlocked: a reset selects it.
    card::makeDefault(again, applet.aid);
    EXPECT_EQ(again.send(hexBytes("80E640000E 00 00 07A0000000627E01 010C 00 00"), "INSTALL [for registry update]").sw,
              0x9000);
    card::setApplicationLocked(again, applet.aid, false);
    card.reset();
    EXPECT_EQ(card.transmit(hexBytes("80100000")).sw, 0x6311);
    card::Session third(transport);
    third.selectSecurityDomain(isd);
    third.openSecureChannel(channelOptions(defaultKeys(), gp::SecurityLevel::Mac));
    const auto listed = card::listContents(third);
    const auto made = std::find_if(listed.applications.begin(), listed.applications.end(),
                                   [&](const gp::RegistryEntry& e) { return e.aid == applet.aid; });
    ASSERT_NE(made, listed.applications.end());
    EXPECT_EQ(hexOf(made->privileges), "0C0000"); // card reset and card terminate, as the registry update gave
    card::deleteObjects(third, {applet.aid}, true);
    const auto after = card::listContents(third);
    EXPECT_FALSE(lists(after.loadFiles, applet.aid));
    EXPECT_FALSE(lists(after.applications, applet.aid));
}

TEST(CardManager, AnAppletOpensItsSecureChannelAndUnwrapsCommands)
{
    // process: nothing for its SELECT; INS 20 is unwrapped through
    // GPSystem.getSecureChannel() and its data sent back; anything else
    // (INITIALIZE UPDATE, EXTERNAL AUTHENTICATE) goes to processSecurity,
    // in either form, whose answer is sent.
    const std::uint8_t getSecureChannel = pinCheck, secureChannel = pinTries, secureChannelx2 = pinReset;
    const ByteVector apduForm{0x1B, 0x19, 0x8E, 2, 0, secureChannel, 0, 0x29, 4}; // processSecurity(apdu)
    const ByteVector bufferForm{0x1B, 0x1A, 0x03, 0x1A, 0x07, 0x25, 0x08, 0x41, 0x08, // processSecurity(buffer, 0,
                                0x8E, 5,    0,    secureChannelx2, 7, 0x29, 4};         //   Lc + 5, 5)
    for (const auto& security : {apduForm, bufferForm}) {
        const auto returnAt = static_cast<std::uint8_t>(53 + security.size() + 8 - 10);
        const ByteVector process =
            ByteVector{
                0x19, 0x8B, 0, getBuffer, 0x2D,               // buffer = apdu.getBuffer()
                0x1A, 0x04, 0x25, 0x10, 0xA4, 0x6A, returnAt, // if (buffer[1] == A4) return
                0x8D, 0, getSecureChannel, 0x2E,              // channel = GPSystem.getSecureChannel()
                0x1A, 0x04, 0x25, 0x10, 0x20, 0x6B, 32,       // if (buffer[1] != 20) goto security
                0x19, 0x8B, 0, receive, 0x3B,                 // apdu.setIncomingAndReceive()
                0x1B, 0x1A, 0x03, 0x1A, 0x07, 0x25, 0x08, 0x41, // channel, buffer, 0, buffer[4] + 5
                0x8E, 4, 0, secureChannel, 2,                 // length = channel.unwrap(...)
                0x29, 4,
                0x19, 0x08, 0x16, 4, 0x08, 0x43, 0x8B, 0, outgoingAndSend, 0x7A} + // send(5, length - 5)
            security +                                                                 // security: length = ...
            ByteVector{0x19, 0x08, 0x16, 4, 0x8B, 0, outgoingAndSend, 0x7A, 0x7A};    // send(5, length)
        const TestApplet applet{.process = process,
                                .locals = 3,
                                .globalPlatform = true,
                                .poolChanges = {{getSecureChannel, {6, 0x85, 3, 4}},
                                                {secureChannel, {1, 0x85, 2, 0}},
                                                {secureChannelx2, {1, 0x85, 11, 0}}}};
        for (const auto level : {gp::SecurityLevel::Mac, gp::SecurityLevel::MacAndEncryption}) {
            runtime::SimulatedCard card;
            card.load(layOutLoadFile(applet.entries(), unverified(), "test.cap"), "test.cap");
            const ByteVector instance = TestApplet::concat(applet.aid, {0x01});
            card.install(instance, instance, {0}, {});
            SimulatedTransport transport(card);
            card::Session session(transport);
            session.selectSecurityDomain(instance); // the applet, which hands the channel to its domain
            session.openSecureChannel(channelOptions(defaultKeys(), level));
            const card::Response echoed = session.send(hexBytes("8020000005 0102030405"), "ECHO");
            EXPECT_EQ(echoed.sw, 0x9000);
            EXPECT_EQ(hexOf(echoed.data), "0102030405");
            // The same command outside the channel is refused by unwrap.
            const auto plain = card.transmit(hexBytes("8420000005 0102030405"));
            EXPECT_EQ(plain.sw, 0x6982);
        }
    }
}

TEST(CardManager, StoreDataReachesTheApplicationThroughProcessData)
{
    // processData keeps the first data byte; process answers 63 and it.
    const TestApplet applet{.process = ByteVector{0x7D, 0, staticShort, 0x11, 0x63, 0x00, 0x41, 0x8D, 0, throwIt, 0x7A},
                            .globalPlatform = true,
                            .gpApplication = true};
    runtime::SimulatedCard card;
    card.load(layOutLoadFile(applet.entries(), unverified(), "test.cap"), "test.cap");
    const ByteVector instance = TestApplet::concat(applet.aid, {0x01});
    card.install(instance, instance, {0}, {});
    SimulatedTransport transport(card);
    card::Session session(transport);
    session.selectSecurityDomain(isd);
    session.openSecureChannel(channelOptions(defaultKeys(), gp::SecurityLevel::MacAndEncryption));
    card::storeData(session, instance, {hexBytes("42 01 02"), hexBytes("17")});
    EXPECT_EQ(card.transmit(TestApplet::concat({0x00, 0xA4, 0x04, 0x00, 8}, instance)).sw, 0x6317); // the last block's
    // An application implementing Personalization answers STORE DATA.
    const TestApplet personalized{.aid = {0xA0, 0x00, 0x00, 0x00, 0x62, 0x7E, 0x05},
                                  .globalPlatform = true,
                                  .gpPersonalization = true};
    card.load(layOutLoadFile(personalized.entries(), unverified(), "test.cap"), "test.cap");
    const ByteVector second = TestApplet::concat(personalized.aid, {0x01});
    card.install(second, second, {0}, {});
    card::Session again(transport);
    again.selectSecurityDomain(isd);
    again.openSecureChannel(channelOptions(defaultKeys(), gp::SecurityLevel::Mac));
    EXPECT_EQ(again.send(TestApplet::concat({0x80, 0xE6, 0x20, 0x00, 0x0E, 0x00, 0x00, 0x08}, second) +
                             ByteVector{0x00, 0x00, 0x00},
                         "INSTALL [for personalization]")
                  .sw,
              0x9000);
    const auto answered = again.send(hexBytes("80E2800002 5A01"), "STORE DATA");
    EXPECT_EQ(answered.sw, 0x9000);
    EXPECT_EQ(hexOf(answered.data), "5A");
    // STORE DATA to the issuer security domain outside a session is refused.
    EXPECT_EQ(card.transmit(hexBytes("00A4040008 A000000151000000")).sw, 0x9000);
    EXPECT_EQ(card.transmit(hexBytes("80E2800001 55")).sw, 0x6982);
}

TEST(CardManager, EachManagementCommandRefusesWhatACardRefuses)
{
    // Each row inside a fresh session of the default key set, on a card
    // holding the test applet; the answer and what the card says of it.
    const TestApplet applet{.process = throwSw(0x6311)};
    const struct {
        const char* what;
        const char* command;
        std::uint16_t sw;
        const char* reason;
        const char* before = nullptr; // a command sent first
    } rows[] = {
        {"LOAD without INSTALL [for load]", "80E8800003C40100", 0x6985, "no INSTALL [for load]"},
        {"LOAD of a block whose hash is not INSTALL [for load]'s", "80E8800003C40100", 0x6A80,
         "hash is not the one INSTALL [for load] gave",
         "80E6020020 07A0000000627E09 00 14 0000000000000000000000000000000000000000 00 00"},
        {"INSTALL [for load] of a package there", "80E602000C07A0000000627E0100000000", 0x6985, "already"},
        {"INSTALL [for load] under no domain", "80E602001107A0000000627E02 05A000000099 000000", 0x6A88,
         "no security domain"},
        {"INSTALL [for install] of a module no file has", "80E60C001E07A0000000627E01 08A0000000627E0109 08A0000000627E0199 0100 0000",
         0x6A88, "has no module"},
        {"INSTALL [for install] of an instance there",
         "80E60C001E07A0000000627E01 08A0000000627E0101 08A0000000627E0101 0100 0000", 0x6985, "already"},
        {"INSTALL with an unknown P1", "80E6800000", 0x6A86, "P1 80"},
        {"INSTALL whose fields run past its data", "80E60C000307A000", 0x6A80, "run past"},
        {"DELETE of nothing there", "80E40000094F07A0000000627E09", 0x6A88, "nothing on the card"},
        {"DELETE of the issuer domain", "80E400000A4F08A000000151000000", 0x6985, "issuer security domain"},
        {"DELETE of a load file with its applet", "80E40000094F07A0000000627E01", 0x6985, "P2 80 deletes it too"},
        {"PUT KEY of version 80", "80D80081018000", 0x6A80, "key version 80"},
        {"PUT KEY of a DES key on an AES card", "80D8008117 01 8010 00000000000000000000000000000000 03000000", 0x6A80,
         "key type 80"},
        {"PUT KEY whose key runs past its data", "80D8058104 05 881100", 0x6A80, "runs past the data"},
        {"SET STATUS of the card backwards", "80F0800700", 0x6985, "cannot go from 0F to 07"},
        {"SET STATUS of a locked card back to OP_READY", "80F0800100", 0x6985, "cannot go from 7F to 01", "80F0807F00"},
        {"LOAD of a block out of its order", "80E8800103C40100", 0x6A86, "block 1 where block 0",
         "80E602000C 07A0000000627E09 00 00 00 00"},
        {"SET STATUS of an application not there", "80F040800799999999999999", 0x6A88, "no application"},
        {"GET STATUS with P1 01", "80F20102024F0000", 0x6A86, "P1 01"},
        {"GET STATUS of no such AID", "80F24002034F01EE00", 0x6A88, "with AID EE"},
        {"an instruction the domain lacks", "80AA000000", 0x6D00, "instruction AA"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        runtime::SimulatedCard card;
        card.load(layOutLoadFile(applet.entries(), unverified(), "test.cap"), "test.cap");
        card.install(TestApplet::concat(applet.aid, {0x01}), TestApplet::concat(applet.aid, {0x01}), {0}, {});
        RecordingTransport transport(card);
        card::Session session(transport);
        session.selectSecurityDomain(isd);
        session.openSecureChannel(channelOptions(defaultKeys(), gp::SecurityLevel::Mac));
        if (row.before) {
            EXPECT_EQ(session.send(hexBytes(row.before), "first").sw, 0x9000) << transport.last.cardReason;
        }
        EXPECT_EQ(session.send(hexBytes(row.command), row.what).sw, row.sw) << transport.last.cardReason;
        EXPECT_NE(transport.last.cardReason.find(row.reason), std::string::npos) << transport.last.cardReason;
    }
}

TEST(CardManager, TheGlobalPinKeepsItsContract)
{
    // process: INS 10 updates the global PIN (CVM.update, hex format) and
    // answers 63 and the boolean; INS 20 verifies (63 00 or 62 FF); any
    // other answers 63 and the tries remaining.
    const std::uint8_t getCvm = pinCheck, cvm = pinTries;
    const ByteVector process{
        0x10, 17, 0x8D, 0, getCvm, 0x2D,                                   // cvm = GPSystem.getCVM(17)
        0x19, 0x8B, 0, getBuffer, 0x2E,                                   // buffer = apdu.getBuffer()
        0x1B, 0x04, 0x25, 0x10, 0xA4, 0x6A, 72,                           // SELECT: return
        0x19, 0x8B, 0, receive, 0x3B,                                     // apdu.setIncomingAndReceive()
        0x1B, 0x04, 0x25, 0x10, 0x10, 0x6B, 21,                           // INS 10:
        0x1A, 0x1B, 0x08, 0x1B, 0x07, 0x25, 0x06, 0x8E, 5, 0, cvm, 5,     //   cvm.update(buffer, 5, Lc, 3)
        0x11, 0x63, 0x00, 0x41, 0x8D, 0, throwIt,                         //   throw 6300 + it
        0x1B, 0x04, 0x25, 0x10, 0x20, 0x6B, 21,                           // INS 20:
        0x1A, 0x1B, 0x08, 0x1B, 0x07, 0x25, 0x06, 0x8E, 5, 0, cvm, 10,    //   cvm.verify(buffer, 5, Lc, 3)
        0x11, 0x63, 0x00, 0x41, 0x8D, 0, throwIt,                         //   throw 6300 + it
        0x1A, 0x8E, 1, 0, cvm, 4,                                         // cvm.getTriesRemaining()
        0x11, 0x63, 0x00, 0x41, 0x8D, 0, throwIt, 0x7A};
    const TestApplet applet{.process = process,
                            .globalPlatform = true,
                            .poolChanges = {{getCvm, {6, 0x85, 3, 3}}, {cvm, {1, 0x85, 1, 0}}}};
    const ByteVector instance = TestApplet::concat(applet.aid, {0x01});
    const auto answers = [&](const std::vector<std::uint8_t>& privileges, const std::vector<const char*>& commands) {
        runtime::SimulatedCard card;
        card.load(layOutLoadFile(applet.entries(), unverified(), "test.cap"), "test.cap");
        card.install(instance, instance, privileges, {});
        card.transmit(TestApplet::concat({0x00, 0xA4, 0x04, 0x00, 8}, instance));
        std::vector<std::string> got;
        for (const char* command : commands) {
            char sw[5];
            std::snprintf(sw, sizeof sw, "%04X", card.transmit(hexBytes(command)).sw);
            got.push_back(sw);
        }
        return got;
    };
    // With the CVM management privilege: set, tried wrong and right,
    // blocked after the limit, then refused even when right.
    EXPECT_EQ(answers({0x02}, {"8030000000", "802000000212 34", "801000000212 34", "802000000299 99", "8030000000",
                               "802000000212 34", "8030000000", "802000000299 99", "802000000299 99",
                               "802000000299 99", "8030000000", "802000000212 34"}),
              (std::vector<std::string>{"6303", "62FF", "6301", "62FF", "6302", "6300", "6303", "62FF", "62FF",
                                        "62FF", "6300", "62FF"}));
    // Without it, the PIN is not set.
    EXPECT_EQ(answers({0x00}, {"801000000212 34", "802000000212 34"}), (std::vector<std::string>{"6300", "62FF"}));
}

TEST(CardManager, ALoadTheLinkerRefusesIsAnsweredAndSaysWhy)
{
    // A package importing a platform package the card lacks: 64 38 at the
    // last LOAD block, the import named, and nothing left of the load.
    const TestApplet applet{.framework = {0xA0, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00}};
    runtime::SimulatedCard card;
    card.setLoadOptions(unverified());
    RecordingTransport transport(card);
    card::Session session(transport);
    session.selectSecurityDomain(isd);
    session.openSecureChannel(channelOptions(defaultKeys(), gp::SecurityLevel::Mac));
    apdu::Options options;
    options.blockSize = 100;
    const auto script = apdu::makeScript(layOutLoadFile(applet.entries(), unverified(), "test.cap"), options, "test.cap");
    EXPECT_THROW(card::sendScript(session, script), Error);
    EXPECT_EQ(transport.last.sw, 0x6438);
    EXPECT_NE(transport.last.cardReason.find("visa.openplatform A0000000030000"), std::string::npos)
        << transport.last.cardReason;
    EXPECT_FALSE(lists(card::listContents(session).loadFiles, applet.aid));
}

TEST(CardManager, RefusesAsACardDoes)
{
    runtime::SimulatedCard card;
    const auto send = [&](const char* apdu) { return card.transmit(hexBytes(apdu)); };
    const auto sw = [](const runtime::Response& r) { return r.sw; };
    // Nothing of the management without a secure channel.
    EXPECT_EQ(sw(send("80F24002024F0000")), 0x6982);
    EXPECT_EQ(sw(send("80CA006600")), 0x9000); // card recognition data, in the clear
    EXPECT_EQ(sw(send("80CA00E000")), 0x9000);
    EXPECT_EQ(sw(send("80CA9F7F00")), 0x9000);
    EXPECT_EQ(sw(send("80CA00FF00")), 0x6A88);
    EXPECT_EQ(sw(send("80AA000000")), 0x6D00);
    EXPECT_EQ(sw(send("8050050008 0102030405060708 00")), 0x6A88); // no key set 05
    // A failed authentication is counted; the key set is blocked after ten.
    for (int attempt = 0; attempt < 10; ++attempt) {
        ASSERT_EQ(sw(send("8050000008 0102030405060708 00")), 0x9000);
        const auto failed = send("8482010010 00000000000000000000000000000000");
        EXPECT_EQ(failed.sw, 0x6300);
        EXPECT_NE(failed.cardReason.find(std::to_string(attempt + 1) + " of 10"), std::string::npos) << failed.cardReason;
    }
    const auto blocked = send("8050000008 0102030405060708 00");
    EXPECT_EQ(blocked.sw, 0x6983);
    EXPECT_NE(blocked.cardReason.find("blocked"), std::string::npos);
}

// A logical channel's class bytes: interindustry, and GlobalPlatform's.
std::pair<std::uint8_t, std::uint8_t> classesOf(unsigned channel)
{
    return channel < 4 ? std::pair<std::uint8_t, std::uint8_t>(channel, 0x80 | channel)
                       : std::pair<std::uint8_t, std::uint8_t>(0x40 | (channel - 4), 0xC0 | (channel - 4));
}

// A session with the security domain selected on the channel of class `gp`
// (GlobalPlatform's), as a host opens it with its own class bytes; Le after
// EXTERNAL AUTHENTICATE where asked. Empty where it does not open.
std::unique_ptr<gp::SecureChannel> openSession(runtime::SimulatedCard& card, std::uint8_t gp, bool le = false)
{
    const ByteVector challenge = hexBytes("0102030405060708");
    const auto update = card.transmit(TestApplet::concat({gp, 0x50, 0x00, 0x00, 0x08}, TestApplet::concat(challenge, {0x00})));
    std::string problem;
    const auto answer = gp::readInitializeUpdate(update.data, &problem);
    auto host = answer ? gp::SecureChannel::make(defaultKeys(), *answer, challenge, &problem) : nullptr;
    if (update.sw != 0x9000 || !host || !host->cardCryptogramMatches())
        return nullptr;
    ByteVector authenticate = host->externalAuthenticate(gp::SecurityLevel::Mac, gp);
    if (le)
        authenticate.push_back(0x00);
    return card.transmit(authenticate).sw == 0x9000 ? std::move(host) : nullptr;
}

// A session opens on every logical channel, in both codings of the class
// byte, with or without a trailing Le on EXTERNAL AUTHENTICATE, and neither
// a session nor a malformed EXTERNAL AUTHENTICATE counts as a failed
// authentication; a session's commands then carry the channel's secure
// messaging bit (20 past channel 3, where 04 is part of the number).
TEST(CardManager, ASecureChannelOpensOnEveryLogicalChannel)
{
    for (const gp::Protocol protocol : {gp::Protocol::Scp03, gp::Protocol::Scp02})
        for (const unsigned channel : {0u, 1u, 3u, 4u, 8u, 19u})
            for (const bool le : {false, true}) {
                SCOPED_TRACE("SCP0" + std::to_string(static_cast<int>(protocol)) + ", channel " +
                             std::to_string(channel) + (le ? ", with Le" : ""));
                runtime::CardKeys keys;
                keys.protocol = protocol;
                keys.i = protocol == gp::Protocol::Scp03 ? 0x70 : 0x55;
                keys.keys = defaultKeys();
                runtime::SimulatedCard card({}, keys);
                const auto [plain, gp] = classesOf(channel);
                // No secure messaging in the class byte: GET DATA answers.
                EXPECT_EQ(card.transmit(ByteVector{gp, 0xCA, 0x00, 0x66, 0x00}).sw, channel == 0 ? 0x9000 : 0x6881);
                ASSERT_EQ(card.transmit(TestApplet::concat({plain, 0xA4, 0x04, 0x00, 8}, isd)).sw, 0x9000);
                EXPECT_EQ(card.transmit(ByteVector{gp, 0xCA, 0x00, 0x66, 0x00}).sw, 0x9000);
                for (int session = 0; session < 11; ++session) {
                    const auto host = openSession(card, gp, le);
                    ASSERT_TRUE(host) << "session " << session;
                    const auto status = card.transmit(host->wrap(ByteVector{gp, 0xF2, 0x80, 0x02, 0x02, 0x4F, 0x00, 0x00}));
                    EXPECT_EQ(status.sw, 0x9000) << status.cardReason;
                    // A malformed EXTERNAL AUTHENTICATE is refused, never counted.
                    ASSERT_EQ(card.transmit(TestApplet::concat({gp, 0x50, 0x00, 0x00, 0x08}, hexBytes("0102030405060708"))).sw,
                              0x9000);
                    const auto malformed = card.transmit(TestApplet::concat(
                        {gp::withSecureMessaging(gp), 0x82, 0x01, 0x00, 0x0F}, ByteVector(15, 0x00)));
                    EXPECT_NE(malformed.sw, 0x9000);
                    EXPECT_EQ(malformed.cardReason.find("failed authentications"), std::string::npos)
                        << malformed.cardReason;
                }
            }
}

// A SELECT ends the session of its channel even where it is refused (here
// an applet active on another channel, not MultiSelectable), so nothing
// selected afterwards reaches the domain's session; and a security domain
// only INSTALLED is not selected.
TEST(CardManager, SelectEndsTheSessionAndTakesOnlySelectableDomains)
{
    Card test({TestApplet{}});
    runtime::SimulatedCard& card = test.card;
    ASSERT_EQ(test.select().sw, 0x9000);
    ASSERT_EQ(card.transmit(hexBytes("0070000100")).sw, 0x9000);
    ASSERT_EQ(card.transmit(TestApplet::concat({0x01, 0xA4, 0x04, 0x00, 8}, isd)).sw, 0x9000);
    auto host = openSession(card, 0x81);
    ASSERT_TRUE(host);
    // INSTALL [for install] alone of a domain from the security domain module.
    const ByteVector ssd = hexBytes("A000000151000099");
    const auto installed = card.transmit(
        host->wrap(hexBytes("81E6040020 07A0000001515350 08A000000151535041 08A000000151000099 0180 02C900 00")));
    ASSERT_EQ(installed.sw, 0x9000) << installed.cardReason;
    EXPECT_EQ(card.transmit(TestApplet::concat({0x01, 0xA4, 0x04, 0x00, 8}, ssd)).sw, 0x6A82);

    const auto refused = card.transmit(TestApplet::concat({0x01, 0xA4, 0x04, 0x00, 8}, test.last));
    EXPECT_EQ(refused.sw, 0x6985) << refused.cardReason;
    const auto after = card.transmit(host->wrap(hexBytes("81F28002024F0000")));
    EXPECT_NE(after.sw, 0x9000) << after.cardReason;
}

// Under T=0 the card manager's answers with data wait for GET RESPONSE, as
// an applet's do, and a host's session works through them.
TEST(CardManager, UnderT0ItsAnswersWaitForGetResponse)
{
    runtime::CardSettings settings;
    settings.t0 = true;
    runtime::SimulatedCard card(settings);
    const auto update = card.transmit(hexBytes("8050000008 0102030405060708 00"));
    ASSERT_EQ(update.sw & 0xFF00, 0x6100) << std::hex << update.sw;
    EXPECT_TRUE(update.data.empty());
    const auto rest = card.transmit(ByteVector{0x00, 0xC0, 0x00, 0x00, static_cast<std::uint8_t>(update.sw)});
    EXPECT_EQ(rest.sw, 0x9000);
    EXPECT_EQ(rest.data.size(), update.sw & 0xFFu);
    SimulatedTransport transport(card);
    card::Session session(transport);
    session.selectSecurityDomain(isd);
    session.openSecureChannel(channelOptions(defaultKeys(), gp::SecurityLevel::Mac));
    EXPECT_FALSE(card::listContents(session).loadFiles.empty());
}

// GET STATUS of a load file with twenty modules (the corpus OMAPI test
// package): an entry longer than one part's room comes whole in a part of
// its own, its lengths past 255 coded as BER-TLV codes them, and the host
// lists everything.
TEST(CardManager, GetStatusSendsAnEntryLongerThanOnePart)
{
    const auto path = (testing::corpusDir() / "cap" / "OMAPI-applets__omapitest1.cap").string();
    if (!haveCorpus(path))
        GTEST_SKIP() << "no corpus";
    runtime::SimulatedCard card;
    SimulatedTransport transport(card);
    card::Session session(transport);
    session.selectSecurityDomain(isd);
    session.openSecureChannel(channelOptions(defaultKeys(), gp::SecurityLevel::Mac));
    card::sendScript(session, apdu::makeScript(makeLoadFile(corpusEntries(path), {}, path), {}, path));
    const auto contents = card::listContents(session);
    const auto omapi = std::find_if(contents.loadFiles.begin(), contents.loadFiles.end(),
                                    [](const gp::RegistryEntry& e) { return e.modules.size() == 20; });
    EXPECT_NE(omapi, contents.loadFiles.end());
    EXPECT_EQ(contents.applications.size(), 20u);
}

TEST(CardManager, ASecureChannelRefusesAReplayedOrUnprotectedCommand)
{
    runtime::SimulatedCard card;
    SimulatedTransport transport(card);
    card::Session session(transport);
    session.selectSecurityDomain(isd);
    session.openSecureChannel(channelOptions(defaultKeys(), gp::SecurityLevel::Mac));
    const card::Response listed = session.send(hexBytes("80F28002024F0000"), "GET STATUS");
    EXPECT_EQ(listed.sw, 0x9000);
    const ByteVector replayed = session.exchanges().back().sent;
    // The same wrapped bytes again: the MAC chain has moved on; and the
    // session is closed after it.
    const auto again = card.transmit(replayed);
    EXPECT_EQ(again.sw, 0x6982);
    EXPECT_NE(again.cardReason.find("MAC is wrong"), std::string::npos) << again.cardReason;
    EXPECT_EQ(card.transmit(hexBytes("80F28002024F0000")).sw, 0x6982);
}

} // namespace
} // namespace tolvane
