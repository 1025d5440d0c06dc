// An owned, growable block of bytes. Every heap block the library keeps for
// message bytes is one of these (or lives inside CBuffersList), so malloc and
// free appear in these two classes only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace lumlib {

// Every allocation of byte blocks goes through one realloc-compatible
// function; tests put a failing one in its place to reach the
// out-of-memory paths.
using ReallocFn = void* (*)(void* block, size_t size);
// Null restores realloc; returns the previous function.
ReallocFn SetReallocFn(ReallocFn fn);
void* Realloc(void* block, size_t size);

class CByteBlock {
public:
    CByteBlock() = default;
    // Allocates capacity bytes; stays empty when that fails.
    explicit CByteBlock(size_t capacity) { Resize(capacity); }
    ~CByteBlock() { reset(); }
    CByteBlock(const CByteBlock&) = delete;
    CByteBlock& operator=(const CByteBlock&) = delete;
    CByteBlock(CByteBlock&& other) noexcept : m_data(other.m_data), m_capacity(other.m_capacity) {
        other.m_data = nullptr;
        other.m_capacity = 0;
    }
    CByteBlock& operator=(CByteBlock&& other) noexcept {
        if (this != &other) {
            reset();
            std::swap(m_data, other.m_data);
            std::swap(m_capacity, other.m_capacity);
        }
        return *this;
    }

    uint8_t* get() const noexcept { return m_data; }
    size_t capacity() const noexcept { return m_capacity; }
    bool empty() const noexcept { return m_data == nullptr; }

    // At least size bytes (contents kept). On failure the block is unchanged.
    bool Grow(uint64_t size);
    // Exactly size bytes (contents kept up to size; 0 frees). On failure unchanged.
    bool Resize(uint64_t size);
    // Copies size bytes from data into a block of exactly that size.
    bool Assign(const void* data, size_t size);
    void reset() noexcept;

private:
    uint8_t* m_data = nullptr;
    size_t m_capacity = 0;
};

}  // namespace lumlib
