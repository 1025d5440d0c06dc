#include "support/ByteBlock.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace lumlib {

namespace {

void* DefaultRealloc(void* block, size_t size) { return std::realloc(block, size); }

std::atomic<ReallocFn> g_realloc{&DefaultRealloc};

// Sizes beyond the address space cannot be allocated at all.
bool FitsSizeT(uint64_t v) { return static_cast<uint64_t>(static_cast<size_t>(v)) == v; }

}  // namespace

ReallocFn SetReallocFn(ReallocFn fn) { return g_realloc.exchange(fn ? fn : &DefaultRealloc); }

void* Realloc(void* block, size_t size) { return g_realloc.load()(block, size); }

bool CByteBlock::Grow(uint64_t size) {
    if (m_data != nullptr && m_capacity >= size) return true;
    return Resize(size);
}

bool CByteBlock::Resize(uint64_t size) {
    if (size == 0) {
        reset();
        return true;
    }
    if (!FitsSizeT(size)) return false;
    void* grown = Realloc(m_data, static_cast<size_t>(size));
    if (grown == nullptr) return false;
    m_data = static_cast<uint8_t*>(grown);
    m_capacity = static_cast<size_t>(size);
    return true;
}

bool CByteBlock::Assign(const void* data, size_t size) {
    if (!Resize(size != 0 ? size : 1)) return false;
    if (size != 0) std::memcpy(m_data, data, size);
    return true;
}

void CByteBlock::reset() noexcept {
    std::free(m_data);
    m_data = nullptr;
    m_capacity = 0;
}

}  // namespace lumlib
