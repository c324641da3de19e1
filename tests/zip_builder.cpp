#include "zip_builder.h"

#include <algorithm>
#include <stdexcept>
#include <zlib.h>

namespace tolvane::testing {
namespace {

void put16(ByteVector& out, std::uint32_t value)
{
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void put32(ByteVector& out, std::uint32_t value)
{
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

void append(ByteVector& out, const ByteVector& bytes)
{
    out.insert(out.end(), bytes.begin(), bytes.end());
}

void append(ByteVector& out, const std::string& text)
{
    out.insert(out.end(), text.begin(), text.end());
}

} // namespace

ByteVector bytesOf(const std::string& text)
{
    return ByteVector(text.begin(), text.end());
}

ByteVector component(std::uint8_t tag, const ByteVector& content)
{
    ByteVector out(3 + content.size());
    out[0] = tag;
    out[1] = static_cast<std::uint8_t>(content.size() >> 8);
    out[2] = static_cast<std::uint8_t>(content.size());
    std::copy(content.begin(), content.end(), out.begin() + 3);
    return out;
}

ByteVector headerComponent(std::uint8_t major, std::uint8_t minor, const ByteVector& aid, const std::string& name)
{
    ByteVector content{0xDE, 0xCA, 0xFF, 0xED, minor, major, 0x04, 0x00, 0x01};
    content.push_back(static_cast<std::uint8_t>(aid.size()));
    append(content, aid);
    content.push_back(static_cast<std::uint8_t>(name.size()));
    append(content, name);
    return component(1, content);
}

std::uint32_t crc32Of(const ByteVector& data)
{
    return static_cast<std::uint32_t>(::crc32(0, data.data(), static_cast<uInt>(data.size())));
}

ByteVector deflate(const ByteVector& data)
{
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_SPEED, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    ByteVector out(deflateBound(&stream, static_cast<uLong>(data.size())));
    stream.next_in = const_cast<Bytef*>(data.data());
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = ::deflate(&stream, Z_FINISH);
    deflateEnd(&stream);
    if (result != Z_STREAM_END)
        throw std::runtime_error("deflate failed");
    out.resize(stream.total_out);
    return out;
}

ByteVector buildZip(const std::vector<ZipEntry>& entries, const ZipOptions& options)
{
    ByteVector out = options.prefix;
    ByteVector central;
    std::vector<std::uint32_t> offsets;
    for (const auto& entry : entries) {
        const ByteVector data =
            entry.rawData ? *entry.rawData : (entry.method == deflated ? deflate(entry.data) : entry.data);
        const std::uint32_t crc = entry.crc.value_or(crc32Of(entry.data));
        const auto size = entry.uncompressedSize.value_or(static_cast<std::uint32_t>(entry.data.size()));
        const auto compressedSize = static_cast<std::uint32_t>(data.size());
        const std::uint16_t flags = entry.flags | (entry.dataDescriptor ? 0x0008 : 0);
        const auto offset =
            entry.sharesLocalHeaderOf ? offsets.at(*entry.sharesLocalHeaderOf) : static_cast<std::uint32_t>(out.size());
        offsets.push_back(offset);
        if (!entry.sharesLocalHeaderOf) {
            put32(out, 0x04034B50);
            put16(out, 20);
            put16(out, flags);
            put16(out, entry.method);
            put16(out, 0);    // time
            put16(out, 0x21); // date: 1980-01-01
            put32(out, entry.dataDescriptor ? 0 : crc);
            put32(out, entry.dataDescriptor ? 0 : compressedSize);
            put32(out, entry.dataDescriptor ? 0 : size);
            put16(out, static_cast<std::uint32_t>(entry.name.size()));
            put16(out, static_cast<std::uint32_t>(entry.extra.size()));
            append(out, entry.name);
            append(out, entry.extra);
            append(out, data);
            if (entry.dataDescriptor) {
                put32(out, 0x08074B50);
                put32(out, crc);
                put32(out, compressedSize);
                put32(out, size);
            }
        }

        put32(central, 0x02014B50);
        put16(central, entry.versionMadeBy);
        put16(central, 20);
        put16(central, flags);
        put16(central, entry.method);
        put16(central, 0);
        put16(central, 0x21);
        put32(central, crc);
        put32(central, compressedSize);
        put32(central, size);
        put16(central, static_cast<std::uint32_t>(entry.name.size()));
        put16(central, static_cast<std::uint32_t>(entry.extra.size()));
        put16(central, 0); // comment length
        put16(central, 0); // disk
        put16(central, 0); // internal attributes
        put32(central, !entry.name.empty() && entry.name.back() == '/' ? 0x10 : 0);
        put32(central, offset);
        append(central, entry.name);
        append(central, entry.extra);
    }
    const auto centralOffset = static_cast<std::uint32_t>(out.size());
    append(out, central);
    put32(out, 0x06054B50);
    put16(out, 0);
    put16(out, 0);
    put16(out, static_cast<std::uint32_t>(entries.size()));
    put16(out, static_cast<std::uint32_t>(entries.size()));
    put32(out, static_cast<std::uint32_t>(central.size()));
    put32(out, centralOffset);
    put16(out, static_cast<std::uint32_t>(options.comment.size()));
    append(out, options.comment);
    return out;
}

Wallet walletComponents()
{
    Wallet wallet;
    // The Header's size field gives 33 bytes, which hold the version and the
    // AID; the package name runs on past them in the entry.
    wallet.headerEntry = headerComponent(2, 2, {0xA0, 0x00, 0x00, 0x00, 0x62, 0x03, 0x01}, "com/acme/wallet");
    wallet.headerEntry[2] = 30;
    wallet.header.assign(wallet.headerEntry.begin(), wallet.headerEntry.begin() + 33);
    ByteVector directoryContent(31);
    for (std::size_t i = 0; i < directoryContent.size(); ++i)
        directoryContent[i] = static_cast<std::uint8_t>(0x10 + i);
    wallet.directory = component(2, directoryContent);
    wallet.import = component(4, {0x01, 0x00, 0x01, 0x07, 0xA0, 0x00, 0x00, 0x00, 0x62, 0x00, 0x01});
    return wallet;
}

} // namespace tolvane::testing
