// The simulated card's rules, each shown by a small applet of our own: an
// applet class whose process method is the row's bytecode, run through the
// runtime as a card would run it.

#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/cap/load_file.h"
#include "core/runtime/card/simulated_card.h"
#include "core/runtime/card/vpcd.h"
#include "test_applet.h"
#include "test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <sys/socket.h>
#include <future>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <memory>

namespace tolvane {
namespace {

using ByteVector = std::vector<std::uint8_t>;

using namespace testing; // the test applets


const ByteVector command{0x80, 0x10, 0x00, 0x00};

// A second applet's AID, and the command that names its instance; a client
// whose process runs `askServer` looks the command's AID up and leaves what
// that applet's getShareableInterfaceObject gives on the stack.
const ByteVector secondAid{0xA0, 0x00, 0x00, 0x00, 0x62, 0x7E, 0x02};
const ByteVector nameSecond{0x80, 0x10, 0x00, 0x00, 8, 0xA0, 0x00, 0x00, 0x00, 0x62, 0x7E, 0x02, 0x01};
// Answers 6301 where its byte[] field's first byte is 0 (and sets it), else
// 6302; transientOf(event) is the constructor that makes that array transient.
const ByteVector setOnce = ByteVector{0xAD, refField, 0x03, 0x25, 0x61, 13, 0xAD, refField, 0x03, 0x04, 0x38} +
                           throwSw(0x6301) + throwSw(0x6302);

ByteVector transientOf(std::uint8_t event)
{
    return {0x18, 0x04, event, 0x8D, 0, makeTransient, 0x87, refField};
}

const ByteVector askServer{0x19,      0x8B, 0,    receive, 0x3B, 0x19, 0x8B, 0,          getBuffer, 0x08, 0x19, 0x8B,
                           0,         getBuffer, 0x07, 0x25, 0x8D, 0, lookupAid, 0x03, 0x8D, 0, shareableOf};

TEST(Runtime, EachRuleAnswersAsACardDoes)
{
    const ByteVector getShort{0xAF, shortField}; // getfield_s_this
    const ByteVector putShort6A80 = ByteVector{0x18, 0x11, 0x6A, 0x80, 0x89, shortField};
    // Keeps a new byte[] {42} in a static field and asks for object
    // deletion (6300); once kept, answers 63 and its byte.
    const ByteVector keptByStatic =
        ByteVector{0x7B, 0, staticRef, 0x67, 22, 0x04, 0x90, 11, 0x3D, 0x03, 0x10, 0x42, 0x38, 0x7F, 0, staticRef, 0x8D,
                   0, requestDeletion} +
        throwSw(0x6300) + ByteVector{0x11, 0x63, 0x00, 0x7B, 0, staticRef, 0x03, 0x25, 0x55, 0x8D, 0, throwIt};
    // An AES key of `type` built at install and kept in the reference field;
    // process answers 6301 where it is set, else sets it and answers 6300.
    const auto keyKept = [](std::uint8_t type) {
        return ByteVector{0x18, 0x10, type, 0x11, 0, 128, 0x03, 0x8D, 0, buildKey, 0x87, refField};
    };
    const ByteVector setKeyOnce = ByteVector{0xAD, refField, 0x8E, 1, 0, aesKey, 3, 0x60, 8} + throwSw(0x6301) +
                                  ByteVector{0xAD, refField, 0x19, 0x8B, 0, getBuffer, 0x03, 0x8E, 3, 0, aesKey, 4} +
                                  throwSw(0x6300);
    const struct {
        const char* rule;
        TestApplet applet;
        std::vector<std::string> answers; // to SELECT, then to `command`, or "S SW" to SELECT again, "R" a reset
        const char* diagnostic = "";      // in the last answer's first diagnostic
        std::size_t memory = 128 * 1024;
    } rows[] = {
        {"a handler catches what sdiv by zero throws",
         {.process = ByteVector{0x04, 0x03, 0x47, 0x3B, 0x7A, 0x3B} + throwSw(0x6301),
          .handlers = {{0, 4, 5, arithmetic}}},
         {"6301", "6301"}},
        {"a handler for everything (finally) replaces what was thrown",
         {.process = throwSw(0x6A80) + ByteVector{0x3B} + throwSw(0x6301), .handlers = {{0, 6, 6, 0}}},
         {"6301", "6301"}},
        {"a handler's range ends before its end offset",
         {.process = throwSw(0x6A80) + ByteVector{0x3B} + throwSw(0x6301), .handlers = {{0, 3, 6, 0}}},
         {"6A80", "6A80"}},
        {"an uncaught NullPointerException answers 6F00 and is named",
         {.process = {0x01, 0x92, 0x3B, 0x7A}},
         {"6F00", "6F00"},
         "java.lang.NullPointerException"},
        {"an index past an array is named with the array's length",
         {.init = ByteVector{0x18, 0x05, 0x90, 11, 0x87, refField},
          .process = {0xAD, refField, 0x05, 0x25, 0x3B, 0x7A}},
         {"6F00", "6F00"},
         "index 2 outside a byte[] of 2"},
        {"abortTransaction undoes a persistent write",
         {.init = ByteVector{0x18, 0x11, 0x63, 0x01, 0x89, shortField},
          .process = ByteVector{0x8D, 0, beginTransaction} + putShort6A80 + ByteVector{0x8D, 0, abortTransaction} +
                     getShort + ByteVector{0x8D, 0, throwIt}},
         {"6301", "6301"}},
        {"a transaction left open when process ends is undone",
         {.init = ByteVector{0x18, 0x11, 0x63, 0x01, 0x89, shortField},
          .process = getShort + ByteVector{0x11, 0x63, 0x01, 0x6B, 12, 0x8D, 0, beginTransaction} + putShort6A80 +
                     ByteVector{0x7A} + getShort + ByteVector{0x8D, 0, throwIt}},
         {"9000", "9000", "9000"}},
        {"a committed write stays",
         {.init = ByteVector{0x18, 0x11, 0x63, 0x01, 0x89, shortField},
          .process = getShort + ByteVector{0x11, 0x63, 0x01, 0x6B, 15, 0x8D, 0, beginTransaction} + putShort6A80 +
                     ByteVector{0x8D, 0, commitTransaction, 0x7A} + getShort + ByteVector{0x8D, 0, throwIt}},
         {"9000", "6A80"}},
        {"CLEAR_ON_DESELECT arrays are cleared when their applet is selected again",
         {.init = transientOf(0x05), .process = setOnce},
         {"6301", "6302", "S 6301", "6302"}},
        {"CLEAR_ON_RESET memory is cleared by a reset, not by a new SELECT",
         {.init = transientOf(0x04), .process = setOnce},
         {"6301", "6302", "R", "S 6301", "6302", "S 6302"}},
        {"CLEAR_ON_DESELECT memory is cleared by a reset too",
         {.init = transientOf(0x05), .process = setOnce},
         {"6301", "6302", "R", "S 6301"}},
        {"a reset leaves the issuer security domain selected", {.init = transientOf(0x04), .process = setOnce}, {"6301", "R", "6D00"}},
        {"object deletion keeps what a static field reaches", {.process = keptByStatic}, {"6300", "6342", "6342"}},
        {"APDU.setOutgoingAndSend twice is an ILLEGAL_USE",
         {.process = {0x19, 0x03, 0x03, 0x8B, 0, outgoingAndSend, 0x19, 0x03, 0x03, 0x8B, 0, outgoingAndSend, 0x7A}},
         {"6F00", "6F00"},
         "APDUException reason 1 (ILLEGAL_USE)"},
        {"sendBytes before setOutgoingLength is an ILLEGAL_USE",
         {.process = {0x19, 0x03, 0x04, 0x8B, 0, sendBytes, 0x7A}},
         {"6F00", "6F00"},
         "sending before setOutgoingLength()"},
        {"a loop without end is stopped by the budget",
         {.process = {0x70, 0x00}},
         {"6F00", "6F00"},
         "ran past its budget"},
        {"endless recursion is stopped at the depth bound",
         {.process = {0x8D, 0, helper, 0x7A}, .helperCode = {0x8D, 0, helper, 0x7A}},
         {"6F00", "6F00"},
         "deeper than"},
        {"jsr and ret return past the jsr",
         {.process = ByteVector{0x71, 0, 9} + throwSw(0x6301) + ByteVector{0x2D, 0x72, 2}},
         {"6301", "6301"}},
        {"an ill-typed sadd on a reference is a SecurityException",
         {.process = {0x18, 0x18, 0x41, 0x3B, 0x7A}},
         {"6F00", "6F00"},
         "java.lang.SecurityException: an instruction wants a short and finds a reference"},
        {"new past the card's memory is a SystemException NO_RESOURCE",
         {.process = {0x18, 0x11, 0x0B, 0xB8, 0x90, 11, 0x87, refField, 0x7A}}, // a byte[3000] kept
         {"9000", "9000", "9000", "9000", "9000", "9000", "6F00"},
         "SystemException reason 5 (NO_RESOURCE)",
         20000},
        {"a transient array past the card's RAM is a SystemException NO_TRANSIENT_SPACE",
         {.process = {0x11, 0x27, 0x10, 0x05, 0x8D, 0, makeTransient, 0x3B, 0x7A}}, // 10000 bytes, cleared on deselect
         {"6F00", "6F00"},
         "SystemException reason 2 (NO_TRANSIENT_SPACE)"},
        {"requestObjectDeletion frees what nothing reaches",
         {.process = {0x11, 0x0B, 0xB8, 0x90, 11, 0x3B, 0x8D, 0, requestDeletion, 0x7A}}, // a byte[3000] dropped
         {"9000", "9000", "9000", "9000", "9000", "9000", "9000", "9000", "9000", "9000"},
         "",
         20000},
        {"a global array kept in a field is a SecurityException",
         {.process = {0x18, 0x19, 0x8B, 0, getBuffer, 0x87, refField, 0x7A}},
         {"6F00", "6F00"},
         "a global array kept in a field"},
        {"a key cleared on deselect is set no more after a new SELECT",
         {.init = keyKept(14), .process = setKeyOnce},
         {"6300", "6301", "S 6300", "6301"}},
        {"a persistent key survives a new SELECT",
         {.init = keyKept(15), .process = setKeyOnce},
         {"6300", "6301", "S 6301"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.rule);
        runtime::CardSettings settings;
        settings.budget = 100000;
        settings.persistentBytes = row.memory;
        Card card({row.applet}, settings);
        runtime::Response last;
        std::vector<std::string> got;
        for (std::size_t i = 0; i < row.answers.size(); ++i) {
            if (row.answers[i] == "R") {
                card.card.reset();
                got.push_back("R");
                continue;
            }
            const bool select = row.answers[i].rfind("S ", 0) == 0;
            last = i == 0 || select ? card.select() : card.send(command);
            got.push_back((select ? "S " : "") + swOf(last));
        }
        EXPECT_EQ(got, row.answers) << (last.diagnostics.empty() ? "" : last.diagnostics.front().lines().front());
        if (*row.diagnostic) {
            ASSERT_FALSE(last.diagnostics.empty());
            const auto lines = last.diagnostics.front().lines();
            EXPECT_NE(lines.front().find(row.diagnostic), std::string::npos) << lines.front();
        }
    }
}

std::string answerOf(const runtime::Response& response)
{
    std::string text;
    for (const auto byte : response.bytes()) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02X", byte);
        text += digits;
    }
    return text;
}

// What `process` answers to `command` (SELECT ran it once before), with the
// first line of its diagnostic where it has one.
std::pair<std::string, std::string> answerTo(const ByteVector& process)
{
    runtime::CardSettings settings;
    settings.budget = 100000;
    Card card({TestApplet{.process = process}}, settings);
    card.select();
    const auto response = card.send(command);
    return {swOf(response), response.diagnostics.empty() ? "" : response.diagnostics.front().lines().front()};
}

struct Row {
    const char* what;
    ByteVector process;
    const char* sw;
    const char* diagnostic = "";
};

void expectAnswers(const std::vector<Row>& rows)
{
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const auto [sw, diagnostic] = answerTo(row.process);
        EXPECT_EQ(sw, row.sw) << diagnostic;
        EXPECT_NE(diagnostic.find(row.diagnostic), std::string::npos) << diagnostic;
    }
}

// Each row computes a short and answers it as the status word.
TEST(Runtime, InstructionsComputeAsTheVirtualMachineDefinesThem)
{
    const ByteVector answer{0x8D, 0, throwIt};
    const ByteVector high16{0x12, 16, 0x50, 0x5E}; // an int's high word: >> 16, i2s
    // stableswitch and slookupswitch over 5, 0 and 1, to three throwSw: 6301 (default), 6302, 6303.
    const auto table = [&](std::uint8_t value) {
        return ByteVector{value, 0x73, 0, 11, 0, 0, 0, 1, 0, 17, 0, 23} + throwSw(0x6301) + throwSw(0x6302) +
               throwSw(0x6303);
    };
    const auto lookup = [&](std::uint8_t value) {
        return ByteVector{value, 0x75, 0, 13, 0, 2, 0, 1, 0, 19, 0, 2, 0, 25} + throwSw(0x6301) + throwSw(0x6302) +
               throwSw(0x6303);
    };
    expectAnswers({
        {"sadd wraps at 16 bits", ByteVector{0x11, 0x7F, 0xFF, 0x04, 0x41} + answer, "8000"},
        {"smul wraps at 16 bits", ByteVector{0x11, 1, 1, 0x11, 1, 1, 0x45} + answer, "0201"},
        {"sdiv of -32768 by -1 wraps", ByteVector{0x11, 0x80, 0x00, 0x02, 0x47} + answer, "8000"},
        {"srem takes the dividend's sign", ByteVector{0x10, 0xF9, 0x05, 0x49} + answer, "FFFF"},
        {"sshl takes the count's low 5 bits", ByteVector{0x04, 0x10, 33, 0x4D} + answer, "0002"},
        {"sshl by 16 to 31 shifts every bit out (then + 1)", ByteVector{0x04, 0x10, 16, 0x4D, 0x04, 0x41} + answer, "0001"},
        {"sshr keeps the sign", ByteVector{0x11, 0x80, 0x00, 0x07, 0x4F} + answer, "F800"},
        {"s2b keeps the low byte, its sign extended", ByteVector{0x11, 0x01, 0x80, 0x5B} + answer, "FF80"},
        {"sinc adds a signed byte", ByteVector{0x03, 0x31, 0x59, 2, 0xFD, 0x1E} + answer, "FFFD"},
        {"iadd carries into the high word", ByteVector{0x14, 0, 0, 0xFF, 0xFF, 0x0B, 0x42} + high16 + answer, "0001"},
        {"imul wraps at 32 bits", ByteVector{0x14, 0x12, 0x34, 0x56, 0x78, 0x12, 16, 0x46, 0x5E} + answer, "6780"},
        {"idiv of the least int by -1 wraps", ByteVector{0x14, 0x80, 0, 0, 0, 0x09, 0x48} + high16 + answer, "8000"},
        {"iushr fills with zeros", ByteVector{0x14, 0x80, 0, 0, 0, 0x12, 31, 0x52, 0x5E} + answer, "0001"},
        {"i2b keeps the low byte, its sign extended", ByteVector{0x14, 0, 0, 0x01, 0xFF, 0x5D} + answer, "FFFF"},
        {"icmp orders ints by sign", ByteVector{0x0B, 0x14, 0x80, 0, 0, 0, 0x5F} + answer, "0001"},
        {"dup_x 0x12 copies the top word under the next", ByteVector{0x04, 0x05, 0x3F, 0x12, 0x43, 0x43} + answer,
         "0003"},
        {"swap_x 0x11 swaps the top two words", ByteVector{0x04, 0x05, 0x40, 0x11, 0x43} + answer, "0001"},
        {"stableswitch takes its default outside its range", table(0x08), "6301"},
        {"stableswitch takes the offset of its index", table(0x04), "6303"},
        {"slookupswitch takes the offset of its match", lookup(0x05), "6303"},
        {"slookupswitch takes its default without one", lookup(0x03), "6301"},
        {"instanceof knows a byte[]", ByteVector{0x04, 0x90, 11, 0x95, 11, 0, 0} + answer, "0001"},
        {"checkcast of a byte[] to a short[] fails", ByteVector{0x04, 0x90, 11, 0x94, 12, 0, 0, 0x7A}, "6F00",
         "java.lang.ClassCastException"},
        {"a negative array length fails", ByteVector{0x02, 0x90, 11, 0x7A}, "6F00",
         "java.lang.NegativeArraySizeException: an array of length -1"},
        {"putstatic_s and getstatic_s keep a short in the package's image",
         ByteVector{0x7D, 0, staticShort, 0x04, 0x41, 0x3D, 0x81, 0, staticShort} + answer, "0002"},
        {"getstatic_a where a short lies is refused", ByteVector{0x7B, 0, staticShort, 0x3B, 0x7A}, "6F00",
         "a static field access outside the fields of its kind"},
        {"an int[] keeps an int",
         ByteVector{0x05, 0x90, 13, 0x2D, 0x1A, 0x04, 0x14, 0x12, 0x34, 0x56, 0x78, 0x3A, 0x1A, 0x04, 0x27, 0x5E} +
             answer,
         "5678"},
        {"two locals keep an int", ByteVector{0x14, 0, 2, 0, 3, 0x35, 0x22} + high16 + answer, "0002"},
        {"invokespecial of a superclass's method reaches it", ByteVector{0x18, 0x8C, 0, superSelect} + answer, "0001"},
        {"aastore of an object its array's class does not take fails",
         ByteVector{0x04, 0x91, 0, arithmetic, 0x03, 0x18, 0x37, 0x7A}, "6F00", "java.lang.ArrayStoreException"},
    });
}

// Each row calls the API, and answers what it returns or what it throws.
TEST(Runtime, TheApiAnswersAsItsContractsSay)
{
    const ByteVector answer{0x8D, 0, throwIt};
    const ByteVector buffer{0x19, 0x8B, 0, getBuffer, 0x2D}; // astore_2: the APDU buffer in local 2
    expectAnswers({
        {"Util.arrayCompare compares bytes as signed",
         buffer +
             ByteVector{0x1A, 0x08, 0x10, 0x80, 0x38, 0x1A, 0x10, 6, 0x04, 0x38, 0x1A, 0x08, 0x1A, 0x10, 6, 0x04, 0x8D,
                        0, arrayCompare} +
             answer,
         "FFFF"},
        {"Util.setShort writes big-endian, and getShort reads so",
         buffer + ByteVector{0x1A, 0x08, 0x11, 0x12, 0x34, 0x8D, 0, setShortIn, 0x3B, 0x1A, 0x08, 0x25} + answer,
         "0012"},
        {"Util.getShort of two bytes", buffer + ByteVector{0x1A, 0x03, 0x8D, 0, getShortOf} + answer, "8010"},
        {"Util.arrayCopy past an array's end fails",
         buffer + ByteVector{0x1A, 0x03, 0x1A, 0x11, 0x01, 0x00, 0x11, 0x01, 0x00, 0x8D, 0, arrayCopy, 0x7A}, "6F00",
         "java.lang.ArrayIndexOutOfBoundsException"},
        {"a transient array cleared on event 3 is refused", ByteVector{0x04, 0x06, 0x8D, 0, makeTransient, 0x7A},
         "6F00", "SystemException reason 1 (ILLEGAL_VALUE)"},
        {"beginTransaction twice fails", ByteVector{0x8D, 0, beginTransaction, 0x8D, 0, beginTransaction, 0x7A}, "6F00",
         "TransactionException reason 1 (IN_PROGRESS)"},
        {"commitTransaction with none open fails", ByteVector{0x8D, 0, commitTransaction, 0x7A}, "6F00",
         "TransactionException reason 2 (NOT_IN_PROGRESS)"},
        {"setIncomingAndReceive twice fails", ByteVector{0x19, 0x8B, 0, receive, 0x3B, 0x19, 0x8B, 0, receive, 0x7A},
         "6F00", "APDUException reason 1 (ILLEGAL_USE)"},
        {"abortTransaction undoes a static field's write",
         ByteVector{0x11, 0x63, 0x01,        0x81, 0, staticShort,      0x8D, 0, beginTransaction, 0x11, 0x6A, 0x80,
                    0x81, 0,    staticShort, 0x8D, 0, abortTransaction, 0x7D, 0, staticShort} +
             answer,
         "6301"},
        {"a global array kept in a static field is a SecurityException",
         ByteVector{0x19, 0x8B, 0, getBuffer, 0x7F, 0, staticRef, 0x7A}, "6F00", "a global array kept"},
        {"JCSystem.getAID gives the instance's AID, of 8 bytes",
         ByteVector{0x8D, 0, getAid, 0x19, 0x8B, 0, getBuffer, 0x03, 0x8B, 0, aidGetBytes} + answer, "0008"},
        {"AID.partialEquals of its own first five bytes",
         ByteVector{0x8D,      0,    getAid,    0x2D, 0x1A,        0x19, 0x8B, 0,
                    getBuffer, 0x03, 0x8B,      0,    aidGetBytes, 0x3B, 0x1A, 0x19,
                    0x8B,      0,    getBuffer, 0x03, 0x08,        0x8B, 0,    aidPartialEquals} +
             answer,
         "0001"},
        {"RandomData.nextBytes gives the end of what it wrote",
         ByteVector{0x05, 0x8D, 0, randomInstance, 0x19, 0x8B, 0, getBuffer, 0x10, 10, 0x10, 16, 0x8B, 0,
                    randomNextBytes} +
             answer,
         "001A"},
        {"setOutgoing gives 256 for a command without Le", ByteVector{0x19, 0x8B, 0, setOutgoing} + answer, "0100"},
        {"setOutgoingLength past 256 fails",
         ByteVector{0x19, 0x8B, 0, setOutgoing, 0x3B, 0x19, 0x11, 0x01, 0x2C, 0x8B, 0, outgoingLength, 0x7A}, "6F00",
         "APDUException reason 3 (BAD_LENGTH)"},
    });
}

// The cryptography refuses what a card refuses, with the reason it gives.
TEST(Runtime, KeysAndEnginesRefuseAsTheirContractsSay)
{
    const ByteVector buffer{0x19, 0x8B, 0, getBuffer, 0x2D}; // the APDU buffer in local 2
    // buildKey(type, bits, false), kept in local 3
    const auto key = [](std::uint8_t type, std::uint16_t bits) {
        return ByteVector{
            0x10, type,     0x11, static_cast<std::uint8_t>(bits >> 8), static_cast<std::uint8_t>(bits), 0x03, 0x8D,
            0,    buildKey, 0x2E};
    };
    expectAnswers({
        {"a DES key of 56 bits", key(3, 56) + ByteVector{0x7A}, "6F00", "CryptoException reason 3 (NO_SUCH_ALGORITHM)"},
        {"an EC key over a binary field", key(9, 163) + ByteVector{0x7A}, "6F00",
         "CryptoException reason 3 (NO_SUCH_ALGORITHM)"},
        {"getKey of a key never set", buffer + key(15, 128) + ByteVector{0x1B, 0x1A, 0x03, 0x8E, 3, 0, aesKey, 5, 0x7A},
         "6F00", "CryptoException reason 2 (UNINITIALIZED_KEY)"},
        {"an RSA modulus longer than its key",
         buffer + key(4, 512) + ByteVector{0x1B, 0x1A, 0x03, 0x10, 65, 0x8E, 4, 0, rsaPublicKey, 7, 0x7A}, "6F00",
         "CryptoException reason 1 (ILLEGAL_VALUE)"},
        {"an EC coefficient of no bytes",
         buffer + key(11, 256) + ByteVector{0x1B, 0x1A, 0x03, 0x03, 0x8E, 4, 0, ecPublicKey, 7, 0x7A}, "6F00",
         "CryptoException reason 1 (ILLEGAL_VALUE)"},
        {"an EC coefficient of zero, in one byte",
         buffer + key(11, 256) + ByteVector{0x1A, 0x03, 0x03, 0x38, 0x1B, 0x1A, 0x03, 0x04, 0x8E, 4, 0, ecPublicKey, 7} +
             ByteVector{0x11, 0x63, 0x01, 0x8D, 0, throwIt},
         "6301"},
        {"an EC point one byte short",
         buffer + key(11, 256) + ByteVector{0x1B, 0x1A, 0x03, 0x10, 64, 0x8E, 4, 0, ecPublicKey, 18, 0x7A}, "6F00",
         "CryptoException reason 1 (ILLEGAL_VALUE)"},
        {"Signature.sign before init",
         buffer + ByteVector{0x10, 33, 0x03, 0x8D, 0, signatureInstance, 0x1A, 0x03, 0x04, 0x1A, 0x03, 0x8B, 0,
                             signatureSign, 0x7A},
         "6F00", "CryptoException reason 4 (INVALID_INIT)"},
        {"a Cipher for SEED", ByteVector{0x10, 16, 0x03, 0x8D, 0, cipherInstance, 0x7A}, "6F00",
         "CryptoException reason 3 (NO_SUCH_ALGORITHM)"},
        {"a KeyPair for DSA", ByteVector{0x8F, 0, keyPairClass, 0x3D, 0x06, 0x11, 4, 0, 0x8C, 0, keyPairInit, 0x7A},
         "6F00", "CryptoException reason 3 (NO_SUCH_ALGORITHM)"},
    });
}

// A package is linked as a card links it: whatever it imports or names
// that the card lacks refuses the load, naming it.
TEST(Runtime, ALoadIsRefusedNamingWhatTheCardLacks)
{
    const struct {
        const char* what;
        TestApplet applet;
        const char* refusal;
    } rows[] = {
        {"an import the card lacks",
         {.framework = {0xA0, 0x00, 0x00, 0x00, 0x62, 0x01, 0x99}},
         "it imports A0000000620199 1.2, which is not on the card"},
        {"an import of a platform package the card lacks, named",
         {.framework = {0xA0, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00}},
         "it imports visa.openplatform A0000000030000 1.2, which is not on the card"},
        {"an import newer than the card's", {.frameworkMinor = 10}, "javacard.framework 1.10, and the card has 1.9"},
        {"an import of another major version", {.frameworkMajor = 2}, "javacard.framework 2.2, and the card has 1.9"},
        {"a class the API lacks",
         {.poolChanges = {{arithmetic, {1, 0x80, 99, 0}}}},
         "class token 99 of java.lang, which the card's API does not have"},
        {"a static method the class lacks",
         {.poolChanges = {{throwIt, {6, 0x81, 7, 9}}}},
         "static method token 9 of javacard.framework.ISOException, which it does not have"},
        {"a virtual method the class lacks",
         {.poolChanges = {{getBuffer, {3, 0x81, 10, 99}}}},
         "virtual method token 99 of javacard.framework.APDU, which it does not have"},
        {"a field token at the class's field count", {.poolChanges = {{shortField, {2, 0, 0, 2}}}},
         "field token 2 of class@0, which declares 2 cells"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        runtime::SimulatedCard card;
        LoadFileOptions options;
        options.verify = false;
        try {
            card.load(layOutLoadFile(row.applet.entries(), options, "test.cap"), "test.cap");
            ADD_FAILURE() << "loaded";
        } catch (const Error& error) {
            EXPECT_NE(error.message().find(row.refusal), std::string::npos) << error.message();
        }
    }
    // And a package already on the card.
    runtime::SimulatedCard card;
    LoadFileOptions options;
    options.verify = false;
    const LoadFile file = layOutLoadFile(TestApplet{}.entries(), options, "test.cap");
    card.load(file, "test.cap");
    EXPECT_THROW(card.load(file, "test.cap"), Error);
}

TEST(Runtime, ContextsAndTransportsAnswerAsACardDoes)
{
    // The client looks the AID of its command's data up, asks its applet for
    // a shareable object, and reads a field of what it gets: the server's
    // applet itself, which is no Shareable.
    const ByteVector lookUpAndRead = askServer + ByteVector{0x85, shortField, 0x3B, 0x7A};
    const TestApplet server{.aid = secondAid, .shareable = {0x18, 0x77}};
    TestApplet client{.process = lookUpAndRead, .shareable = {0x18, 0x77}};
    // A server that hands out a byte[] of its own, and a client that gives
    // it to Util.arrayCompare.
    const TestApplet arrayServer{.aid = secondAid, .shareable = {0x04, 0x90, 11, 0x77}};
    const TestApplet arrayClient{
        .process = askServer + ByteVector{0x2D, 0x1A, 0x03, 0x1A, 0x03, 0x04, 0x8D, 0, arrayCompare, 0x3B, 0x7A}};
    // Echoes the command's data.
    const TestApplet echo{.process = {0x19, 0x8B, 0, receive, 0x31, 0x19, 0x08, 0x1E, 0x8B, 0, outgoingAndSend, 0x7A}};
    const ByteVector ownAid{0x80, 0x10, 0x00, 0x00, 8, 0xA0, 0x00, 0x00, 0x00, 0x62, 0x7E, 0x01, 0x01};
    const struct {
        const char* rule;
        std::vector<TestApplet> applets;
        bool t0;
        std::vector<std::pair<ByteVector, std::string>> exchanges; // after SELECT
        const char* diagnostic = "";
    } rows[] = {
        {"another context's object is behind the firewall",
         {server, client},
         false,
         {{nameSecond, "6F00"}},
         "java.lang.SecurityException: an access to an object of another applet's context"},
        {"its own context's object is not", {server, client}, false, {{ownAid, "9000"}}},
        {"an API call refuses another context's array",
         {arrayServer, arrayClient},
         false,
         {{nameSecond, "6F00"}},
         "javacard.framework.Util.arrayCompare([BS[BSS)B given an object of another applet's context"},
        {"T=1 answers a case 4 command at once", {echo}, false, {{{0x80, 0x10, 0, 0, 2, 0xAA, 0xBB, 0}, "AABB9000"}}},
        {"T=0 answers it with 61xx, and GET RESPONSE gives the data",
         {echo},
         true,
         {{{0x80, 0x10, 0, 0, 2, 0xAA, 0xBB, 0}, "6102"}, {{0x00, 0xC0, 0, 0, 2}, "AABB9000"}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.rule);
        runtime::CardSettings settings;
        settings.t0 = row.t0;
        Card card(row.applets, settings);
        card.select();
        runtime::Response last;
        for (const auto& [command, answer] : row.exchanges) {
            last = card.send(command);
            EXPECT_EQ(answerOf(last), answer);
        }
        if (*row.diagnostic) {
            ASSERT_FALSE(last.diagnostics.empty());
            EXPECT_NE(last.diagnostics.front().lines().front().find(row.diagnostic), std::string::npos)
                << last.diagnostics.front().lines().front();
        }
    }
}

// A process method that builds a key of `type` and `bits`, sets it from the
// command's data (`keyLength` bytes at 5, through `keyClass`'s setKey of
// `setKeyToken`), and answers what `operation` (a Cipher's or Signature's, by
// `algorithm`) makes of the `inputLength` bytes after the key, with the
// bytes after them as the IV (or nonce) where `iv`; an AEAD cipher's 16-byte
// tag follows where `tag`.
struct CryptoRow {
    const char* vector;
    std::uint8_t type;
    std::uint16_t bits;
    std::uint8_t keyClass, setKeyToken;
    bool signature;
    std::uint8_t algorithm;
    bool iv;
    std::string key, input, ivBytes, expected;
    bool tag = false;
    bool decrypt = false; // a cipher's MODE_DECRYPT rather than MODE_ENCRYPT
};

ByteVector cryptoProcess(const CryptoRow& row)
{
    const auto keyLength = static_cast<std::uint8_t>(row.key.size() / 2);
    const auto inputLength = static_cast<std::uint8_t>(row.input.size() / 2);
    const auto inputAt = static_cast<std::uint8_t>(5 + keyLength);
    const auto sign = static_cast<std::uint8_t>(row.signature ? signatureSign : cipherDoFinal);
    const auto init = static_cast<std::uint8_t>(row.signature ? signatureInit : cipherInit);
    const std::uint8_t instance = row.signature ? signatureInstance : cipherInstance;
    // The buffer in local 2, the key in 3, the Cipher or Signature in 4.
    // clang-format off
    ByteVector code{0x19, 0x8B, 0, receive, 0x3B, 0x19, 0x8B, 0, getBuffer, 0x2D,
                    0x10, row.type, 0x11, static_cast<std::uint8_t>(row.bits >> 8), static_cast<std::uint8_t>(row.bits),
                    0x03, 0x8D, 0, buildKey, 0x2E};
    if (row.keyClass == hmacKey) // setKey(data, 5, length)
        code = code + ByteVector{0x1B, 0x1A, 0x08, 0x10, keyLength, 0x8E, 4, 0, row.keyClass, row.setKeyToken};
    else // setKey(data, 5)
        code = code + ByteVector{0x1B, 0x1A, 0x08, 0x8E, 3, 0, row.keyClass, row.setKeyToken};
    code = code + ByteVector{0x10, row.algorithm, 0x03, 0x8D, 0, instance, 0x28, 4};
    // init(key, MODE_SIGN (1) or MODE_ENCRYPT (2)[, data, the IV's offset, its length])
    code = code + ByteVector{0x15, 4, 0x1B, static_cast<std::uint8_t>(row.signature || row.decrypt ? 0x04 : 0x05)};
    if (row.iv)
        code = code + ByteVector{0x1A, 0x10, static_cast<std::uint8_t>(inputAt + inputLength),
                                 0x10, static_cast<std::uint8_t>(row.ivBytes.size() / 2), 0x8B, 0, cipherInitIv};
    else
        code = code + ByteVector{0x8B, 0, init};
    // sign or doFinal(data, the input's offset, its length, data, 0) into local 5
    code = code + ByteVector{0x15, 4, 0x1A, 0x10, inputAt, 0x10, inputLength, 0x1A, 0x03, 0x8B, 0, sign, 0x29, 5};
    // clang-format on
    if (row.tag) // retrieveTag(data, local 5, 16) after the ciphertext
        code = code + ByteVector{0x15, 4, 0x1A, 0x16, 5, 0x10, 16, 0x8B, 0, retrieveTag, 0x16, 5, 0x41, 0x29, 5};
    code = code + ByteVector{0x19, 0x03, 0x16, 5, 0x8B, 0, outgoingAndSend, 0x7A};
    return code;
}

// AES-128-ECB of one block, without padding, by libcrypto.
std::string aesEcb(const std::string& key, const std::string& block)
{
    const ByteVector k = *bytesFromHex(key), in = *bytesFromHex(block);
    ByteVector out(in.size() + 16);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int length = 0, last = 0;
    EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, k.data(), nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_EncryptUpdate(ctx, out.data(), &length, in.data(), static_cast<int>(in.size()));
    EVP_EncryptFinal_ex(ctx, out.data() + length, &last);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<std::size_t>(length + last));
    return hexText(out, HexCase::Upper);
}

// Published vectors through the API, as an applet calls it, and PKCS#5
// pads that libcrypto enciphered without padding.
TEST(Runtime, CryptographyMeetsPublishedVectors)
{
    const std::string nistKey = "2B7E151628AED2A6ABF7158809CF4F3C", nistBlock = "6BC1BEE22E409F96E93D7E117393172A";
    const CryptoRow rows[] = {
        {"SP 800-38A F.1.1, ECB-AES128", 15, 128, aesKey, 4, false, 14, false, nistKey, nistBlock, "",
         "3AD77BB40D7A3660A89ECAF32466EF97"},
        {"SP 800-38A F.2.1, CBC-AES128", 15, 128, aesKey, 4, false, 13, true, nistKey, nistBlock,
         "000102030405060708090A0B0C0D0E0F", "7649ABAC8119B246CEE98E9B12E9197D"},
        {"FIPS 81's DES example, ECB", 3, 64, desKey, 5, false, 5, false, "0123456789ABCDEF", "4E6F772069732074", "",
         "3FA40E8A984D4815"},
        {"RFC 4231 case 2, HMAC-SHA-256", 21, 32, hmacKey, 4, true, 25, false, "4A656665",
         "7768617420646F2079612077616E7420666F72206E6F7468696E673F", "",
         "5BDCC146BF60754E6A042426089575C75A003F089D2739839DEC58B964EC3843"},
        {"RFC 4493 example 2, AES-CMAC", 15, 128, aesKey, 4, true, 49, false, nistKey, nistBlock, "",
         "070A16B46B4D4144F79BDD9DD04A287C"},
        {"a one-block CBC-MAC is the block's ECB encryption", 15, 128, aesKey, 4, true, 18, false, nistKey, nistBlock,
         "", "3AD77BB40D7A3660A89ECAF32466EF97"},
        {"ISO/IEC 9797-1 annex B, MAC algorithm 3 with padding 1", 3, 128, desKey, 5, true, 48, false,
         "0123456789ABCDEFFEDCBA9876543210", "4E6F77206973207468652074696D6520666F7220616C6C20", "",
         "A1C72E74EA3FA9B6"},
        {"McGrew and Viega's GCM test case 3", 15, 128, aesKey, 4, false, 0xF3, true,
         "FEFFE9928665731C6D6A8F9467308308",
         "D9313225F88406E5A55909C5AFF5269A86A7A9531534F7DA2E4C303D8A318A721C3C0C95956809532FCF0E2449A6B525B16AEDF5AA0D"
         "E657BA637B391AAFD255",
         "CAFEBABEFACEDBADDECAF888",
         "42831EC2217774244B7221B784D0D49CE3AA212F2C02A4E035C17E2329ACA12E21D514B25466931C7D8F6A5AAC84AA051BA30B396A0A"
         "AC973D58E091473F59854D5C2AF327CD64A62CF35ABD2BA6FAB4",
         true},
        {"PKCS#5 unpadding takes a whole pad", 15, 128, aesKey, 4, false, 27, false, nistKey,
         aesEcb(nistKey, std::string(28, '0') + "0202"), "", std::string(28, '0'), false, true},
        {"PKCS#5 unpadding checks every pad byte (a refusal: 6F00 alone)", 15, 128, aesKey, 4, false, 27, false,
         nistKey, aesEcb(nistKey, std::string(28, '0') + "0102"), "", "6F00", false, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.vector);
        Card card({TestApplet{.process = cryptoProcess(row), .locals = 4}});
        card.select();
        const auto response = card.sendData(*bytesFromHex(row.key + row.input + row.ivBytes));
        EXPECT_EQ(answerOf(response), row.expected == "6F00" ? row.expected : row.expected + "9000")
            << (response.diagnostics.empty() ? "" : response.diagnostics.front().lines().front());
    }
}

// A process method that sets a key from the command's data as cryptoProcess
// does, encrypts the input into the buffer at 128, decrypts that back to 0
// with a fresh init, and answers what came back.
ByteVector roundTrip(std::uint8_t type, std::uint16_t bits, std::uint8_t keyClass, std::uint8_t setKeyToken,
                     std::uint8_t algorithm, std::uint8_t keyLength, std::uint8_t inputLength)
{
    const auto inputAt = static_cast<std::uint8_t>(5 + keyLength);
    // The buffer in local 2; the key, set from the data at 5, in local 3; the
    // cipher in 4. init(key, ENCRYPT); doFinal(data, input, length, data, 128)
    // into local 5; init(key, DECRYPT); doFinal(data, 128, local 5, data, 0)
    // into local 5; send it. One step of the applet a line.
    // clang-format off
    return ByteVector{0x19, 0x8B, 0, receive, 0x3B, 0x19, 0x8B, 0, getBuffer, 0x2D,
                      0x10, type, 0x11, static_cast<std::uint8_t>(bits >> 8), static_cast<std::uint8_t>(bits),
                      0x03, 0x8D, 0, buildKey, 0x2E,
                      0x1B, 0x1A, 0x08, 0x8E, 3, 0, keyClass, setKeyToken,
                      0x10, algorithm, 0x03, 0x8D, 0, cipherInstance, 0x28, 4,
                      0x15, 4, 0x1B, 0x05, 0x8B, 0, cipherInit,
                      0x15, 4, 0x1A, 0x10, inputAt, 0x10, inputLength, 0x1A, 0x11, 0, 128,
                      0x8B, 0, cipherDoFinal, 0x29, 5,
                      0x15, 4, 0x1B, 0x04, 0x8B, 0, cipherInit,
                      0x15, 4, 0x1A, 0x11, 0, 128, 0x16, 5, 0x1A, 0x03, 0x8B, 0, cipherDoFinal, 0x29, 5,
                      0x19, 0x03, 0x16, 5, 0x8B, 0, outgoingAndSend, 0x7A};
    // clang-format on
}

// A process method for an AEAD cipher: an AES-128 key from the data at 5,
// then the nonce, the associated data, the tag (to open) and the input; it
// seals the input and answers the ciphertext and the tag, or opens it and
// answers the plaintext where the tag verifies (6A80 where it does not). CCM
// is told `declared` as the message's length.
struct AeadRow {
    const char* vector;
    bool ccm, encrypt;
    std::string key, nonce, aad, input, tag, expected;
    std::uint8_t declared = 0; // CCM: the message length told at init, else the input's
    std::uint8_t required = 0; // the tag length verifyTag requires, else the tag's
};

ByteVector aeadProcess(const AeadRow& row)
{
    const auto n = static_cast<std::uint8_t>(row.nonce.size() / 2), a = static_cast<std::uint8_t>(row.aad.size() / 2),
               m = static_cast<std::uint8_t>(row.input.size() / 2), t = static_cast<std::uint8_t>(row.tag.size() / 2);
    const auto aadAt = static_cast<std::uint8_t>(21 + n), tagAt = static_cast<std::uint8_t>(21 + n + a),
               inputAt = static_cast<std::uint8_t>(21 + n + a + (row.encrypt ? 0 : t));
    // One step of the applet a line.
    // clang-format off
    ByteVector code{0x19, 0x8B, 0, receive, 0x3B, 0x19, 0x8B, 0, getBuffer, 0x2D,     // the buffer in local 2
                    0x10, 15, 0x11, 0, 128, 0x03, 0x8D, 0, buildKey, 0x2E,             // an AES key of 128 bits
                    0x1B, 0x1A, 0x08, 0x8E, 3, 0, aesKey, 4,                           // set from the data at 5
                    0x10, static_cast<std::uint8_t>(row.ccm ? 0xF4 : 0xF3), 0x03, 0x8D, 0, cipherInstance, 0x28, 4,
                    0x15, 4, 0x1B, static_cast<std::uint8_t>(row.encrypt ? 0x05 : 0x04), 0x1A, 0x10, 21, 0x10, n};
    if (row.ccm) // init(key, mode, data, 21, n, a, m, t)
        code = code + ByteVector{0x10, a, 0x10, row.declared ? row.declared : m, 0x10, t, 0x8B, 0, aeadInitLengths};
    else // init(key, mode, data, 21, n)
        code = code + ByteVector{0x8B, 0, cipherInitIv};
    if (a)
        code = code + ByteVector{0x15, 4, 0x1A, 0x10, aadAt, 0x10, a, 0x8B, 0, updateAad};
    // doFinal(data, inputAt, m, data, 128) into local 5
    code = code + ByteVector{0x15, 4, 0x1A, 0x10, inputAt, 0x10, m, 0x1A, 0x11, 0, 128,
                             0x8B, 0, cipherDoFinal, 0x29, 5};
    const ByteVector send{0x19, 0x11, 0, 128, 0x16, 5, 0x8B, 0, outgoingAndSend, 0x7A};
    if (row.encrypt) // retrieveTag(data, 128 + local 5, t), the tag after the ciphertext
        return code + ByteVector{0x15, 4, 0x1A, 0x11, 0, 128, 0x16, 5, 0x41, 0x10, t, 0x8B, 0, retrieveTag,
                                 0x16, 5, 0x41, 0x29, 5} + send;
    // verifyTag(data, tagAt, t, t), else 6A80
    return code + ByteVector{0x15, 4, 0x1A, 0x10, tagAt, 0x10, t, 0x10, row.required ? row.required : t, 0x8B, 0, verifyTag, 0x60, 12} + send +
           throwSw(0x6A80);
    // clang-format on
}

// AES-GCM and AES-CCM meet their published vectors both ways, and a tag
// that does not verify, or a message longer than CCM was told, is refused.
TEST(Runtime, AeadCiphersMeetPublishedVectors)
{
    const std::string gcmKey = "FEFFE9928665731C6D6A8F9467308308", gcmIv = "CAFEBABEFACEDBADDECAF888",
                      gcmAad = "FEEDFACEDEADBEEFFEEDFACEDEADBEEFABADDAD2",
                      gcmPlain = "D9313225F88406E5A55909C5AFF5269A86A7A9531534F7DA2E4C303D8A318A721C3C0C95956809532FC"
                                 "F0E2449A6B525B16AEDF5AA0DE657BA637B39",
                      gcmCipher = "42831EC2217774244B7221B784D0D49CE3AA212F2C02A4E035C17E2329ACA12E21D514B25466931C7D"
                                  "8F6A5AAC84AA051BA30B396A0AAC973D58E091",
                      gcmTag = "5BC94FBC3221A5DB94FAE95AE7121A47";
    const std::string ccmKey = "C0C1C2C3C4C5C6C7C8C9CACBCCCDCECF", ccmNonce = "00000003020100A0A1A2A3A4A5",
                      ccmAad = "0001020304050607", ccmPlain = "08090A0B0C0D0E0F101112131415161718191A1B1C1D1E",
                      ccmCipher = "588C979A61C663D2F066D0C2C0F989806D5F6B61DAC384", ccmTag = "17E8D12CFDF926E0";
    const AeadRow rows[] = {
        {"McGrew and Viega's GCM test case 4, sealed", false, true, gcmKey, gcmIv, gcmAad, gcmPlain, gcmTag,
         gcmCipher + gcmTag + "9000"},
        {"test case 4 opened, its tag verified", false, false, gcmKey, gcmIv, gcmAad, gcmCipher, gcmTag,
         gcmPlain + "9000"},
        {"a tag given longer than the cipher's does not verify, and is not read past",
         false,
         false,
         gcmKey,
         gcmIv,
         gcmAad,
         gcmCipher,
         gcmTag + gcmTag,
         "6A80",
         0,
         16},
        {"test case 4 with a tag changed", false, false, gcmKey, gcmIv, gcmAad, gcmCipher,
         "5BC94FBC3221A5DB94FAE95AE7121A48", "6A80"},
        {"RFC 3610's packet vector 1, CCM sealed", true, true, ccmKey, ccmNonce, ccmAad, ccmPlain, ccmTag,
         ccmCipher + ccmTag + "9000"},
        {"packet vector 1 opened", true, false, ccmKey, ccmNonce, ccmAad, ccmCipher, ccmTag, ccmPlain + "9000"},
        {"CCM given more than it was told is ILLEGAL_USE", true, true, ccmKey, ccmNonce, ccmAad, ccmPlain, ccmTag,
         "6F00", 22},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.vector);
        Card card({TestApplet{.process = aeadProcess(row), .locals = 4}});
        card.select();
        const auto response =
            card.sendData(*bytesFromHex(row.key + row.nonce + row.aad + (row.encrypt ? "" : row.tag) + row.input));
        EXPECT_EQ(answerOf(response), row.expected)
            << (response.diagnostics.empty() ? "" : response.diagnostics.front().lines().front());
    }
}

// Each padding and mode undoes itself, and a cipher refuses what it cannot
// take with the reason a card gives.
TEST(Runtime, CiphersRoundTripAndRefuseWhatTheyCannotTake)
{
    const std::string aes = "2B7E151628AED2A6ABF7158809CF4F3C", des3 = "0123456789ABCDEFFEDCBA9876543210";
    const std::string fifteen = "000102030405060708090A0B0C0D0E", sixteen = fifteen + "0F";
    const struct {
        const char* what;
        std::uint8_t type;
        std::uint16_t bits;
        std::uint8_t keyClass, setKeyToken, algorithm;
        std::string key, input, answer;
    } rows[] = {
        {"AES-CBC with ISO 9797 M2, a partial block", 15, 128, aesKey, 4, 23, aes, fifteen, fifteen + "9000"},
        {"AES-CBC with ISO 9797 M2, a whole block", 15, 128, aesKey, 4, 23, aes, sixteen, sixteen + "9000"},
        {"AES-ECB with PKCS#5, a partial block", 15, 128, aesKey, 4, 27, aes, fifteen, fifteen + "9000"},
        {"AES-CBC with PKCS#5, a whole block", 15, 128, aesKey, 4, 24, aes, sixteen, sixteen + "9000"},
        {"two-key 3DES-CBC with ISO 9797 M2", 3, 128, desKey, 5, 3, des3, fifteen, fifteen + "9000"},
        {"two-key 3DES-ECB with PKCS#5", 3, 128, desKey, 5, 8, des3, sixteen, sixteen + "9000"},
        {"no padding and a partial block is ILLEGAL_USE", 15, 128, aesKey, 4, 14, aes, fifteen, "6F00"},
        {"an AES key for a DES cipher is ILLEGAL_VALUE", 15, 128, aesKey, 4, 5, aes, sixteen, "6F00"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const auto keyLength = static_cast<std::uint8_t>(row.key.size() / 2);
        Card card({TestApplet{.process = roundTrip(row.type, row.bits, row.keyClass, row.setKeyToken, row.algorithm,
                                                   keyLength, static_cast<std::uint8_t>(row.input.size() / 2)),
                              .locals = 4}});
        card.select();
        const auto response = card.sendData(*bytesFromHex(row.key + row.input));
        EXPECT_EQ(answerOf(response), row.answer)
            << (response.diagnostics.empty() ? "" : response.diagnostics.front().lines().front());
        if (row.answer == "6F00") {
            ASSERT_FALSE(response.diagnostics.empty());
            EXPECT_NE(response.diagnostics.front().lines().front().find("CryptoException"), std::string::npos);
        }
    }
}

// libcrypto's own key from parameters: `type` ("EC", "RSA") and `params`
// built by `build`; null where libcrypto refuses them.
using Pkey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

template <typename Build> Pkey pkeyFrom(const char* type, int selection, Build build)
{
    OSSL_PARAM_BLD* builder = OSSL_PARAM_BLD_new();
    std::vector<BIGNUM*> numbers;
    build(builder, numbers);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(builder);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr);
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_fromdata_init(ctx) != 1 || EVP_PKEY_fromdata(ctx, &key, selection, params) != 1)
        key = nullptr;
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(builder);
    for (BIGNUM* number : numbers)
        BN_free(number);
    return Pkey(key, EVP_PKEY_free);
}

Pkey ecPublic(const char* curve, const ByteVector& point)
{
    return pkeyFrom("EC", EVP_PKEY_PUBLIC_KEY, [&](OSSL_PARAM_BLD* b, std::vector<BIGNUM*>&) {
        OSSL_PARAM_BLD_push_utf8_string(b, "group", curve, 0);
        OSSL_PARAM_BLD_push_octet_string(b, "pub", point.data(), point.size());
    });
}

Pkey rsaKey(const ByteVector& n, const ByteVector& d)
{
    return pkeyFrom("RSA", d.empty() ? EVP_PKEY_PUBLIC_KEY : EVP_PKEY_KEYPAIR,
                    [&](OSSL_PARAM_BLD* b, std::vector<BIGNUM*>& numbers) {
                        numbers.push_back(BN_bin2bn(n.data(), static_cast<int>(n.size()), nullptr));
                        numbers.push_back(BN_new());
                        BN_set_word(numbers.back(), 65537);
                        OSSL_PARAM_BLD_push_BN(b, "n", numbers[0]);
                        OSSL_PARAM_BLD_push_BN(b, "e", numbers[1]);
                        if (!d.empty()) {
                            numbers.push_back(BN_bin2bn(d.data(), static_cast<int>(d.size()), nullptr));
                            OSSL_PARAM_BLD_push_BN(b, "d", numbers[2]);
                        }
                    });
}

// Whether libcrypto verifies `signature` of `data` by `key` with `digest`,
// as PSS with a salt of the hash's length where `pss`.
bool verifiesOutside(EVP_PKEY* key, const char* digest, bool pss, const ByteVector& data, const ByteVector& signature)
{
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    EVP_PKEY_CTX* ctx = nullptr;
    bool verified = key && EVP_DigestVerifyInit_ex(md, &ctx, digest, nullptr, nullptr, key, nullptr) == 1;
    if (verified && pss)
        verified = EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PSS_PADDING) == 1 &&
                   EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx, RSA_PSS_SALTLEN_DIGEST) == 1;
    verified = verified && EVP_DigestVerify(md, signature.data(), signature.size(), data.data(), data.size()) == 1;
    EVP_MD_CTX_free(md);
    return verified;
}

// A process method that makes a KeyPair(`pairAlgorithm`, `bits`), signs the
// command's data with Signature `algorithm` and its private key, and answers
// its public key at 0 (through `publicClass`'s `publicToken`: getW or
// getModulus) and the signature at 128.
ByteVector pairSigns(std::uint8_t pairAlgorithm, std::uint16_t bits, std::uint8_t algorithm, std::uint8_t publicClass,
                     std::uint8_t publicToken, std::uint8_t length)
{
    // One step of the applet a line.
    // clang-format off
    return ByteVector{0x19, 0x8B, 0, receive, 0x3B, 0x19, 0x8B, 0, getBuffer, 0x2D,
                      0x8F, 0, keyPairClass, 0x3D, 0x10, pairAlgorithm, 0x11,
                      static_cast<std::uint8_t>(bits >> 8), static_cast<std::uint8_t>(bits),
                      0x8C, 0, keyPairInit, 0x2E,
                      0x1B, 0x8B, 0, keyPairGenerate,
                      0x10, algorithm, 0x03, 0x8D, 0, signatureInstance, 0x28, 4,
                      0x15, 4, 0x1B, 0x8B, 0, keyPairPrivate, 0x04, 0x8B, 0, signatureInit,
                      0x15, 4, 0x1A, 0x08, 0x10, length, 0x1A, 0x11, 0, 128, 0x8B, 0, signatureSign, 0x29, 5,
                      0x1B, 0x8B, 0, keyPairPublic, 0x1A, 0x03, 0x8E, 3, 0, publicClass, publicToken, 0x3B,
                      0x19, 0x03, 0x11, 0, 128, 0x16, 5, 0x41, 0x8B, 0, outgoingAndSend, 0x7A};
    // clang-format on
}

// Signatures the card makes with keys it generated verify with libcrypto's
// own ECDSA, RSA-PSS and RSA PKCS#1 v1.5, and not for other data.
TEST(Runtime, SignaturesOfTheCardVerifyOutsideIt)
{
    const struct {
        const char* what;
        std::uint8_t pairAlgorithm;
        std::uint16_t bits;
        std::uint8_t algorithm;
        const char* digest;
        const char* curve; // null for RSA
        std::size_t publicLength;
        bool pss = false;
    } rows[] = {
        {"ECDSA with SHA-256 on P-256", 5, 256, 33, "SHA256", "P-256", 65},
        {"ECDSA with SHA-1 on P-256", 5, 256, 17, "SHA1", "P-256", 65},
        {"ECDSA with SHA-512 on P-256, the hash cut to the order", 5, 256, 38, "SHA512", "P-256", 65},
        {"ECDSA with SHA-384 on P-384", 5, 384, 34, "SHA384", "P-384", 97},
        {"ECDSA with SHA-224 on P-224", 5, 224, 37, "SHA224", "P-224", 57},
        {"RSA-PSS with SHA-256, 1024 bits", 1, 1024, 44, "SHA256", nullptr, 128, true},
        {"RSA-PSS with SHA-1, CRT key, 1024 bits", 2, 1024, 21, "SHA1", nullptr, 128, true},
        {"RSA PKCS#1 v1.5 with SHA-256, CRT key, 512 bits", 2, 512, 40, "SHA256", nullptr, 64},
        {"RSA PKCS#1 v1.5 with SHA-1, 1024 bits", 1, 1024, 10, "SHA1", nullptr, 128},
    };
    const ByteVector message{'s', 'a', 'm', 'p', 'l', 'e'};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const bool ec = row.curve != nullptr;
        Card card({TestApplet{.process =
                                  pairSigns(row.pairAlgorithm, row.bits, row.algorithm, ec ? ecPublicKey : rsaPublicKey,
                                            ec ? 19 : 5, static_cast<std::uint8_t>(message.size())),
                              .locals = 4}});
        card.select();
        const auto response = card.sendData(message);
        ASSERT_EQ(response.sw, 0x9000) << (response.diagnostics.empty() ? ""
                                                                        : response.diagnostics.front().lines().front());
        ASSERT_GT(response.data.size(), 128u);
        const ByteVector publicKey(response.data.begin(), response.data.begin() + static_cast<long>(row.publicLength));
        const ByteVector signature(response.data.begin() + 128, response.data.end());
        const Pkey key = ec ? ecPublic(row.curve, publicKey) : rsaKey(publicKey, {});
        EXPECT_TRUE(verifiesOutside(key.get(), row.digest, row.pss, message, signature));
        EXPECT_FALSE(
            verifiesOutside(key.get(), row.digest, row.pss, ByteVector{'s', 'a', 'm', 'p', 'l', 'f'}, signature));
    }
}

// RFC 6979's signatures (A.2.5, P-256 with SHA-256 of "sample" and "test")
// verify on the card with the RFC's public key, and fail for other data.
TEST(Runtime, TheCardVerifiesPublishedEcdsaSignatures)
{
    const std::string w = "0460FED4BA255A9D31C961EB74C6356D68C049B8923B61FA6CE669622E60F29FB6"
                          "7903FE1008B8BC99A41AE9E95628BC64F2F1B20C2D7E9F5177A3C294D4462299";
    const std::string sampleSignature = "3046022100EFD48B2AACB6A8FD1140DD9CD45E81D69D2C877B56AAF991C34D0EA84EAF3716"
                                        "022100F7CB1C942D657C41D436C7A1B6E29F65F3E900DBB9AFF4064DC4AB2F843ACDA8";
    const std::string testSignature = "3045022100F1ABB023518351CD71D881567B1EA663ED3EFCF6C5132B354F28D3B0B7D38367"
                                      "0220019F4113742A2B14BD25926B49C649155F267E60D3814B4C0CC84250E46F0083";
    const struct {
        const char* what;
        std::string message, signature, answer;
    } rows[] = {
        {"\"sample\"", "73616D706C65", sampleSignature, "9000"},
        {"\"test\"", "74657374", testSignature, "9000"},
        {"\"sample\" with the signature of \"test\"", "73616D706C65", testSignature, "6A80"},
        {"a changed message", "73616D706C66", sampleSignature, "6A80"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        // The RFC's own values first: libcrypto verifies them too.
        ASSERT_EQ(verifiesOutside(ecPublic("P-256", *bytesFromHex(w)).get(), "SHA256", false,
                                  *bytesFromHex(row.message), *bytesFromHex(row.signature)),
                  row.answer == "9000");
        const auto messageLength = static_cast<std::uint8_t>(row.message.size() / 2);
        const auto signatureLength = static_cast<std::uint8_t>(row.signature.size() / 2);
        // KeyPair(ALG_EC_FP, 256) for P-256's domain; its public key's W set
        // from the data at 5; verify(data, 70, the message's length, data,
        // after it, the signature's length); 6A80 where it does not verify.
        // One step of the applet a line.
        // clang-format off
        const ByteVector process{0x19, 0x8B, 0, receive, 0x3B, 0x19, 0x8B, 0, getBuffer, 0x2D,
                                 0x8F, 0, keyPairClass, 0x3D, 0x10, 5, 0x11, 1, 0, 0x8C, 0, keyPairInit, 0x2E,
                                 0x1B, 0x8B, 0, keyPairGenerate,
                                 0x1B, 0x8B, 0, keyPairPublic, 0x1A, 0x08, 0x10, 65, 0x8E, 4, 0, ecPublicKey, 18,
                                 0x10, 33, 0x03, 0x8D, 0, signatureInstance, 0x28, 4,
                                 0x15, 4, 0x1B, 0x8B, 0, keyPairPublic, 0x05, 0x8B, 0, signatureInit,
                                 0x15, 4, 0x1A, 0x10, 70, 0x10, messageLength, 0x1A, 0x10,
                                 static_cast<std::uint8_t>(70 + messageLength), 0x10, signatureLength,
                                 0x8B, 0, signatureVerify, 0x60, 3, 0x7A,
                                 0x11, 0x6A, 0x80, 0x8D, 0, throwIt, 0x7A};
        // clang-format on
        Card card({TestApplet{.process = process, .locals = 4}});
        card.select();
        const auto response = card.sendData(*bytesFromHex(w + row.message + row.signature));
        EXPECT_EQ(swOf(response), row.answer)
            << (response.diagnostics.empty() ? "" : response.diagnostics.front().lines().front());
    }
}

// ECDH on the card agrees with libcrypto's: the card's key pair with the
// test's public point gives the secret libcrypto derives from the test's
// private key and the card's point, in each form; a point off the curve is
// refused.
TEST(Runtime, KeyAgreementMatchesLibcrypto)
{
    EVP_PKEY* made = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    const Pkey ours(made, EVP_PKEY_free);
    ByteVector ourPoint(65);
    std::size_t pointLength = 0;
    ASSERT_EQ(EVP_PKEY_get_octet_string_param(ours.get(), "pub", ourPoint.data(), ourPoint.size(), &pointLength), 1);
    ByteVector offCurve = ourPoint;
    offCurve[64] ^= 1;
    const struct {
        const char* what;
        std::uint8_t algorithm;
        ByteVector point;
        const char* form; // "sha1", "x", "xy", or null where it is refused
    } rows[] = {
        {"ALG_EC_SVDP_DH: SHA-1 of x", 1, ourPoint, "sha1"},
        {"ALG_EC_SVDP_DH_PLAIN: x", 3, ourPoint, "x"},
        {"ALG_EC_SVDP_DHC_PLAIN: x, the cofactor 1", 4, ourPoint, "x"},
        {"ALG_EC_SVDP_DH_PLAIN_XY: the point", 6, ourPoint, "xy"},
        {"a point off the curve", 3, offCurve, nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        // KeyPair(ALG_EC_FP, 256), genKeyPair; KeyAgreement of the row's
        // algorithm; init(private); generateSecret(data, 5, 65, data, 128);
        // its public point at 0; answer 0 to 128 + the secret's length.
        // One step of the applet a line.
        // clang-format off
        const ByteVector process{0x19, 0x8B, 0, receive, 0x3B, 0x19, 0x8B, 0, getBuffer, 0x2D,
                                 0x8F, 0, keyPairClass, 0x3D, 0x10, 5, 0x11, 1, 0, 0x8C, 0, keyPairInit, 0x2E,
                                 0x1B, 0x8B, 0, keyPairGenerate,
                                 0x10, row.algorithm, 0x03, 0x8D, 0, agreementInstance, 0x28, 4,
                                 0x15, 4, 0x1B, 0x8B, 0, keyPairPrivate, 0x8B, 0, agreementInit,
                                 0x15, 4, 0x1A, 0x08, 0x10, 65, 0x1A, 0x11, 0, 128, 0x8B, 0, agreementSecret, 0x29, 5,
                                 0x1B, 0x8B, 0, keyPairPublic, 0x1A, 0x03, 0x8E, 3, 0, ecPublicKey, 19, 0x3B,
                                 0x19, 0x03, 0x11, 0, 128, 0x16, 5, 0x41, 0x8B, 0, outgoingAndSend, 0x7A};
        // clang-format on
        Card card({TestApplet{.process = process, .locals = 4}});
        card.select();
        const auto response = card.sendData(row.point);
        if (!row.form) {
            EXPECT_EQ(swOf(response), "6F00");
            ASSERT_FALSE(response.diagnostics.empty());
            EXPECT_NE(response.diagnostics.front().lines().front().find("ILLEGAL_VALUE"), std::string::npos);
            continue;
        }
        ASSERT_EQ(response.sw, 0x9000) << (response.diagnostics.empty() ? ""
                                                                        : response.diagnostics.front().lines().front());
        const ByteVector cardPoint(response.data.begin(), response.data.begin() + 65);
        const ByteVector secret(response.data.begin() + 128, response.data.end());
        const Pkey theirs = ecPublic("P-256", cardPoint);
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, ours.get(), nullptr);
        ByteVector x(32);
        std::size_t length = x.size();
        ASSERT_TRUE(EVP_PKEY_derive_init(ctx) == 1 && EVP_PKEY_derive_set_peer(ctx, theirs.get()) == 1 &&
                    EVP_PKEY_derive(ctx, x.data(), &length) == 1);
        EVP_PKEY_CTX_free(ctx);
        const std::string form = row.form;
        if (form == "sha1") {
            ByteVector hash(20);
            EVP_Digest(x.data(), x.size(), hash.data(), nullptr, EVP_sha1(), nullptr);
            EXPECT_EQ(secret, hash);
        } else if (form == "x") {
            EXPECT_EQ(secret, x);
        } else {
            ASSERT_EQ(secret.size(), 65u);
            EXPECT_EQ(ByteVector(secret.begin() + 1, secret.begin() + 33), x);
            EXPECT_NE(ecPublic("P-256", secret), nullptr); // the whole point, on the curve
        }
    }
}

// What the card encrypts with RSA, OAEP or PKCS#1 v1.5, libcrypto's own RSA
// decrypts with the private exponent the card gave out.
TEST(Runtime, RsaEncryptionsOfTheCardDecryptOutsideIt)
{
    const ByteVector message{'r', 's', 'a', '!'};
    const struct {
        const char* what;
        std::uint8_t algorithm;
        int padding;
    } rows[] = {{"OAEP with SHA-1", 15, RSA_PKCS1_OAEP_PADDING}, {"PKCS#1 v1.5", 10, RSA_PKCS1_PADDING}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        // KeyPair(ALG_RSA, 512); the row's Cipher encrypts the data to 64
        // with the public key; the modulus at 0, the private exponent at 128.
        // One step of the applet a line.
        // clang-format off
        const ByteVector process{0x19, 0x8B, 0, receive, 0x3B, 0x19, 0x8B, 0, getBuffer, 0x2D,
                                 0x8F, 0, keyPairClass, 0x3D, 0x04, 0x11, 2, 0, 0x8C, 0, keyPairInit, 0x2E,
                                 0x1B, 0x8B, 0, keyPairGenerate,
                                 0x10, row.algorithm, 0x03, 0x8D, 0, cipherInstance, 0x28, 4,
                                 0x15, 4, 0x1B, 0x8B, 0, keyPairPublic, 0x05, 0x8B, 0, cipherInit,
                                 0x15, 4, 0x1A, 0x08, 0x07, 0x1A, 0x10, 64, 0x8B, 0, cipherDoFinal, 0x3B,
                                 0x1B, 0x8B, 0, keyPairPublic, 0x1A, 0x03, 0x8E, 3, 0, rsaPublicKey, 5, 0x3B,
                                 0x1B, 0x8B, 0, keyPairPrivate, 0x1A, 0x11, 0, 128, 0x8E, 3, 0, rsaPrivateKey, 4,
                                 0x29, 5,
                                 0x19, 0x03, 0x11, 0, 128, 0x16, 5, 0x41, 0x8B, 0, outgoingAndSend, 0x7A};
        // clang-format on
        Card card({TestApplet{.process = process, .locals = 4}});
        card.select();
        const auto response = card.sendData(message);
        ASSERT_EQ(response.sw, 0x9000) << (response.diagnostics.empty() ? ""
                                                                        : response.diagnostics.front().lines().front());
        const ByteVector n(response.data.begin(), response.data.begin() + 64),
            ciphertext(response.data.begin() + 64, response.data.begin() + 128),
            d(response.data.begin() + 128, response.data.end());
        const Pkey key = rsaKey(n, d);
        ASSERT_NE(key, nullptr);
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr);
        ByteVector plain(64);
        std::size_t length = plain.size();
        const bool decrypted = EVP_PKEY_decrypt_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, row.padding) == 1 &&
                               EVP_PKEY_decrypt(ctx, plain.data(), &length, ciphertext.data(), ciphertext.size()) == 1;
        EVP_PKEY_CTX_free(ctx);
        ASSERT_TRUE(decrypted);
        plain.resize(length);
        EXPECT_EQ(plain, message);
    }
}

// Checksum's CRCs as the API defines them: CRC16 over 0x1021 from 0, the
// result complemented; CRC32 reflected over 0x04C11DB7 from 0, complemented.
TEST(Runtime, ChecksumsAreTheApisCrcs)
{
    const struct {
        const char* what;
        std::uint8_t algorithm;
        std::string expected;
    } rows[] = {
        {"CRC16: the complement of CRC-16/XMODEM's check value 31C3", 1, "CE3C9000"},
        {"CRC32: zlib's CRC-32 from a register of 0", 2, "D202D2779000"},
        {"no such checksum", 3, "6F00"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        // Checksum.getInstance(algorithm, false).doFinal(data, 5, 9, data, 0); answer it.
        const ByteVector process{0x19,
                                 0x8B,
                                 0,
                                 receive,
                                 0x3B,
                                 0x19,
                                 0x8B,
                                 0,
                                 getBuffer,
                                 0x2D,
                                 0x10,
                                 row.algorithm,
                                 0x03,
                                 0x8D,
                                 0,
                                 checksumInstance,
                                 0x1A,
                                 0x08,
                                 0x10,
                                 9,
                                 0x1A,
                                 0x03,
                                 0x8B,
                                 0,
                                 checksumDoFinal,
                                 0x29,
                                 5,
                                 0x19,
                                 0x03,
                                 0x16,
                                 5,
                                 0x8B,
                                 0,
                                 outgoingAndSend,
                                 0x7A};
        Card card({TestApplet{.process = process, .locals = 4}});
        card.select();
        EXPECT_EQ(answerOf(card.sendData({'1', '2', '3', '4', '5', '6', '7', '8', '9'})), row.expected);
    }
}

// The card side of vpcd's socket: the driver asks for the ATR, powers the
// card on, sends a command and reads its answer, each message framed by its
// length; when the driver goes away and a stop is asked, the service ends.
// A socket listening on a free port of the loopback, where vpcd's driver
// listens; -1 where none could be made.
std::pair<int, unsigned> listenOnLoopback()
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 1) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        if (listener >= 0)
            ::close(listener);
        return {-1, 0};
    }
    return {listener, ntohs(address.sin_port)};
}

TEST(Runtime, ServesTheVpcdDriversProtocol)
{
    const auto [listener, port] = listenOnLoopback();
    ASSERT_GE(listener, 0);

    // An applet that answers 6301 where its CLEAR_ON_RESET byte is 0 (and
    // sets it), else 6302; and one that loops, with a budget that a stop
    // request must cut short (a minute or so where it does not).
    std::atomic<bool> stop{false};
    runtime::CardSettings settings;
    settings.stop = &stop;
    settings.budget = 20'000'000'000;
    Card applet({TestApplet{.init = transientOf(0x04), .process = setOnce},
                 TestApplet{.aid = secondAid, .process = {0x70, 0x00}}},
                settings);
    runtime::SimulatedCard& card = applet.card;
    const ByteVector atr = card.atr();
    std::vector<std::string> events;
    std::promise<void> ended;
    std::thread service([&, port = port] {
        runtime::serveVpcd(card, "127.0.0.1", port, stop,
                           {nullptr, [&](const std::string& event) { events.push_back(event); }});
        ended.set_value();
    });
    const int link = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(link, 0);
    const auto send = [&](const ByteVector& payload) {
        ByteVector message{static_cast<std::uint8_t>(payload.size() >> 8), static_cast<std::uint8_t>(payload.size())};
        message.insert(message.end(), payload.begin(), payload.end());
        ASSERT_EQ(::write(link, message.data(), message.size()), static_cast<ssize_t>(message.size()));
    };
    const auto receive = [&] {
        std::uint8_t header[2];
        EXPECT_EQ(::recv(link, header, 2, MSG_WAITALL), 2);
        ByteVector payload(static_cast<std::size_t>(header[0] << 8 | header[1]));
        EXPECT_EQ(::recv(link, payload.data(), payload.size(), MSG_WAITALL), static_cast<ssize_t>(payload.size()));
        return payload;
    };
    send({4});
    EXPECT_EQ(receive(), atr);
    send({1});
    send({0x00, 0xA4, 0x04, 0x00, 0x05, 0x01, 0x02, 0x03, 0x04, 0x05}); // no such applet
    EXPECT_EQ(receive(), (ByteVector{0x6A, 0x82}));
    const ByteVector select = hexBytes("00A40400 08 A0000000627E0101");
    send(select);
    EXPECT_EQ(receive(), (ByteVector{0x63, 0x01}));
    send(command);
    EXPECT_EQ(receive(), (ByteVector{0x63, 0x02}));
    // A power cycle, then a warm reset: each leaves the issuer security
    // domain selected, which does not know the command, and the transient
    // byte cleared.
    for (const auto& cycle : {std::vector<ByteVector>{{0}, {1}}, std::vector<ByteVector>{{2}}}) {
        for (const auto& control : cycle)
            send(control);
        send(command);
        EXPECT_EQ(receive(), (ByteVector{0x6D, 0x00}));
        send(select);
        EXPECT_EQ(receive(), (ByteVector{0x63, 0x01}));
    }
    // A stop request while the looping applet's SELECT runs ends the
    // command (6F00) and the service, the link still open.
    send(hexBytes("00A40400 08 A0000000627E0201"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stop = true;
    EXPECT_EQ(ended.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(receive(), (ByteVector{0x6F, 0x00}));
    ::close(link);
    service.join();
    ::close(listener);
    EXPECT_EQ(events, (std::vector<std::string>{"connected to vpcd on 127.0.0.1:" + std::to_string(port), "power on",
                                                "power off", "power on", "reset"}));
    // A T=1 answer to reset: TD1 names T=1, and its check byte makes the XOR of T0 to the end zero.
    std::uint8_t check = 0;
    for (std::size_t i = 1; i < atr.size(); ++i)
        check ^= atr[i];
    EXPECT_EQ(atr[0], 0x3B);
    EXPECT_EQ(atr[2], 0x01);
    EXPECT_EQ(check, 0);
}


// An extended command of `count` data bytes, and Le 0000 where `le`.
ByteVector extendedCommand(std::size_t count, bool le)
{
    ByteVector command{0x80, 0x10, 0x00, 0x00, 0x00, static_cast<std::uint8_t>(count >> 8),
                       static_cast<std::uint8_t>(count)};
    const ByteVector data(count, 0x5A);
    command.insert(command.end(), data.begin(), data.end());
    if (le)
        command.insert(command.end(), {0x00, 0x00});
    return command;
}

TEST(Runtime, TransportAnswersAsACardDoes)
{
    // Answers 63xx: the channel JCSystem assigns in the high nibble, the
    // channel CLA names in the low one.
    const ByteVector channels{0x11, 0x63, 0x00, 0x8D, 0, assignedChannel, 0x10, 0x04, 0x4D, 0x55,
                              0x8D, 0,    claChannel, 0x55, 0x8D, 0,    throwIt};
    const TestApplet first{.aid = {0xA0, 0x00, 0x00, 0x00, 0x62, 0x7E, 0x01}, .process = channels};
    const TestApplet second{.aid = secondAid, .process = channels};
    // Answers 63 and the first byte of the data, read from the buffer without setIncomingAndReceive.
    const TestApplet unreceived{.process = {0x11, 0x63, 0x00, 0x19, 0x8B, 0, getBuffer, 0x10, 0x05, 0x25, 0x55, 0x8D,
                                            0, throwIt}};
    // Echoes the data from where getOffsetCdata says it begins.
    const ByteVector echo{0x19, 0x8B, 0, receive, 0x31, 0x19, 0x19, 0x8B, 0, offsetCdata, 0x1E, 0x8B, 0,
                          outgoingAndSend, 0x7A};
    // Receives the whole data, in chunks where the buffer is too small,
    // and answers its length as the status word.
    const ByteVector countAll{0x19, 0x8B, 0, receive, 0x31, 0x19, 0x10, 0x07, 0x8B, 0, receiveBytes, 0x3D, 0x60, 7,
                              0x1E, 0x41, 0x31, 0x70, 0xF4, 0x3B, 0x1E, 0x8D, 0, throwIt};
    // setOutgoing, setOutgoingLength(256) and 256 bytes of the buffer sent.
    const TestApplet answer256{.process = {0x19, 0x8B, 0, setOutgoing, 0x3B, 0x19, 0x11, 0x01, 0x00, 0x8B, 0,
                                           outgoingLength, 0x19, 0x03, 0x11, 0x01, 0x00, 0x8B, 0, sendBytes, 0x7A}};
    const TestApplet setOutgoingTwice{
        .process = {0x19, 0x8B, 0, setOutgoing, 0x3B, 0x19, 0x8B, 0, setOutgoing, 0x3B, 0x7A}};
    const ByteVector selectFirst = hexBytes("A4 04 00 08 A0000000627E0101"),
                     selectSecond = hexBytes("A4 04 00 08 A0000000627E0201");
    const auto on = [](std::uint8_t cla, const ByteVector& rest) { return TestApplet::concat({cla}, rest); };
    // Answers 63 and what its MultiSelectable methods kept.
    const TestApplet multi{.process = {0x11, 0x63, 0x00, 0x7D, 0, staticShort, 0x55, 0x8D, 0, throwIt},
                           .multiSelectable = true};

    const struct {
        const char* rule;
        std::vector<TestApplet> applets;
        bool t0;
        // After SELECT of the last applet on channel 0: each command (empty: a card reset), its answer, and a
        // part of the card's reason where it answers itself.
        std::vector<std::tuple<ByteVector, std::string, std::string>> exchanges;
    } rows[] = {
        {"T=1 brings the data into the buffer before setIncomingAndReceive",
         {unreceived},
         false,
         {{hexBytes("80100000 01 42"), "6342", ""}}},
        // At 5 the buffer still has what the install put there: the package AID's length.
        {"T=0 brings the header alone", {unreceived}, true, {{hexBytes("80100000 01 42"), "6307", ""}}},
        {"GET RESPONSE with Le 00 takes what T=0 kept",
         {TestApplet{.process = echo}},
         true,
         {{hexBytes("80100000 02 AABB 00"), "6102", ""}, {hexBytes("00C00000 00"), "AABB9000", ""}}},
        {"setOutgoingLength(256) with Le 00",
         {answer256},
         false,
         {{hexBytes("80100000 00"), "256 bytes, 9000", ""}}},
        {"setOutgoing twice is an ILLEGAL_USE", {setOutgoingTwice}, false, {{hexBytes("80100000 00"), "6F00", ""}}},
        {"Lc past the data is refused by the card",
         {first},
         false,
         {{hexBytes("80100000 05 0102"), "6700", "Lc 5 and 2 bytes"}}},
        {"an extended command reaches an applet that implements ExtendedLength",
         {TestApplet{.process = echo, .extendedLength = true}},
         false,
         {{extendedCommand(300, true), hexText(ByteVector(300, 0x5A), HexCase::Upper) + "9000", ""},
          {hexBytes("80100000 02 AABB 00"), "AABB9000", ""}}},
        {"an extended command longer than the buffer arrives in chunks",
         {TestApplet{.process = countAll, .extendedLength = true}},
         false,
         {{extendedCommand(40000, false), "9C40", ""}, {extendedCommand(300, true), "012C", ""}}},
        {"an extended command to any other applet is refused",
         {TestApplet{.process = echo}},
         false,
         {{extendedCommand(300, true), "6700", "does not implement javacardx.apdu.ExtendedLength"}}},
        {"logical channels: opened, selected on, refused where not open, closed, and all closed by reset",
         {first, second},
         false,
         {{hexBytes("80100000"), "6300", ""},
          {hexBytes("00700000 01"), "019000", ""},
          {hexBytes("81100000"), "6D00", "instruction 10, which the security domain does not have"},
          {hexBytes("82100000"), "6881", "logical channel 2 is not open"},
          {on(0x01, selectSecond), "6985", "is not MultiSelectable"},
          {on(0x01, selectFirst), "6311", ""},
          {hexBytes("81100000"), "6311", ""},
          {hexBytes("C3100000"), "6881", "logical channel 7 is not open"},
          {hexBytes("21100000"), "6300", ""}, // 2X is reserved, naming no channel: the basic one
          {hexBytes("00708001"), "9000", ""},
          {hexBytes("81100000"), "6881", "not open"},
          {on(0x4F, selectFirst), "6333", ""}, // a SELECT opens its channel, 19 here
          {hexBytes("CF100000"), "6333", ""},
          {hexBytes("00700000 01"), "019000", ""},
          {hexBytes("00700003"), "9000", ""}, // P2 names the channel
          {hexBytes("00700003"), "6A81", "open already"},
          {hexBytes("00708000"), "6A81", "cannot be closed"},
          {{}, "", ""},
          {hexBytes("81100000"), "6881", "not open"},
          {hexBytes("80100000"), "6D00", "the security domain does not have"}}},
        {"a MultiSelectable applet is told that it is active on another channel too",
         {multi},
         false,
         {{hexBytes("80100000"), "6300", ""}, // Applet.select() on channel 0: alone there
          {hexBytes("00700000 01"), "019000", ""},
          {on(0x01, selectFirst), "6301", ""}, // select(true): the same instance is active on channel 0
          {hexBytes("81100000"), "6301", ""},
          {hexBytes("01700000 01"), "029000", ""}, // opened from channel 1: selects its applet too
          {hexBytes("82100000"), "6301", ""},
          {hexBytes("00708002"), "9000", ""},
          {hexBytes("00708001"), "9000", ""}, // deselect(true): still active on channel 0
          {hexBytes("80100000"), "6311", ""}}},
        {"a SELECT of no applet on a closed channel leaves it closed",
         {first},
         false,
         {{hexBytes("02A40400 05 0102030405"), "6A82", "stays closed"}, {hexBytes("82100000"), "6881", "not open"}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.rule);
        runtime::CardSettings settings;
        settings.t0 = row.t0;
        settings.budget = 2'000'000;
        Card card(row.applets, settings);
        card.select();
        for (const auto& [sent, expected, reason] : row.exchanges) {
            if (sent.empty()) {
                card.card.reset();
                continue;
            }
            const auto got = card.send(sent);
            const std::string answer = expected.find(" bytes, ") == std::string::npos
                                           ? answerOf(got)
                                           : std::to_string(got.data.size()) + " bytes, " + swOf(got);
            EXPECT_EQ(answer, expected) << hexText(sent, HexCase::Upper).substr(0, 40) << ": "
                                               << got.cardReason
                                               << (got.diagnostics.empty() ? "" : got.diagnostics.front().lines().front());
            EXPECT_NE(got.cardReason.find(reason), std::string::npos) << got.cardReason;
            EXPECT_EQ(got.cardReason.empty(), reason.empty()) << got.cardReason;
        }
    }
}

TEST(Runtime, DiagnosticsWithoutDebugNameWhatTheyCan)
{
    // Util.arrayCopy(buffer, 0, buffer, 300, 1) from process.
    Card card({TestApplet{.process = {0x19, 0x8B, 0, getBuffer, 0x2D, 0x1A, 0x03, 0x1A, 0x11, 0x01, 0x2C, 0x04, 0x8D, 0,
                                      arrayCopy, 0x3B, 0x7A}}});
    card.select();
    const auto response = card.send(command);
    ASSERT_FALSE(response.diagnostics.empty());
    const auto lines = response.diagnostics.front().lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "java.lang.ArrayIndexOutOfBoundsException: offset 300 and length 1 outside an array of 261 "
                        "(thrown by javacard.framework.Util.arrayCopy([BS[BSS)S)");
    EXPECT_EQ(lines[1].substr(0, lines[1].find(" at ", 5)), "  at applet A0000000627E0101 (class@0).process");
    // What bytecode throws under an API call is the bytecode's, not the call's.
    const TestApplet server{.aid = secondAid, .shareable = {0x01, 0x92, 0x77}};
    Card both({server, TestApplet{.process = askServer + ByteVector{0x3B, 0x7A}}});
    both.select();
    const auto nested = both.send(nameSecond);
    ASSERT_FALSE(nested.diagnostics.empty());
    const auto nestedLines = nested.diagnostics.front().lines();
    EXPECT_EQ(nestedLines[0], "java.lang.NullPointerException: a null reference used");
    ASSERT_GE(nestedLines.size(), 3u);
    EXPECT_EQ(nestedLines[1].substr(0, nestedLines[1].find(" at ", 5)),
              "  at applet A0000000627E0201 (class@0).getShareableInterfaceObject");
}

TEST(Runtime, UnsafePathsEndInAnAnswer)
{
    // The server's getShareableInterfaceObject calls helper() a hundred
    // deep, past any call the client's command made before: the frames grow
    // under the native that called it.
    const ByteVector countDown{0x7D, 0, staticShort, 0x04, 0x43, 0x3D, 0x81, 0, staticShort, 0x60, 5, 0x8D, 0,
                               helper, 0x7A};
    const TestApplet server{.aid = secondAid,
                            .helperCode = countDown,
                            .shareable = {0x10, 100, 0x81, 0, staticShort, 0x8D, 0, helper, 0x18, 0x77}};
    const TestApplet client{.process = askServer + ByteVector{0x3B, 0x7A}};
    {
        Card card({server, client});
        card.select();
        EXPECT_EQ(answerOf(card.send(nameSecond)), "9000");
    }
    // An applet that makes objects until the card's handles run out: a
    // SystemException, on this command and the next, never a crash.
    {
        runtime::CardSettings settings;
        settings.persistentBytes = 4 << 20;
        settings.budget = 1'000'000;
        Card card({TestApplet{.process = {0x03, 0x90, 11, 0x3B, 0x70, 0xFC}}}, settings);
        card.select();
        for (int i = 0; i < 2; ++i) {
            const auto response = card.send(command);
            EXPECT_EQ(answerOf(response), "6F00");
            ASSERT_FALSE(response.diagnostics.empty());
            EXPECT_NE(response.diagnostics.front().lines().front().find("NO_RESOURCE"), std::string::npos)
                << response.diagnostics.front().lines().front();
        }
    }
}


// Rules whose break would pass unnoticed elsewhere: each row computes a
// short and answers it, and a faulty runtime answers another.
TEST(Runtime, RulesThatBreakQuietlyAreHeld)
{
    const ByteVector answer{0x8D, 0, throwIt};
    const ByteVector high16{0x12, 16, 0x50, 0x5E};
    const ByteVector begin{0x8D, 0, beginTransaction}, abort{0x8D, 0, abortTransaction};
    const ByteVector buffer{0x19, 0x8B, 0, getBuffer, 0x2D}; // the APDU buffer in local 2
    // ilookupswitch over `key` with the pairs 1 and 5, to 6302 and 6303; 6301 by default.
    const auto intLookup = [&](std::uint32_t key) {
        return ByteVector{0x14, static_cast<std::uint8_t>(key >> 24), static_cast<std::uint8_t>(key >> 16),
                          static_cast<std::uint8_t>(key >> 8), static_cast<std::uint8_t>(key), 0x76, 0, 17, 0, 2, 0, 0,
                          0, 1, 0, 23, 0, 0, 0, 5, 0, 29} +
               throwSw(0x6301) + throwSw(0x6302) + throwSw(0x6303);
    };
    // An OwnerPIN of 3 tries and 8 bytes in local 2, the buffer in local 3,
    // and its PIN the buffer's first 4 bytes (the command's header).
    const ByteVector pin = ByteVector{0x8F, 0, ownerPinClass, 0x3D, 0x06, 0x10, 8, 0x8C, 0, ownerPinInit, 0x2D, 0x19,
                                      0x8B, 0, getBuffer, 0x2E, 0x1A, 0x1B, 0x03, 0x07, 0x8B, 0, pinUpdate};
    const auto pinCall = [](std::uint8_t token, std::uint8_t offset) {
        return ByteVector{0x1A, 0x1B, offset, 0x07, 0x8B, 0, token};
    };
    const ByteVector tries{0x1A, 0x8B, 0, pinTries};
    const ByteVector wrongPin = pinCall(pinCheck, 0x04) + ByteVector{0x3B}; // the bytes at 1
    // setShort(buffer, at, 0x6301), 16 random bytes at 10, getShort(buffer, at).
    const auto aroundRandom = [&](std::uint8_t at) {
        return buffer + ByteVector{0x1A, 0x10, at, 0x11, 0x63, 0x01, 0x8D, 0, setShortIn, 0x3B, 0x05, 0x8D, 0,
                                   randomInstance, 0x1A, 0x10, 10, 0x10, 16, 0x8B, 0, randomNextBytes, 0x3B,
                                   0x1A, 0x10, at, 0x8D, 0, getShortOf} +
               answer;
    };
    // A persistent byte[2] in local 2 whose first byte is 11.
    const ByteVector persistentBytes{0x05, 0x90, 11, 0x2D, 0x1A, 0x03, 0x10, 0x11, 0x38};
    expectAnswers({
        {"sushr sign-extends before it shifts", ByteVector{0x11, 0x80, 0x00, 0x04, 0x51} + answer, "C000"},
        {"sushr by 16 leaves the sign's bits", ByteVector{0x11, 0x80, 0x00, 0x10, 16, 0x51} + answer, "FFFF"},
        {"sshr takes the count's low 5 bits", ByteVector{0x11, 0x80, 0x00, 0x10, 33, 0x4F} + answer, "C000"},
        {"ishl takes the count's low 5 bits", ByteVector{0x0B, 0x12, 33, 0x4E, 0x5E} + answer, "0002"},
        {"iushr takes the count's low 5 bits", ByteVector{0x14, 0x80, 0, 0, 0, 0x12, 33, 0x52} + high16 + answer,
         "4000"},
        {"ishr keeps the sign", ByteVector{0x14, 0x80, 0, 0, 0, 0x12, 4, 0x50} + high16 + answer, "F800"},
        {"ilookupswitch takes the offset of its match", intLookup(5), "6303"},
        {"ilookupswitch compares all 32 bits", intLookup(0x00010005), "6301"},
        {"ilookupswitch takes its first pair's offset", intLookup(1), "6302"},
        {"instanceof a reference array of its element class",
         ByteVector{0x04, 0x91, 0, arithmetic, 0x95, 14, 0, arithmetic} + answer, "0001"},
        {"instanceof a reference array of another element class",
         ByteVector{0x04, 0x91, 0, arithmetic, 0x95, 14, 0, ownClass} + answer, "0000"},
        {"checkcast of a reference array to another element class fails",
         ByteVector{0x04, 0x91, 0, arithmetic, 0x94, 14, 0, ownClass, 0x7A}, "6F00", "java.lang.ClassCastException"},
        {"invokevirtual on null", ByteVector{0x01, 0x8B, 0, getBuffer, 0x7A}, "6F00",
         "java.lang.NullPointerException"},
        {"invokeinterface on null", ByteVector{0x01, 0x8E, 1, 0, aesKey, 0, 0x7A}, "6F00",
         "java.lang.NullPointerException"},
        {"iinc adds a negative byte", ByteVector{0x14, 0, 0, 0, 5, 0x35, 0x5A, 2, 0xF9, 0x22, 0x5E} + answer, "FFFE"},
        {"iinc_w adds a negative short, into the low word",
         ByteVector{0x14, 0, 0, 0, 5, 0x35, 0x97, 2, 0x80, 0x00, 0x22, 0x5E} + answer, "8005"},
        {"iinc_w borrows from the high word",
         ByteVector{0x14, 0, 0, 0, 5, 0x35, 0x97, 2, 0x80, 0x00, 0x22} + high16 + answer, "FFFF"},
        {"abort restores a field written twice to its first value",
         ByteVector{0x18, 0x11, 0x63, 0x01, 0x89, shortField} + begin +
             ByteVector{0x18, 0x11, 0x6A, 0x80, 0x89, shortField, 0x18, 0x11, 0x6A, 0x81, 0x89, shortField} + abort +
             ByteVector{0xAF, shortField} + answer,
         "6301"},
        {"abort restores a static field written twice",
         ByteVector{0x11, 0x63, 0x01, 0x81, 0, staticShort} + begin +
             ByteVector{0x11, 0x6A, 0x80, 0x81, 0, staticShort, 0x11, 0x6A, 0x81, 0x81, 0, staticShort} + abort +
             ByteVector{0x7D, 0, staticShort} + answer,
         "6301"},
        {"abort restores a byte array's element written twice",
         persistentBytes + begin + ByteVector{0x1A, 0x03, 0x10, 0x22, 0x38, 0x1A, 0x03, 0x10, 0x33, 0x38} + abort +
             ByteVector{0x1A, 0x03, 0x25} + answer,
         "0011"},
        {"abort restores a short array's element written twice",
         ByteVector{0x05, 0x90, 12, 0x2D, 0x1A, 0x03, 0x11, 0x12, 0x34, 0x39} + begin +
             ByteVector{0x1A, 0x03, 0x11, 0x56, 0x78, 0x39, 0x1A, 0x03, 0x11, 0x11, 0x11, 0x39} + abort +
             ByteVector{0x1A, 0x03, 0x26} + answer,
         "1234"},
        {"Util.arrayCopy in a transaction is undone by abort",
         persistentBytes + ByteVector{0x19, 0x8B, 0, getBuffer, 0x2E} + begin +
             ByteVector{0x1B, 0x03, 0x1A, 0x03, 0x04, 0x8D, 0, arrayCopy, 0x3B} + abort +
             ByteVector{0x1A, 0x03, 0x25} + answer,
         "0011"},
        {"Util.arrayCopyNonAtomic in a transaction is not",
         persistentBytes + ByteVector{0x19, 0x8B, 0, getBuffer, 0x2E} + begin +
             ByteVector{0x1B, 0x03, 0x1A, 0x03, 0x04, 0x8D, 0, arrayCopyNonAtomic, 0x3B} + abort +
             ByteVector{0x1A, 0x03, 0x25} + answer,
         "FF80"},
        {"an overlapping Util.arrayCopy copies as through a temporary",
         buffer + ByteVector{0x1A, 0x03, 0x1A, 0x04, 0x07, 0x8D, 0, arrayCopy, 0x3B, 0x1A, 0x04, 0x8D, 0, getShortOf} +
             answer,
         "8010"},
        {"a new OwnerPIN has its tries at the limit",
         ByteVector{0x8F, 0, ownerPinClass, 0x3D, 0x06, 0x10, 8, 0x8C, 0, ownerPinInit, 0x2D} + tries + answer, "0003"},
        {"OwnerPIN.check of the right PIN validates it", pin + pinCall(pinCheck, 0x03) + answer, "0001"},
        {"OwnerPIN.reset restores no tries unless validated",
         pin + wrongPin + ByteVector{0x1A, 0x8B, 0, pinReset} + tries + answer, "0002"},
        {"OwnerPIN's try counter is outside a transaction", pin + begin + wrongPin + abort + tries + answer, "0002"},
        {"OwnerPIN.update is inside a transaction",
         pin + begin + pinCall(pinUpdate, 0x04) + abort + pinCall(pinCheck, 0x03) + answer, "0001"},
        {"RandomData writes nothing past its range", aroundRandom(26), "6301"},
        {"RandomData writes nothing before its range", aroundRandom(8), "6301"},
    });
}

// Cryptography that a slip would leave working for the common case.
TEST(Runtime, CbcStartsAgainFromTheIvAfterDoFinal)
{
    const std::string aes = "2B7E151628AED2A6ABF7158809CF4F3C", block = "6BC1BEE22E409F96E93D7E117393172A";
    // CBC starts again from the IV after doFinal: the same block twice, each
    // with its own doFinal, encrypts to the same block (SP 800-38A F.2.1).
    const CryptoRow cbc{"", 15, 128, aesKey, 4, false, 13, true, aes, block, "000102030405060708090A0B0C0D0E0F", ""};
    ByteVector code = cryptoProcess(cbc);
    code.resize(code.size() - 8); // without the answer
    const std::uint8_t inputAt = 5 + 16;
    code = code + ByteVector{0x15, 4, 0x1A, 0x10, inputAt, 0x10, 16, 0x1A, 0x10, 16, 0x8B, 0, cipherDoFinal, 0x3B,
                             0x19, 0x03, 0x10, 32, 0x8B, 0, outgoingAndSend, 0x7A};
    Card card({TestApplet{.process = code, .locals = 4}});
    card.select();
    const auto response = card.sendData(*bytesFromHex(aes + block + cbc.ivBytes));
    EXPECT_EQ(answerOf(response), "7649ABAC8119B246CEE98E9B12E9197D7649ABAC8119B246CEE98E9B12E9197D9000")
        << (response.diagnostics.empty() ? "" : response.diagnostics.front().lines().front());
}

// A profile counts every instruction a command runs, on the stack it ran
// on: process calls helper twice, which returns, or throws so that the
// first call ends the command through the exception's unwinding.
TEST(Runtime, AProfileCountsEveryInstructionOnItsStack)
{
    for (const bool throws : {false, true}) {
        SCOPED_TRACE(throws ? "helper throws" : "helper returns");
        const TestApplet applet{.process = ByteVector{0x8D, 0, helper, 0x8D, 0, helper, 0x7A},
                                .helperCode = throws ? throwSw(0x6311) : ByteVector{0x03, 0x3B, 0x7A}};
        Card card({applet});
        runtime::Profile profile;
        card.card.setProfile(&profile);
        const std::uint64_t run = card.select().instructions + card.send(command).instructions;
        EXPECT_EQ(profile.instructions(), run);
        const auto names = card.card.profileNames();
        const auto rows = profile.table(names);
        ASSERT_GE(rows.size(), 2u);
        const auto process = std::find_if(rows.begin(), rows.end(), [](const runtime::Profile::Row& r) {
            return r.method.find(".process") != std::string::npos;
        });
        ASSERT_NE(process, rows.end());
        EXPECT_EQ(process->total, run); // everything ran under process
        EXPECT_EQ(process->calls, 2u);
        std::uint64_t inHelper = 0, helperCalls = 0;
        for (const auto& row : rows)
            if (&row != &*process) {
                inHelper += row.self;
                helperCalls += row.calls;
            }
        EXPECT_EQ(helperCalls, throws ? 2u : 4u);
        EXPECT_EQ(inHelper + process->self, run);
        // Folded: the helper's stack under process's, the counts adding up.
        std::uint64_t folded = 0;
        bool nested = false;
        for (const auto& line : profile.folded(names)) {
            folded += std::stoull(line.substr(line.rfind(' ') + 1));
            nested = nested || line.find(';') != std::string::npos;
        }
        EXPECT_EQ(folded, run);
        EXPECT_TRUE(nested);
    }
}

TEST(Runtime, AFailedInstallLeavesNoInstanceAndCanBeRepeated)
{
    // An install that fails after its applet registered leaves no instance,
    // and can be made again: the constructor registers, then throws the first time.
    const ByteVector registerThenFail = ByteVector{0x7D, 0, staticShort, 0x61, 16, 0x18, 0x8B, 0, registerApplet, 0x04,
                                                   0x81, 0, staticShort} +
                                        throwSw(0x6A80);
    const TestApplet failing{.init = registerThenFail};
    runtime::SimulatedCard card;
    LoadFileOptions options;
    options.verify = false;
    card.load(layOutLoadFile(failing.entries(), options, "test.cap"), "test.cap");
    const ByteVector instance = TestApplet::concat(failing.aid, {0x01});
    const ByteVector select = TestApplet::concat({0x00, 0xA4, 0x04, 0x00, 8}, instance);
    EXPECT_THROW(card.install(instance, instance, {0}, {}), Error);
    EXPECT_EQ(swOf(card.transmit(select)), "6A82");
    EXPECT_EQ(card.install(instance, instance, {0}, {}), instance);
    EXPECT_EQ(swOf(card.transmit(select)), "9000");
}

} // namespace
} // namespace tolvane
