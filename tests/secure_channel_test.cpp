// The secure channels and key derivations against the published vectors.

#include "core/base/hex.h"
#include "core/gp/secure_channel.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace tolvane::gp {
namespace {

using tolvane::testing::hexBytes;

using tolvane::testing::hexOf;

// Keys whose bytes run up from `first`: 000102..0F, 101112..1F, ...
ByteVector counting(std::uint8_t first, std::uint8_t step = 1)
{
    ByteVector key;
    for (int i = 0; i < 16; ++i)
        key.push_back(static_cast<std::uint8_t>(first + i * step));
    return key;
}

struct Vector {
    const char* name;
    StaticKeys keys;
    const char* hostChallenge;
    const char* answer; // INITIALIZE UPDATE's data
    const char* sessionEnc;
    const char* sessionMac;
    SecurityLevel level;
    const char* externalAuthenticate;
    const char* plain; // a later command, and as the channel sends it
    const char* wrapped;
};

TEST(SecureChannel, PublishedVectors)
{
    const ByteVector scp02Enc = hexBytes("100102030405060708090A0B0C0D0E0F");
    const ByteVector scp02Mac = hexBytes("101102030405060708090A0B0C0D0E0F");
    const ByteVector scp02Dek = hexBytes("102102030405060708090A0B0C0D0E0F");
    const Vector vectors[] = {
        {"SCP03, i 70, C-MAC and C-DECRYPTION",
         {counting(0x00), counting(0x10), counting(0x20)},
         "FDF38259A1E0DE44",
         "00000000000000000000 30 03 70 3B1ACA81E821F219 081CDC01C26B372D 000003",
         "BC5689F3A0B783A9ED6DA1C5C6BC1F99",
         "0415F56CBB9E488BB171B2B66081F004",
         SecurityLevel(0x33),
         "84 82 33 00 10 8C36F96BCC00724A 4E13AD591D7DA3F0",
         "80E2910006BF3E035C015A00",
         "84E2910018 267A85DFE4A98FCA6FB0527E0DFECCE4 914E40401433C87F 00"},
        {"SCP03, default key, C-MAC",
         {defaultTestKey(), defaultTestKey(), defaultTestKey()},
         "A7F76C713F0A713D",
         "00000000000000000000 30 03 00 31900058C1C451A2 A412D9C87482D199",
         "258A78866F41482BEF482DC8CA976CCD",
         "053DB6ABC7FDF3B63A0D965EE16B0255",
         SecurityLevel::Mac,
         "84 82 01 00 10 CC43EC66CB371CC4 C2565475A2937D87",
         nullptr,
         nullptr},
        {"SCP02, C-MAC",
         {scp02Enc, scp02Mac, scp02Dek},
         "40A62C37FA6304F8",
         "00000000000000000000 70 02 0001 6B4524ABEE7C F32EA3838BC148F3",
         "1BA074B31F72A6C44FE8F5D9AFE4DA2F",
         "29A69328E60494982632039DDD47A2F1",
         SecurityLevel::Mac,
         "84 82 01 00 10 BA6961667737C5BC EBECE14C7D6A4376",
         "80F22002",
         "84F2200208 14DB34FA4341DCA8"},
    };
    for (const auto& v : vectors) {
        SCOPED_TRACE(v.name);
        std::string problem;
        const auto card = readInitializeUpdate(hexBytes(v.answer), &problem);
        ASSERT_TRUE(card) << problem;
        auto channel = SecureChannel::make(v.keys, *card, hexBytes(v.hostChallenge), &problem);
        ASSERT_TRUE(channel) << problem;
        EXPECT_EQ(hexOf(channel->sessionEnc()), v.sessionEnc);
        EXPECT_EQ(hexOf(channel->sessionMac()), v.sessionMac);
        EXPECT_TRUE(channel->cardCryptogramMatches());
        EXPECT_EQ(hexOf(channel->externalAuthenticate(v.level)), hexOf(hexBytes(v.externalAuthenticate)));
        if (v.plain != nullptr) {
            EXPECT_EQ(hexOf(channel->wrap(hexBytes(v.plain))), hexOf(hexBytes(v.wrapped)));
        }
    }
}

TEST(SecureChannel, AWrongKeyOrAnswerIsToldBeforeAnythingIsSent)
{
    const StaticKeys defaults{defaultTestKey(), defaultTestKey(), defaultTestKey()};
    ByteVector wrongKey = defaultTestKey();
    wrongKey[0] ^= 1;
    const struct {
        const char* name;
        StaticKeys keys;
        const char* answer;
        const char* problem; // nullptr: the channel is made, and its cryptogram does not match
    } cases[] = {
        {"a wrong key",
         {wrongKey, wrongKey, wrongKey},
         "00000000000000000000 30 03 00 31900058C1C451A2 A412D9C87482D199",
         nullptr},
        {"a wrong cryptogram", defaults, "00000000000000000000 30 03 00 31900058C1C451A2 A412D9C87482D198", nullptr},
        {"SCP02 with AES-256 keys",
         {counting(0, 2), counting(0, 2), ByteVector(32, 1)},
         "00000000000000000000 70 02 0001 6B4524ABEE7C F32EA3838BC148F3",
         "SCP02 takes keys of 16 bytes"},
        {"an unknown protocol", defaults, "00000000000000000000 30 01 0001 6B4524ABEE7C F32EA3838BC148F3",
         "protocol 1"},
        {"an SCP02 answer cut short", defaults, "00000000000000000000 70 02 0001 6B4524ABEE7C F32EA3838BC1",
         "has 28 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string problem;
        const auto card = readInitializeUpdate(hexBytes(c.answer), &problem);
        const auto channel =
            card ? SecureChannel::make(c.keys, *card, hexBytes("A7F76C713F0A713D"), &problem) : nullptr;
        if (c.problem != nullptr) {
            EXPECT_FALSE(channel);
            EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
        } else {
            ASSERT_TRUE(channel) << problem;
            EXPECT_FALSE(channel->cardCryptogramMatches());
        }
    }
}

TEST(SecureChannel, KeyDiversificationVectors)
{
    const StaticKeys master{defaultTestKey(), defaultTestKey(), defaultTestKey()};
    const ByteVector data = hexBytes("00010203040506070809");
    const struct {
        Diversification how;
        const char *enc, *mac, *dek;
        bool aes;
        const char *encCheck, *macCheck, *dekCheck;
    } cases[] = {
        {Diversification::Emv, "0EF59FCBF8019B62E62AF6EA20B8BF25", "3E383EB6F2762B88155F76BDFED05A02",
         "64021E43C0C7D264A1C7C6D01E1C8761", false, "C33013", "6F4CA6", "BB8179"},
        {Diversification::Visa2, "8510FC973208218CA86888BCEC203635", "1068B5FB6F06C78C7A4DFC343B21C78F",
         "2DAEE809C71405FF259C3BE695A1F66E", false, "2BE598", "58DA38", "3C328E"},
        {Diversification::Kdf3, "808BC985A1069AD2A9AC94E0FE7B8843", "65942E0BF4F3F32AEFACBA5671456275",
         "6A74F6F6040CCA10D8A3FDC7914FD7CC", true, "E79C05", "D1BD77", "3FDE8C"},
    };
    for (const auto& c : cases) {
        const StaticKeys keys = diversified(master, c.how, data);
        EXPECT_EQ(hexOf(keys.enc), c.enc);
        EXPECT_EQ(hexOf(keys.mac), c.mac);
        EXPECT_EQ(hexOf(keys.dek), c.dek);
        EXPECT_EQ(hexOf(checkValue(keys.enc, c.aes)), c.encCheck);
        EXPECT_EQ(hexOf(checkValue(keys.mac, c.aes)), c.macCheck);
        EXPECT_EQ(hexOf(checkValue(keys.dek, c.aes)), c.dekCheck);
    }
    EXPECT_EQ(hexOf(checkValue(defaultTestKey(), false)), "8BAF47");
    EXPECT_EQ(hexOf(checkValue(defaultTestKey(), true)), "504A77");
}

} // namespace
} // namespace tolvane::gp
