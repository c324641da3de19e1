#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tolvane {

// A byte buffer whose growth leaves the new bytes as they are: bytes are
// written over them at once, so zeroing them first is wasted work.
template <typename T> struct UninitialisedAllocator : std::allocator<T> {
    template <typename U> struct rebind {
        using other = UninitialisedAllocator<U>;
    };
    UninitialisedAllocator() = default;
    template <typename U> UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
    template <typename U> void construct(U* place) noexcept { ::new (static_cast<void*>(place)) U; }
    template <typename U, typename... Args> void construct(U* place, Args&&... args)
    {
        ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
    }
};

using FileBytes = std::vector<std::uint8_t, UninitialisedAllocator<std::uint8_t>>;

// The most a CAP file may hold. Every reader holds the whole file in memory,
// and this bounds what that costs; an archive's entries may declare no more
// in all.
constexpr std::uint64_t capFileSizeLimit = 64u << 20;

// Throws Error (CannotOpen) for the CAP file at `path` when `size` is over
// the limit, before any of it is read.
void refuseOversizedCapFile(const std::string& path, std::uint64_t size);

// The bytes of the open file `fd`, `size` of them by its status, read from
// its start with one read where the system allows, whatever the file's
// position. Throws Error (CannotOpen)
// naming `path`, for a size over the limit too.
FileBytes readWholeFile(int fd, std::uint64_t size, const std::string& path);

} // namespace tolvane
