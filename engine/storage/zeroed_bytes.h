// ZeroedBytes: an owned byte array that starts out all zero.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace quorvel {

// Large arrays are fresh pages mapped for them, zero already: a new image costs
// no memset, its pages are touched only as its pixels are computed, and they go
// back to the system when it goes. (calloc gives this only until the
// allocator's adaptive threshold moves above an image's size.)
class ZeroedBytes {
public:
    ZeroedBytes() = default;
    explicit ZeroedBytes(size_t size) : bytes_(allocate(size), Free{size}), size_(size) {}
    ZeroedBytes(const ZeroedBytes& other) : ZeroedBytes(other.size_) {
        if (size_ < kMappedFrom) {
            if (size_ != 0) std::memcpy(bytes_.get(), other.bytes_.get(), size_);
            return;
        }
        // Pages of zeros (pixels not computed yet) stay untouched in the copy,
        // and so take no memory.
        for (size_t at = 0; at < size_; at += kPage) {
            const size_t n = size_ - at < kPage ? size_ - at : kPage;
            const uint8_t* from = other.bytes_.get() + at;
            if (from[0] != 0 || std::memcmp(from, from + 1, n - 1) != 0)
                std::memcpy(bytes_.get() + at, from, n);
        }
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
#if defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer guards only what the allocator hands out.
    static constexpr size_t kMappedFrom = SIZE_MAX;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    static constexpr size_t kMappedFrom = SIZE_MAX;
#else
    static constexpr size_t kMappedFrom = size_t{1} << 20;
#endif
#else
    static constexpr size_t kMappedFrom = size_t{1} << 20;
#endif

    static constexpr size_t kPage = 4096;

    struct Free {
        size_t size;  // bytes mapped, or below kMappedFrom: from calloc
        void operator()(uint8_t* p) const {
            if (size >= kMappedFrom)
                ::munmap(p, size);
            else
                std::free(p);
        }
    };
    static uint8_t* allocate(size_t size) {
        if (size == 0) return nullptr;
        if (size >= kMappedFrom) {
            void* p =
                ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p == MAP_FAILED) throw std::bad_alloc();
            return static_cast<uint8_t*>(p);
        }
        void* p = std::calloc(size, 1);
        if (p == nullptr) throw std::bad_alloc();
        return static_cast<uint8_t*>(p);
    }

    std::unique_ptr<uint8_t, Free> bytes_;
    size_t size_ = 0;
};

}  // namespace quorvel
