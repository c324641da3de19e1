#pragma once

// The card's memory as bytes and back, for the card file: what a card keeps
// through a power loss (persistent objects, static fields, instances, the
// API objects' own state as a reset leaves it), and transient arrays by
// their length alone, as a power loss leaves them.

#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace tolvane::runtime {

// Bytes written big-endian, lengths before what they measure.
class StateWriter {
public:
    void u8(std::uint8_t value) { out_.push_back(value); }
    void u16(std::uint16_t value);
    void u32(std::uint32_t value);
    void bytes(std::span<const std::uint8_t> value);
    void text(const std::string& value);
    const std::vector<std::uint8_t>& data() const { return out_; }

private:
    std::vector<std::uint8_t> out_;
};

// What a reader finds that does not fit: the file is no card this runtime
// wrote.
struct SnapshotError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class StateReader {
public:
    explicit StateReader(std::span<const std::uint8_t> data) : data_(data) {}
    std::uint8_t u8();
    std::uint16_t u16();
    std::uint32_t u32();
    std::vector<std::uint8_t> bytes();
    std::string text();
    bool atEnd() const { return at_ == data_.size(); }
    std::size_t offset() const { return at_; } // of the next byte
    // A count read, bounded by what is left, so that a corrupt count cannot
    // ask for more memory than the file holds.
    std::size_t count(std::size_t eachAtLeast = 1);

private:
    void need(std::size_t count) const;
    std::span<const std::uint8_t> data_;
    std::size_t at_ = 0;
};

struct NativeState;
// Makes an API object's state again from what its save wrote.
using NativeRestorer = std::unique_ptr<NativeState> (*)(StateReader&);
void registerNativeKind(const std::string& kind, NativeRestorer restorer);
std::unique_ptr<NativeState> restoreNative(const std::string& kind, StateReader& in);

} // namespace tolvane::runtime
