// Corpus applets on the simulated card: answers their sources and published
// vectors give, every applet installed or its failure named, and bytecode
// edited past the verifier ending in a diagnostic, never a crash or a hang.

#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/checks/checks.h"
#include "core/card/session.h"
#include "core/runtime/card/simulated_card.h"
#include "core/runtime/card/simulated_transport.h"
#include "core/runtime/debug/coverage.h"
#include "core/runtime/vm/vm.h"
#include "corpus_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

namespace tolvane {
namespace {

namespace fs = std::filesystem;

const fs::path corpus = testing::corpusDir() / "cap";

std::vector<std::uint8_t> hex(const std::string& text)
{
    return bytesFromHex(text, HexSpaces::Ignored).value();
}

// A card with the corpus file loaded and its applets installed.
std::unique_ptr<runtime::SimulatedCard> cardWith(const std::string& name, const std::string& params = {},
                                                 bool verify = true)
{
    const auto path = (corpus / name).string();
    LoadFileOptions options;
    options.verify = verify;
    auto card = std::make_unique<runtime::SimulatedCard>();
    const LoadFile file =
        verify ? makeLoadFile(corpusEntries(path), options, path) : layOutLoadFile(corpusEntries(path), options, path);
    card->load(file, path);
    for (const auto& applet : card->lastApplets())
        card->install(applet.aid, applet.aid, {0}, hex(params));
    return card;
}

TEST(RuntimeCorpus, AppletsAnswerAsTheirSourcesSay)
{
    // FIPS 180's vectors, and their messages as the applet takes them.
    const std::string sha1abc = "A9993E364706816ABA3E25717850C26C9CD0D89D";
    const std::string sha1twoBlocks = "84983E441C3BD26EBAAE4AA1F95129E5E54670F1";
    const std::string firstHalf = hexText(testing::bytesOf("abcdbcdecdefdefgefghfghighijhijk"), HexCase::Upper);
    const std::string secondHalf = hexText(testing::bytesOf("ijkljklmklmnlmnomnopnopq"), HexCase::Upper);
    const struct {
        const char* file;
        const char* params;
        std::vector<std::pair<std::string, std::string>> exchanges; // command, answer; "reset" resets
    } rows[] = {
        {"javacard-simulator__wallet.cap",
         "3132333435", // the PIN, 12345
         {{"00A404000BD1560001320A64656D9F01", "9000"},
          {"8050000002", "00009000"},
          {"803000000164", "6301"}, // no credit before the PIN
          {"80200000053132333436", "6300"},
          {"80200000053132333435", "9000"},
          {"803000000164", "9000"},
          {"8050000002", "00649000"},
          {"803000000180", "6A83"}, // past the largest transaction, 127
          {"804000000130", "9000"},
          {"8050000002", "00349000"},
          {"804000000150", "6A85"}, // more than the balance
          {"reset", ""},
          {"00A404000BD1560001320A64656D9F01", "9000"},
          {"803000000101", "6301"}, // the PIN is validated no more
          {"8050000002", "00349000"},
          {"80200000053132333436", "6300"},
          {"80200000053132333436", "6300"},
          {"80200000053132333436", "6300"},
          {"80200000053132333435", "6300"}}}, // three tries, and the PIN is blocked
        {"javacard-simulator__SHADigest.cap",
         "",
         {{"00A4040006EEEEEEEEEE00", "9000"},
          {"803100000361626314", sha1abc + "9000"},
          {"8030000020" + firstHalf, "9000"},
          {"8031000018" + secondHalf + "14", sha1twoBlocks + "9000"},
          {"803100000361626310", "6700"}, // its answer is 20 bytes
          {"8040000000", "6D00"},
          {"8030000020" + firstHalf, "9000"},
          {"reset", ""}, // a reset starts the digest again
          {"00A4040006EEEEEEEEEE00", "9000"},
          {"803100000361626314", sha1abc + "9000"}}},
        {"OptimizedJCAlgs__sha3.cap", // Keccak in bytecode: FIPS 202's SHA3-256 of "abc"
         "",
         {{"00A4040008556E697454657374", "9000"},
          {"B061000003616263", "3A985DA74FE225B2045C172D6BD390BD855F086E3E9D525B46BFE245114315329000"}}},
        {"javacard-express__oracle-InheritanceApplet.cap", // three classes, each constructor setting the field
         "",
         {{"00A4040009A00000006206010101", "9000"},
          {"8001000000", "00679000"},                    // the middle class's override: its field, 3, plus 100
          {"8002000000", "002A9000"}}},                  // the applet's own method for the middle class's abstract one
        {"javacard-express__oracle-InterfaceApplet.cap", // keeps a command's data, and gives it back
         "",
         {{"00A4040009A00000006204010101", "9000"},
          {"800100000401020304", "9000"},
          {"8002000010", "01020304000000000000000000000000"
                         "9000"}}},
        {"javacard-express__oracle-CryptoApplet.cap", // digests; a key built and never set cannot init
         "",
         {{"00A4040009A00000006207010101", "9000"},
          {"8010000003616263", sha1abc + "9000"},
          {"8020000003616263", "0002"},   // Cipher.init: CryptoException UNINITIALIZED_KEY, its reason answered
          {"8030000003616263", "0002"}}}, // Signature.init: the same
        {"ECTester__ectester.cap",        // its own commands: allocate, set a curve of its table, generate
         "",
         {{"00A404000A45435465737465723031", "9000"},
          {"B05A030003010005", "900090009000"},     // two EC key pairs of 256 bits
          {"B05C030105007D000000", "000100019000"}, // its curve 1 is of 112 bits: ILLEGAL_VALUE for each
          {"B05C030605007D000000", "900090009000"}, // its curve 6, of 256 bits: field, A, B, G, R and K set
          {"B05D030000", "900090009000"}}},         // both pairs generated on it
        {"JCAlgTest__HelloWorld.cap",
         "",
         {{"00A4040009A00000006203010C01", "00A4040009A00000006203010C019000"},
          {"8010010203AABBCC", "8010010203AABBCC9000"}}},
        {"FluffyPGP-Applet__gpg.cap", // an OpenPGP applet: its PINs start with their tries
         "",
         {{"00A4040006D27600012401", "6F1284" "10D2760001240102000000000000000000" "9000"},
          {"00CA00C400", "00202020030003" "9000"}, // PW1 and PW3 with 3 tries each, no reset code set
          {"0020008106313233343536", "9000"},      // the default PW1, 123456
          {"0020008208313233343536373800", "63C2"},
          {"0020008308" "3132333435363738", "9000"}}}, // the default PW3, 12345678
        {"passwordSafe__keepassSafe.cap", // selectable only while its PIN is not blocked: a new PIN is not
         "",
         {{"00A4040009112233445566778800", "009000"}}},
        {"globalplatform__helloworld-2026.cap", // MultiSelectable: selected on two channels at once
         "",
         {{"00A4040008D0D1D2D3D4D50101", "9000"},
          {"8000000003AABBCC00", "48656C6C6F20576F726C6421" "9000"},
          {"0070000001", "019000"},
          {"01A4040008D0D1D2D3D4D50101", "9000"},
          {"8100000003DDEEFF00", "48656C6C6F20576F726C6421" "9000"},
          {"00708001", "9000"},
          {"8100000003DDEEFF00", "6881"},
          {"8000000003AABBCC00", "48656C6C6F20576F726C6421" "9000"}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file);
        if (!haveCorpus((corpus / row.file).string()))
            GTEST_SKIP() << "no corpus";
        const auto card = cardWith(row.file, row.params);
        for (const auto& [command, answer] : row.exchanges) {
            SCOPED_TRACE(command);
            if (command == "reset") {
                card->reset();
                continue;
            }
            const auto response = card->transmit(hex(command));
            EXPECT_EQ(hexText(response.bytes(), HexCase::Upper), answer);
        }
    }
}

// The algorithm tester's own support probe (CLA B0, INS 75, P1 the class,
// data the algorithm and a length) reports the cryptography the simulated
// card serves as supported (00) and the rest as CryptoException
// NO_SUCH_ALGORITHM (03), as a card that lacks it would.
TEST(RuntimeCorpus, TheAlgorithmTesterReportsWhatTheCardServes)
{
    struct Probe {
        std::uint8_t algorithm;
        std::uint16_t length;
    };
    const struct {
        const char* what;
        std::uint8_t cls; // the probe's P1
        std::vector<Probe> supported, unsupported;
    } rows[] = {
        {"Cipher: DES, AES, RSA with PKCS#1, OAEP and no padding, AES-GCM and AES-CCM",
         0x11,
         {{1, 0},  {2, 0},  {3, 0},  {4, 0},  {5, 0},  {6, 0},  {7, 0},  {8, 0},  {10, 0}, {12, 0},   {13, 0},  {14, 0},
          {15, 0}, {18, 0}, {21, 0}, {22, 0}, {23, 0}, {24, 0}, {25, 0}, {26, 0}, {27, 0}, {0xF3, 0}, {0xF4, 0}},
         {{9, 0}, {11, 0}, {16, 0}, {17, 0}, {28, 0}, {29, 0}, {0xF0, 0}}},
        {"Signature: DES and AES MACs, CMAC, HMAC, RSA PKCS#1 and PSS, ECDSA",
         0x12,
         {{1, 0},  {2, 0},  {3, 0},  {4, 0},  {5, 0},  {6, 0},  {7, 0},  {8, 0},  {10, 0}, {17, 0}, {18, 0},
          {19, 0}, {20, 0}, {21, 0}, {24, 0}, {25, 0}, {26, 0}, {27, 0}, {33, 0}, {34, 0}, {37, 0}, {38, 0},
          {39, 0}, {40, 0}, {41, 0}, {42, 0}, {43, 0}, {44, 0}, {45, 0}, {46, 0}, {47, 0}, {48, 0}, {49, 0}},
         {{9, 0}, {12, 0}, {14, 0}, {15, 0}, {16, 0}, {30, 0}, {31, 0}, {32, 0}, {35, 0}, {36, 0}}},
        {"KeyAgreement: ECDH, plain, with SHA-1 and XY",
         0x13,
         {{1, 0}, {2, 0}, {3, 0}, {4, 0}, {6, 0}},
         {{5, 0}, {7, 0}, {8, 0}, {9, 0}}},
        {"MessageDigest: SHA-1, SHA-2, SHA-3", 0x15, {{1, 0}, {4, 0}, {5, 0}, {6, 0}, {7, 0}, {9, 0}}, {{12, 0}}},
        {"Checksum: CRC16 and CRC32", 0x17, {{1, 0}, {2, 0}}, {{3, 0}}},
        {"KeyPair: RSA, RSA-CRT and EC over prime fields, generated",
         0x19,
         {{1, 512}, {1, 1024}, {2, 2048}, {5, 192}, {5, 224}, {5, 256}, {5, 384}, {5, 521}},
         {{3, 1024}, {4, 163}, {6, 1024}}},
        {"KeyBuilder: DES, AES, HMAC, RSA, EC and generic secret keys",
         0x20,
         {{3, 64},
          {3, 128},
          {3, 192},
          {15, 128},
          {15, 192},
          {15, 256},
          {21, 64},
          {4, 4096},
          {5, 1024},
          {6, 2048},
          {11, 256},
          {12, 521},
          {31, 256},
          {42, 256}},
         {{7, 1024}, {9, 163}, {18, 128}, {32, 1024}, {43, 128}, {3, 56}, {15, 512}}},
    };
    for (const char* file : {"JCAlgTest__AlgTest_v1.8.2_jc304.cap", "JCAlgTest__AlgTest_v1.8.2_jc305.cap"})
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(file) + ": " + row.what);
            if (!haveCorpus((corpus / file).string()))
                GTEST_SKIP() << "no corpus";
            const auto card = cardWith(file);
            ASSERT_EQ(card->transmit(hex("00A404000A4A43416C675465737431")).sw, 0x9000);
            for (const bool supported : {true, false})
                for (const auto& probe : supported ? row.supported : row.unsupported) {
                    const std::vector<std::uint8_t> command{0xB0,
                                                            0x75,
                                                            row.cls,
                                                            0x00,
                                                            0x03,
                                                            probe.algorithm,
                                                            static_cast<std::uint8_t>(probe.length >> 8),
                                                            static_cast<std::uint8_t>(probe.length)};
                    const auto response = card->transmit(command);
                    ASSERT_EQ(response.sw, 0x9000) << int(probe.algorithm);
                    ASSERT_GE(response.data.size(), 2u);
                    EXPECT_EQ(int(response.data[1]), supported ? 0x00 : 0x03)
                        << "algorithm " << int(probe.algorithm) << ", length " << probe.length;
                }
        }
}

// With trace, every exception is told, each frame named from Debug with its
// source line: the wallet refuses a credit before its PIN at line 153 of
// Wallet.java, in credit, called from process at line 138.
TEST(RuntimeCorpus, DiagnosticsNameTheSourceLines)
{
    const auto path = (corpus / "javacard-simulator__wallet.cap").string();
    if (!haveCorpus(path))
        GTEST_SKIP() << "no corpus";
    runtime::CardSettings settings;
    settings.trace = true;
    runtime::SimulatedCard card(settings);
    card.load(makeLoadFile(corpusEntries(path), {}, path), path);
    card.install(hex("D1560001320A64656D9F01"), hex("D1560001320A64656D9F01"), {0}, hex("3132333435"));
    card.transmit(hex("00A404000BD1560001320A64656D9F01"));
    const auto response = card.transmit(hex("803000000164"));
    ASSERT_EQ(response.sw, 0x6301);
    ASSERT_EQ(response.diagnostics.size(), 1u);
    const auto& diagnostic = response.diagnostics.front();
    EXPECT_EQ(diagnostic.exception, "javacard.framework.ISOException");
    EXPECT_EQ(diagnostic.reason, 0x6301u);
    ASSERT_EQ(diagnostic.frames.size(), 2u);
    const auto& credit = diagnostic.frames[0];
    EXPECT_EQ(credit.cls + "." + credit.method, "com/sun/javacard/samples/wallet/Wallet.credit");
    EXPECT_EQ(credit.file + ":" + std::to_string(credit.line), "Wallet.java:153");
    EXPECT_EQ(diagnostic.frames[1].method + ":" + std::to_string(diagnostic.frames[1].line), "process:138");
    EXPECT_EQ(diagnostic.lines()[1], "  at com/sun/javacard/samples/wallet/Wallet.credit at " +
                                         std::to_string(credit.offset) + " (Wallet.java:153)");
}

// A breakpoint stands over its instruction and changes nothing the card
// does: with one at every line of the wallet's process and credit, the
// answers and instruction counts are those of a card without, and each is
// seen as often as coverage counts its instruction run, with its frame.
TEST(RuntimeCorpus, BreakpointsAreSeenAndChangeNothing)
{
    const auto path = (corpus / "javacard-simulator__wallet.cap").string();
    if (!haveCorpus(path))
        GTEST_SKIP() << "no corpus";
    const std::vector<std::string> script = {"00A404000BD1560001320A64656D9F01", "803000000164", "80200000053132333435",
                                             "803000000164", "803000000164", "8050000002", "804000000180"};
    struct Stops : runtime::Tracer {
        void step(runtime::Vm&) override {}
        std::uint64_t slice() const override { return 1 << 20; }
        void breakpoint(runtime::Vm& vm) override
        {
            const auto& frame = vm.frames().back();
            ++hits[frame.pc];
            methods.insert(vm.methodName(frame.method));
        }
        std::map<unsigned, std::uint64_t> hits;
        std::set<std::string> methods;
    };
    runtime::Coverage coverage;
    Stops stops;
    const auto plain = cardWith("javacard-simulator__wallet.cap", "3132333435");
    const auto watched = cardWith("javacard-simulator__wallet.cap", "3132333435");
    plain->setTracer(&coverage);
    auto& package = *watched->vm().packages().back();
    std::set<unsigned> set;
    for (const auto& [offset, debug] : package.debug)
        if (debug.method == "process" || debug.method == "credit")
            for (const auto& line : debug.lines) {
                ASSERT_TRUE(watched->vm().setBreakpoint(package, line.start)) << debug.method << ":" << line.line;
                set.insert(line.start);
            }
    // Only where an instruction begins: the second byte of sspush is none.
    unsigned operand = 0;
    for (unsigned pc : set)
        if (watched->vm().opcodeAt(package, pc) == 0x11)
            operand = pc + 1;
    ASSERT_NE(operand, 0u);
    EXPECT_FALSE(watched->vm().setBreakpoint(package, operand));
    watched->setTracer(&stops);
    for (const auto& command : script) {
        const auto expected = plain->transmit(hex(command));
        const auto seen = watched->transmit(hex(command));
        EXPECT_EQ(seen.bytes(), expected.bytes()) << command;
        EXPECT_EQ(seen.instructions, expected.instructions) << command;
    }
    std::map<unsigned, std::uint64_t> ran;
    const auto counted = coverage.json(plain->vm());
    for (const auto& method : counted["packages"][0]["methods"])
        for (const auto& instruction : method["instructions"])
            if (set.count(instruction["offset"].get<unsigned>()) && instruction["count"].get<std::uint64_t>() > 0)
                ran[instruction["offset"].get<unsigned>()] = instruction["count"].get<std::uint64_t>();
    EXPECT_EQ(stops.hits, ran);
    EXPECT_EQ(stops.methods, (std::set<std::string>{"com/sun/javacard/samples/wallet/Wallet.process",
                                                    "com/sun/javacard/samples/wallet/Wallet.credit"}));
    // Cleared, the package's code is as it was.
    watched->vm().clearBreakpoints();
    EXPECT_EQ(package.code, plain->vm().packages().back()->code);
}

// The PIV applet opens its secure channel through the GlobalPlatform API:
// INITIALIZE UPDATE and EXTERNAL AUTHENTICATE sent to it (at both levels)
// reach its security domain through processSecurity; under C-MAC and
// C-DECRYPTION, which its administration asks for, a command wrapped in the
// channel is unwrapped by it and answered.
TEST(RuntimeCorpus, ThePivAppletOpensItsSecureChannelThroughTheApi)
{
    if (!haveCorpus((corpus / "OpenFIPS201__OpenFIPS201.cap").string()))
        GTEST_SKIP() << "no corpus";
    for (const auto level : {gp::SecurityLevel::Mac, gp::SecurityLevel::MacAndEncryption}) {
        const auto card = cardWith("OpenFIPS201__OpenFIPS201.cap");
        runtime::SimulatedTransport transport(*card);
        card::Session session(transport);
        session.selectSecurityDomain(hex("A000000308000010000100"));
        card::ChannelOptions options;
        options.keys = {gp::defaultTestKey(), gp::defaultTestKey(), gp::defaultTestKey()};
        options.level = level;
        ASSERT_NO_THROW(session.openSecureChannel(options));
        // PUT DATA of an object the applet's configuration lacks: its own
        // refusal where the level is enough, and 69 82 where it is not.
        const auto answer = session.send(hex("00DB3FFF0A5C035FC1025303010203"), "PUT DATA");
        EXPECT_EQ(answer.sw, level == gp::SecurityLevel::Mac ? 0x6982 : 0x6A82);
        // The same without the channel's protection is refused as such.
        EXPECT_EQ(card->transmit(hex("04DB3FFF0A5C035FC1025303010203")).sw, 0x6982);
    }
}

// What every corpus applet must do on the simulated card: install, or end
// in an exception of its own making (install parameters it was not given).
// The card serves every call: none may be missing.
TEST(RuntimeCorpus, EveryAppletInstallsOrNamesWhatItLacks)
{
    if (!haveCorpus(corpus.string()))
        GTEST_SKIP() << "no corpus";
    std::size_t installed = 0;
    for (const auto& entry : fs::directory_iterator(corpus)) {
        if (entry.path().extension() != ".cap")
            continue;
        const auto path = entry.path().string();
        SCOPED_TRACE(path);
        const auto entries = corpusEntries(path);
        const LoadFile file = checkLoadFile(entries, {}, path);
        if (!file.refusals.empty())
            continue; // the checks refuse it, as a card's verifier would
        runtime::SimulatedCard card;
        try {
            card.load(file, path);
        } catch (const Error& error) {
            const std::string message = error.message();
            EXPECT_TRUE(message.find("which is not on the card") != std::string::npos ||
                        message.find("is already on the card") != std::string::npos)
                << message;
            continue;
        }
        try {
            for (const auto& applet : card.lastApplets())
                card.install(applet.aid, applet.aid, {0}, {});
            ++installed;
        } catch (const Error& error) {
            ASSERT_FALSE(error.followingLines().empty()) << error.message();
            const std::string& first = error.followingLines().front();
            EXPECT_NE(first.find("Exception"), std::string::npos) << first;
            for (const auto& line : error.followingLines())
                EXPECT_EQ(line.find("is not served"), std::string::npos) << line;
            EXPECT_EQ(first.find("CryptoException"), std::string::npos) << first;
        }
    }
    EXPECT_GE(installed, 84u);
}

// Every byte of the wallet's and the digest applet's code spoiled in turn,
// past the verifier: the card refuses the load, or runs the commands to an
// answer. A crash or a read outside an object fails the test run itself.
TEST(RuntimeCorpus, EditedMethodsEndInADiagnosticNeverACrash)
{
    const struct {
        const char* file;
        const char* params;
        std::vector<std::string> commands;
    } rows[] = {
        {"javacard-simulator__wallet.cap",
         "3132333435",
         {"00A404000BD1560001320A64656D9F01", "80200000053132333435", "803000000164", "8050000002"}},
        {"javacard-simulator__SHADigest.cap", "", {"00A4040006EEEEEEEEEE00", "803100000361626314"}},
    };
    const std::uint8_t spoilers[] = {0x00, 0x18, 0x41, 0x70, 0x8B, 0x93, 0xFF};
    for (const auto& row : rows) {
        const auto path = (corpus / row.file).string();
        if (!haveCorpus(path))
            GTEST_SKIP() << "no corpus";
        const auto entries = corpusEntries(path);
        const auto method = std::find_if(entries.begin(), entries.end(),
                                         [](const CapEntry& e) { return e.name.ends_with("Method.cap"); });
        ASSERT_NE(method, entries.end());
        std::size_t answered = 0, refused = 0;
        // Every byte, or under the sanitizers every corpusSample()th.
        for (std::size_t at = 3; at < method->bytes.size(); at += testing::corpusSample())
            for (const std::uint8_t spoiler : spoilers) {
                auto edited = entries;
                auto& bytes = edited[static_cast<std::size_t>(method - entries.begin())].bytes;
                if (bytes[at] == spoiler)
                    continue;
                bytes[at] = spoiler;
                LoadFileOptions options;
                options.verify = false;
                runtime::CardSettings settings;
                settings.budget = 20000;
                runtime::SimulatedCard card(settings);
                try {
                    const LoadFile file = layOutLoadFile(edited, options, path);
                    card.load(file, path);
                    for (const auto& applet : card.lastApplets())
                        card.install(applet.aid, applet.aid, {0}, hex(row.params));
                } catch (const Error&) {
                    ++refused;
                    continue;
                }
                for (const auto& command : row.commands) {
                    const auto response = card.transmit(hex(command));
                    if (response.sw == 0x6F00) {
                        EXPECT_FALSE(response.diagnostics.empty()) << "byte " << at << " set to " << int(spoiler);
                    }
                }
                ++answered;
            }
        EXPECT_GT(answered, 0u) << row.file;
        EXPECT_GT(refused, 0u) << row.file;
    }
}

} // namespace
} // namespace tolvane
