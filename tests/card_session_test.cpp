// The card session over a scripted transport, the test double of a reader:
// what T=0 leaves behind is fetched, and where the keys or the key set are
// wrong nothing is sent after INITIALIZE UPDATE.

#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/card/operations.h"
#include "core/card/session.h"

#include <deque>
#include <gtest/gtest.h>

namespace tolvane::card {
namespace {

ByteVector hex(const char* text)
{
    return *bytesFromHex(text, HexSpaces::Ignored);
}

// Answers each command with the next of its answers, and keeps what it got.
class ScriptedTransport final : public Transport {
public:
    explicit ScriptedTransport(std::deque<ByteVector> answers) : answers_(std::move(answers)) {}
    ByteVector transmit(const ByteVector& command) override
    {
        sent.push_back(hexText(command, HexCase::Upper));
        if (answers_.empty())
            throw Error(ErrorKind::Card, "test", "the card was taken out of test");
        ByteVector answer = answers_.front();
        answers_.pop_front();
        return answer;
    }
    ByteVector atr() const override { return {0x3B, 0x00}; }
    std::string reader() const override { return "test"; }
    std::vector<std::string> sent;

private:
    std::deque<ByteVector> answers_;
};

TEST(CardSession, WhatT0LeavesIsFetchedAndNothingIsTriedTwice)
{
    const struct {
        const char* name;
        const char* command;
        std::deque<ByteVector> answers;
        std::vector<std::string> sent;
        const char* data;
        std::uint16_t sw;
    } cases[] = {
        {"61: GET RESPONSE, twice",
         "80CA006600",
         {hex("0102 6103"), hex("030405 6102"), hex("0607 9000")},
         {"80CA006600", "00C0000003", "00C0000002"},
         "01020304050607",
         0x9000},
        {"6C: the same command with the right Le",
         "80CA9F7F00",
         {hex("6C04"), hex("0A0B0C0D 9000")},
         {"80CA9F7F00", "80CA9F7F04"},
         "0A0B0C0D",
         0x9000},
        {"a refusal is answered once", "80CA00E000", {hex("6A88")}, {"80CA00E000"}, "", 0x6A88},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedTransport transport(c.answers);
        Session session(transport);
        const Response response = session.send(hex(c.command), "GET DATA");
        EXPECT_EQ(transport.sent, c.sent);
        EXPECT_EQ(hexText(response.data, HexCase::Upper), c.data);
        EXPECT_EQ(response.sw, c.sw);
    }
}

TEST(CardSession, NoEXTERNAL_AUTHENTICATEUnlessTheCardProvesItsKeys)
{
    // The SCP03 vector's answer, with the card's cryptogram right and spoiled:
    // the host challenge is random, so neither matches, and EXTERNAL
    // AUTHENTICATE must never follow.
    const struct {
        const char* name;
        std::deque<ByteVector> answers;
        const char* message;
    } cases[] = {
        {"a cryptogram made with other keys or another challenge",
         {hex("00000000000000000000 30 03 00 31900058C1C451A2 A412D9C87482D199 9000")},
         "the card's retry counter was not touched"},
        {"a locked key set", {hex("6983")}, "the key set may be locked"},
        {"no such key version", {hex("6A88")}, "no key set of key version 31"},
        {"an answer no channel has", {hex("00000000000000000000 30 01 9000")}, "protocol 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedTransport transport(c.answers);
        Session session(transport);
        ChannelOptions options;
        options.keys = {gp::defaultTestKey(), gp::defaultTestKey(), gp::defaultTestKey()};
        options.keyVersion = 0x31;
        try {
            session.openSecureChannel(options);
            ADD_FAILURE() << "the channel opened";
        } catch (const Error& error) {
            EXPECT_NE(error.message().find(c.message), std::string::npos) << error.message();
        }
        ASSERT_EQ(transport.sent.size(), 1u) << "only INITIALIZE UPDATE is sent";
        EXPECT_EQ(transport.sent[0].substr(0, 10), "8050310008");
        EXPECT_EQ(session.channel(), nullptr);
    }
}

TEST(CardSession, TheLargestLoadBlockFitsTheChannelAndTheCard)
{
    // MAC only: 8 bytes of MAC; encrypted: whole blocks and one byte of padding.
    ScriptedTransport transport({hex("6F 10 84 08 A000000151000000 A5 04 9F65 01 80 9000")});
    Session session(transport);
    session.selectSecurityDomain(hex("A000000151000000"));
    ASSERT_EQ(session.largestCommandData(), 0x80u);
    EXPECT_EQ(largestBlock(session), 0x80u - 8);
}

} // namespace
} // namespace tolvane::card
