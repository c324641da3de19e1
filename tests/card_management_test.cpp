// PUT KEY as the card must read it: each key encrypted under the right key
// (SCP02's session DEK from its published vector, SCP03's static DEK), its
// length, type and check value; and the keys a channel cannot take.

#include "core/base/hex.h"
#include "core/card/management.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace tolvane::card {
namespace {

using tolvane::testing::hexBytes;

using tolvane::testing::hexOf;

ByteVector counting(std::uint8_t first, std::size_t length)
{
    ByteVector key;
    for (std::size_t i = 0; i < length; ++i)
        key.push_back(static_cast<std::uint8_t>(first + i));
    return key;
}

std::unique_ptr<gp::SecureChannel> channelOf(const char* answer, const gp::StaticKeys& keys)
{
    std::string problem;
    const auto card = gp::readInitializeUpdate(hexBytes(answer), &problem);
    EXPECT_TRUE(card) << problem;
    auto channel = gp::SecureChannel::make(keys, *card, hexBytes("0001020304050607"), &problem);
    EXPECT_TRUE(channel) << problem;
    return channel;
}

TEST(PutKey, EachKeyIsEncryptedUnderTheRightKeyWithItsCheckValue)
{
    const ByteVector test = gp::defaultTestKey();
    const ByteVector dek = counting(0x20, 16);
    const struct {
        const char* name;
        const char* answer; // INITIALIZE UPDATE's data
        gp::StaticKeys keys;
        std::size_t length; // of the new keys
        bool replace;
        const char* header; // CLA INS P1 P2 Lc
        // What each key must be encrypted as, from keys known apart from the channel.
        std::function<ByteVector(const ByteVector&)> encrypted;
        const char* head; // before each encrypted key
    } cases[] = {
        {"SCP02, sequence counter 0000: under the session DEK of the published vector",
         "00000000000000000000 20 02 0000 010203040506 0001020304050607",
         {test, test, test},
         16,
         true,
         "80D8208143",
         [](const ByteVector& key) { return gp::des3Ecb(hexBytes("E11987EE331B417A5D67D760692F89D4"), key); },
         "8010"},
        {"SCP03 AES-128, added",
         "00000000000000000000 30 03 00 0102030405060708 0001020304050607",
         {test, test, dek},
         16,
         false,
         "80D8008146",
         [&](const ByteVector& key) { return gp::aesCbc(dek, ByteVector(16, 0), key); },
         "881110"},
        {"SCP03 AES-192: padded to two blocks",
         "00000000000000000000 30 03 00 0102030405060708 0001020304050607",
         {test, test, dek},
         24,
         true,
         "80D8308176",
         [&](const ByteVector& key) {
             ByteVector padded = key;
             padded.resize(32, 0x00);
             return gp::aesCbc(dek, ByteVector(16, 0), padded);
         },
         "882118"},
        {"SCP03 AES-256",
         "00000000000000000000 30 03 00 0102030405060708 0001020304050607",
         {test, test, dek},
         32,
         true,
         "80D8308176",
         [&](const ByteVector& key) { return gp::aesCbc(dek, ByteVector(16, 0), key); },
         "882120"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto channel = channelOf(c.answer, c.keys);
        ASSERT_TRUE(channel);
        const bool aes = channel->protocol() == gp::Protocol::Scp03;
        const gp::StaticKeys fresh{counting(0x40, c.length), counting(0x60, c.length), counting(0x80, c.length)};
        const unsigned version = c.replace ? channel->card().keyVersion : 0x31;
        const ByteVector command = putKeyCommand(*channel, {fresh, version, c.replace});
        std::string expected = c.header + hexOf({static_cast<std::uint8_t>(version)});
        for (const ByteVector* key : {&fresh.enc, &fresh.mac, &fresh.dek})
            expected += c.head + hexOf(c.encrypted(*key)) + "03" + hexOf(gp::checkValue(*key, aes));
        EXPECT_EQ(hexOf(command), expected + "00");
    }
    // The test key's check values, as cards and their documents give them.
    EXPECT_EQ(hexOf(checkValues(gp::Protocol::Scp02, {test, test, test})[0]), "8BAF47");
    EXPECT_EQ(hexOf(checkValues(gp::Protocol::Scp03, {test, test, test})[2]), "504A77");
}

TEST(PutKey, KeysTheChannelCannotTakeAreRefused)
{
    const auto keys = [](std::size_t enc, std::size_t mac, std::size_t dek) {
        return gp::StaticKeys{ByteVector(enc, 1), ByteVector(mac, 2), ByteVector(dek, 3)};
    };
    const struct {
        gp::Protocol protocol;
        gp::StaticKeys keys;
        const char* problem; // nullptr: taken
    } cases[] = {
        {gp::Protocol::Scp02, keys(16, 16, 16), nullptr},
        {gp::Protocol::Scp02, keys(24, 24, 24), "DES keys of 16 bytes, and the new keys have 24"},
        {gp::Protocol::Scp03, keys(24, 24, 24), nullptr},
        {gp::Protocol::Scp03, keys(32, 32, 32), nullptr},
        {gp::Protocol::Scp03, keys(16, 32, 16), "differ in length (16, 32 and 16 bytes)"},
        {gp::Protocol::Scp03, keys(8, 8, 8), "16, 24 or 32 bytes, and the new keys have 8"},
    };
    for (const auto& c : cases) {
        const auto problem = keyProblem(c.protocol, c.keys);
        if (c.problem == nullptr)
            EXPECT_FALSE(problem) << *problem;
        else
            EXPECT_TRUE(problem && problem->find(c.problem) != std::string::npos) << problem.value_or("taken");
    }
}

} // namespace
} // namespace tolvane::card
