// The card session over a scripted transport, the test double of a reader:
// what T=0 leaves behind is fetched, and where the keys or the key set are
// wrong nothing is sent after INITIALIZE UPDATE.

#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/card/operations.h"
#include "core/card/session.h"
#include "test_support.h"

#include <deque>
#include <gtest/gtest.h>

namespace tolvane::card {
namespace {

using tolvane::testing::hexBytes;

// Answers each command with the next of its answers, the last of them
// forever where `endless`, and keeps what it got.
class ScriptedTransport final : public Transport {
public:
    explicit ScriptedTransport(std::deque<ByteVector> answers, bool endless = false)
        : answers_(std::move(answers)), endless_(endless)
    {
    }
    ByteVector transmit(const ByteVector& command) override
    {
        sent.push_back(hexText(command, HexCase::Upper));
        if (answers_.empty())
            throw Error(ErrorKind::Card, "test", "the card was taken out of test");
        ByteVector answer = answers_.front();
        if (answers_.size() > 1 || !endless_)
            answers_.pop_front();
        return answer;
    }
    ByteVector atr() const override { return {0x3B, 0x00}; }
    std::string reader() const override { return "test"; }
    std::vector<std::string> sent;

private:
    std::deque<ByteVector> answers_;
    bool endless_;
};

TEST(CardSession, WhatT0LeavesIsFetchedAndNothingIsTriedTwice)
{
    const std::vector<std::string> endlessFetch(Session::mostFetches, "00C0000001");
    std::vector<std::string> sentEndlessly{"80CA006600"};
    sentEndlessly.insert(sentEndlessly.end(), endlessFetch.begin(), endlessFetch.end());
    const struct {
        const char* name;
        const char* command;
        std::deque<ByteVector> answers;
        bool endless;
        std::vector<std::string> sent;
        const char* data;
        std::uint16_t sw;
        const char* error; // where the session must give up, what it says
    } cases[] = {
        {"61: GET RESPONSE, twice",
         "80CA006600",
         {hexBytes("0102 6103"), hexBytes("030405 6102"), hexBytes("0607 9000")},
         false,
         {"80CA006600", "00C0000003", "00C0000002"},
         "01020304050607",
         0x9000,
         nullptr},
        {"6C to a case 2 command: sent again with the right Le",
         "80CA9F7F00",
         {hexBytes("6C04"), hexBytes("0A0B0C0D 9000")},
         false,
         {"80CA9F7F00", "80CA9F7F04"},
         "0A0B0C0D",
         0x9000,
         nullptr},
        {"6C to a case 4 command: sent again once, whatever the second answer",
         "00A4040002 3F00 00",
         {hexBytes("6C10"), hexBytes("6C20")},
         true,
         {"00A40400023F0000", "00A40400023F0010"},
         "",
         0x6C20,
         nullptr},
        {"6C to a case 3 command: its last byte is data, never overwritten and sent again",
         "80E8800003 C40100",
         {hexBytes("6C00")},
         true,
         {"80E8800003C40100"},
         "",
         0,
         "nothing was sent again"},
        {"6C to a case 1 command: nothing to change, nothing sent again",
         "80E60000",
         {hexBytes("6C08")},
         true,
         {"80E60000"},
         "",
         0,
         "nothing was sent again"},
        {"61 without end: an error, not an endless loop",
         "80CA006600",
         {hexBytes("6101")},
         true,
         sentEndlessly,
         "",
         0,
         "does not end"},
        {"a refusal is answered once", "80CA00E000", {hexBytes("6A88")}, false, {"80CA00E000"}, "", 0x6A88, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedTransport transport(c.answers, c.endless);
        Session session(transport);
        try {
            const Response response = session.send(hexBytes(c.command), "GET DATA");
            EXPECT_EQ(c.error, nullptr) << "no error";
            EXPECT_EQ(hexText(response.data, HexCase::Upper), c.data);
            EXPECT_EQ(response.sw, c.sw);
        } catch (const Error& error) {
            ASSERT_NE(c.error, nullptr) << error.message();
            EXPECT_NE(error.message().find(c.error), std::string::npos) << error.message();
        }
        EXPECT_EQ(transport.sent, c.sent);
    }
}

TEST(CardSession, ACardThatNeverStopsListingEndsInAnError)
{
    // GET STATUS answered with 63 10 (more data) forever, in either form:
    // a card that takes only the older one refuses the other first.
    const std::deque<ByteVector> cards[] = {
        {hexBytes("E3 0A 4F 08 A000000151000000 6310")},
        {hexBytes("6A86"), hexBytes("08 A000000151000000 0F 9E 6310")},
    };
    for (const auto& answers : cards) {
        ScriptedTransport transport(answers, true);
        Session session(transport);
        try {
            (void)listContents(session);
            ADD_FAILURE() << "the listing ended";
        } catch (const Error& error) {
            EXPECT_NE(error.message().find("GET STATUS does not end"), std::string::npos) << error.message();
        }
        EXPECT_LE(transport.sent.size(), 300u);
    }
}

TEST(CardSession, TheRegistryIsReadTagByTag)
{
    // One entry of each kind in GlobalPlatform's TLV form, every tag it
    // defines present: the AID (4F), the life cycle (9F70), the privileges
    // (C5), the load file (C4), the security domain (CC), the version (CE)
    // and the modules (84).
    ScriptedTransport transport({
        hexBytes("E3 13 4F 08 A000000151000000 9F70 01 0F C5 03 9EFE80 9000"),
        hexBytes("E3 1E 4F 05 A000000001 9F70 01 07 C5 01 40 C4 04 A0000000 CC 08 A000000151000000 9000"),
        hexBytes("E3 1A 4F 04 A0000000 9F70 01 01 CC 03 A00000 CE 02 0102 84 05 A000000001 9000"),
    });
    Session session(transport);
    const CardContents card = listContents(session);
    ASSERT_TRUE(card.isd);
    EXPECT_EQ(hexText(card.isd->aid, HexCase::Upper), "A000000151000000");
    EXPECT_EQ(card.isd->lifeCycle, 0x0F);
    EXPECT_EQ(hexText(card.isd->privileges, HexCase::Upper), "9EFE80");
    ASSERT_EQ(card.applications.size(), 1u);
    const auto& application = card.applications.front();
    EXPECT_EQ(hexText(application.aid, HexCase::Upper), "A000000001");
    EXPECT_EQ(application.lifeCycle, 0x07);
    EXPECT_EQ(hexText(application.privileges, HexCase::Upper), "40");
    EXPECT_EQ(hexText(application.loadFile, HexCase::Upper), "A0000000");
    ASSERT_EQ(card.loadFiles.size(), 1u);
    const auto& file = card.loadFiles.front();
    EXPECT_EQ(hexText(file.aid, HexCase::Upper), "A0000000");
    EXPECT_EQ(file.lifeCycle, 0x01);
    EXPECT_EQ(file.version, (std::pair<unsigned, unsigned>{1, 2}));
    ASSERT_EQ(file.modules.size(), 1u);
    EXPECT_EQ(hexText(file.modules.front(), HexCase::Upper), "A000000001");
    EXPECT_EQ(dependentsOf(card, file.aid), std::vector<ByteVector>{application.aid});
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
         {hexBytes("00000000000000000000 30 03 00 31900058C1C451A2 A412D9C87482D199 9000")},
         "the card's retry counter was not touched"},
        {"a locked key set", {hexBytes("6983")}, "the key set may be locked"},
        {"no such key version", {hexBytes("6A88")}, "no key set of key version 31"},
        {"an answer no channel has", {hexBytes("00000000000000000000 30 01 9000")}, "protocol 1"},
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
    ScriptedTransport transport({hexBytes("6F 10 84 08 A000000151000000 A5 04 9F65 01 80 9000")});
    Session session(transport);
    session.selectSecurityDomain(hexBytes("A000000151000000"));
    ASSERT_EQ(session.largestCommandData(), 0x80u);
    EXPECT_EQ(largestBlock(session), 0x80u - 8);
}

} // namespace
} // namespace tolvane::card
