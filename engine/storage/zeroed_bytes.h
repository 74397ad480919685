// ZeroedBytes: an owned byte array that starts out all zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace quorvel {

// Large arrays come from calloc, which hands out fresh pages that are zero
// already: a new image costs no memset, and its pages are touched only as its
// pixels are computed, within the refinement slices rather than before them.
class ZeroedBytes {
public:
    ZeroedBytes() = default;
    explicit ZeroedBytes(size_t size) : bytes_(allocate(size)), size_(size) {}
    ZeroedBytes(const ZeroedBytes& other) : ZeroedBytes(other.size_) {
        if (size_ != 0) std::memcpy(bytes_.get(), other.bytes_.get(), size_);
    }
    ZeroedBytes& operator=(const ZeroedBytes& other) {
        if (this != &other) *this = ZeroedBytes(other);
        return *this;
    }
    ZeroedBytes(ZeroedBytes&& other) noexcept
        : bytes_(std::move(other.bytes_)), size_(std::exchange(other.size_, 0)) {}
    ZeroedBytes& operator=(ZeroedBytes&& other) noexcept {
        bytes_ = std::move(other.bytes_);
        size_ = std::exchange(other.size_, 0);
        return *this;
    }

    uint8_t* data() { return bytes_.get(); }
    const uint8_t* data() const { return bytes_.get(); }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // Frees the array.
    void reset() {
        bytes_.reset();
        size_ = 0;
    }

private:
    struct Free {
        void operator()(uint8_t* p) const { std::free(p); }
    };
    static uint8_t* allocate(size_t size) {
        if (size == 0) return nullptr;
        void* p = std::calloc(size, 1);
        if (p == nullptr) throw std::bad_alloc();
        return static_cast<uint8_t*>(p);
    }

    std::unique_ptr<uint8_t, Free> bytes_;
    size_t size_ = 0;
};

}  // namespace quorvel
