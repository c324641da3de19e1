// Faults that slipped past the other tests once, one table per concern:
// each row is a mistake in the code that it would catch.

#include "core/apdu/dap.h"
#include "core/base/error.h"
#include "core/cap/components_file.h"
#include "core/cap/java_card.h"
#include "core/cap/package.h"
#include "core/report/dump.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace tolvane {
namespace {

using namespace testing;

// DER of an ECDSA signature with the given r and s, each an INTEGER as DER
// writes it (a leading zero where the high bit is set).
std::vector<std::uint8_t> derSignature(std::vector<std::uint8_t> r, std::vector<std::uint8_t> s)
{
    const auto integer = [](std::vector<std::uint8_t> value) {
        if (!value.empty() && (value[0] & 0x80) != 0)
            value.insert(value.begin(), 0);
        value.insert(value.begin(), static_cast<std::uint8_t>(value.size()));
        value.insert(value.begin(), 0x02);
        return value;
    };
    std::vector<std::uint8_t> body = integer(std::move(r));
    const auto second = integer(std::move(s));
    body.insert(body.end(), second.begin(), second.end());
    body.insert(body.begin(), static_cast<std::uint8_t>(body.size()));
    body.insert(body.begin(), 0x30);
    return body;
}

TEST(DapEncoding, EcdsaValuesAreLeftPaddedToTheCurve)
{
    const std::vector<std::uint8_t> full(32, 0x9A), shortValue(31, 0x5C), shorter(20, 0x11);
    const auto padded = [](const std::vector<std::uint8_t>& value, std::size_t size) {
        std::vector<std::uint8_t> out(size - value.size(), 0);
        out.insert(out.end(), value.begin(), value.end());
        return out;
    };
    const struct {
        const char* name;
        std::vector<std::uint8_t> r, s;
        std::size_t coordinate;
    } cases[] = {
        {"both full, high bit set (DER adds a zero)", full, full, 32},
        {"short r", shortValue, full, 32},
        {"short s", full, shortValue, 32},
        {"both short", shorter, shortValue, 32},
        {"P-384, short r", shortValue, std::vector<std::uint8_t>(48, 0x7F), 48},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto raw = apdu::ecdsaRawSignature(derSignature(c.r, c.s), c.coordinate);
        ASSERT_TRUE(raw);
        auto expected = padded(c.r, c.coordinate);
        const auto s = padded(c.s, c.coordinate);
        expected.insert(expected.end(), s.begin(), s.end());
        EXPECT_EQ(*raw, expected);
    }
    // A value longer than the curve, and bytes that are no signature.
    EXPECT_FALSE(apdu::ecdsaRawSignature(derSignature(std::vector<std::uint8_t>(33, 0x01), full), 32));
    EXPECT_FALSE(apdu::ecdsaRawSignature({0x30, 0x03, 0x02, 0x01}, 32));
    auto trailing = derSignature(full, full);
    trailing.push_back(0);
    EXPECT_FALSE(apdu::ecdsaRawSignature(trailing, 32));
}

TEST(JavaCardReleases, APrefixIsAnOlderOrEqualRelease)
{
    const struct {
        const char* a;
        const char* b;
        int order;
    } cases[] = {
        {"3.0", "3.0.5", -1}, // --target 3.0 refuses what needs 3.0.5
        {"3.0.5", "3.0", 1},    {"3.1", "3.1.0", 0}, {"3.1.0", "3.1", 0},
        {"3.0.10", "3.0.9", 1}, {"2.2.2", "3", -1},  {"3.0.4", "3.0.4", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " against " + c.b);
        const int order = cap::compareReleases(c.a, c.b);
        EXPECT_EQ((order > 0) - (order < 0), c.order);
    }
}

TEST(ComponentsFile, AComponentTagTwiceIsRefusedCustomOrNot)
{
    const auto wallet = walletComponents();
    const struct {
        const char* name;
        std::vector<ByteVector> parts;
        const char* problem; // nullptr: the sequence frames
    } cases[] = {
        {"two different custom components",
         {wallet.header, wallet.directory, component(0x80, {1}), component(0x81, {2})},
         nullptr},
        {"a custom tag twice",
         {wallet.header, wallet.directory, component(0x80, {1}), component(0x80, {2})},
         "at offset 71, "},
        {"Directory twice", {wallet.header, wallet.directory, wallet.directory}, "at offset 67, "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ByteVector bytes = concat(c.parts);
        try {
            const auto entries = componentsOf(Bytes(bytes.data(), bytes.size()), "in.ijc");
            EXPECT_EQ(c.problem, nullptr) << "not refused";
            EXPECT_EQ(entries.size(), c.parts.size());
        } catch (const Error& error) {
            ASSERT_NE(c.problem, nullptr) << error.what();
            EXPECT_NE(error.detail().find(c.problem), std::string::npos) << error.what();
            EXPECT_NE(error.detail().find("a second component with tag"), std::string::npos) << error.what();
        }
    }
}

TEST(Dump, EachConstantPoolKindNamesItsClassAndMember)
{
    cap::Package package;
    package.imports.push_back({0, 1, {0xA0, 0x00, 0x00, 0x00, 0x62, 0x01, 0x01}}); // javacard.framework
    package.classEntries.push_back({});
    cap::DescribedClass described;
    described.thisRef = {cap::ClassRef{0x0000}, 0};
    described.name = "pkg/Wallet";
    cap::Method method;
    method.offset = {9, 0};
    method.name = "process";
    described.methods.push_back(method);
    package.classes.push_back(described);
    const auto entry = [](cap::PoolKind kind, std::uint16_t classRef, unsigned token, cap::StaticRef ref = {}) {
        cap::PoolEntry e;
        e.kind = static_cast<std::uint8_t>(kind);
        e.classRef = cap::ClassRef{classRef};
        e.token = token;
        e.staticRef = ref;
        return e;
    };
    const struct {
        cap::PoolEntry entry;
        const char* text;
    } cases[] = {
        {entry(cap::PoolKind::ClassRef, 0x8003, 0), "classref javacard.framework class 3"},
        {entry(cap::PoolKind::ClassRef, 0x0000, 0), "classref pkg/Wallet"},
        {entry(cap::PoolKind::InstanceField, 0x0000, 2), "instance_field pkg/Wallet token 2"},
        {entry(cap::PoolKind::VirtualMethod, 0x8003, 7), "virtual_method javacard.framework class 3 token 7"},
        {entry(cap::PoolKind::SuperMethod, 0x8004, 1), "super_method javacard.framework class 4 token 1"},
        {entry(cap::PoolKind::StaticField, 0, 0, {0x80, 5, 6}), "static_field javacard.framework class 5 token 6"},
        {entry(cap::PoolKind::StaticField, 0, 0, {0x00, 0x00, 0x0C}), "static_field static field@12"},
        {entry(cap::PoolKind::StaticMethod, 0, 0, {0x80, 8, 2}), "static_method javacard.framework class 8 token 2"},
        {entry(cap::PoolKind::StaticMethod, 0, 0, {0x00, 0x00, 0x09}), "static_method pkg/Wallet.process"},
    };
    for (const auto& c : cases)
        package.pool.push_back(c.entry);
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(poolEntryText(package, static_cast<unsigned>(i)), cases[i].text) << "entry " << i;
}

} // namespace
} // namespace tolvane
