#pragma once

#include <memory>

namespace tolvane {

// Owns a C library's object and frees it with the library's own function
// on every way out: Owned<EVP_MD_CTX, EVP_MD_CTX_free>,
// Owned<zip_source_t, zip_source_free>, ...
template <auto Free> struct FreeWith {
    template <typename T> void operator()(T* object) const noexcept
    {
        if (object != nullptr)
            Free(object);
    }
};
template <typename T, auto Free> using Owned = std::unique_ptr<T, FreeWith<Free>>;

} // namespace tolvane
