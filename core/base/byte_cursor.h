#pragma once

#include "core/base/bytes.h"

#include <cstdint>
#include <exception>
#include <string>

namespace tolvane {

// Reads fields one after another from a span of bytes. Every read checks what
// remains first: none can go past the end, and one that would throws
// ShortRead saying which field it was and where. Multi-byte fields name their
// byte order; raw bytes are never cast to structures.
class ByteCursor {
public:
    class ShortRead : public std::exception {
    public:
        ShortRead(const char* field, std::uint64_t offset, std::uint64_t wanted, std::uint64_t available);
        const char* what() const noexcept override { return text_.c_str(); }
        std::uint64_t offset() const noexcept { return offset_; }

    private:
        std::uint64_t offset_;
        std::string text_;
    };

    // `base` is where `bytes` begins in the file, so that offsets in messages
    // are the file's own.
    explicit ByteCursor(Bytes bytes, std::uint64_t base = 0) : bytes_(bytes), base_(base) {}

    std::uint8_t u8(const char* field);
    std::uint16_t le16(const char* field);
    std::uint32_t le32(const char* field);
    std::uint64_t le64(const char* field);
    std::uint16_t be16(const char* field);
    std::uint32_t be32(const char* field);
    Bytes take(std::uint64_t count, const char* field);
    void skip(std::uint64_t count, const char* field) { take(count, field); }

    std::size_t position() const noexcept { return position_; }
    std::uint64_t fileOffset() const noexcept { return base_ + position_; }
    std::size_t remaining() const noexcept { return bytes_.size() - position_; }
    bool atEnd() const noexcept { return position_ == bytes_.size(); }

private:
    Bytes bytes_;
    std::uint64_t base_;
    std::size_t position_ = 0;
};

} // namespace tolvane
