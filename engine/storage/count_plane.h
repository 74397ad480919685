// CountPlane: a full escape count per pixel, each held in as few bytes as the
// largest count stored so far needs (1, 2 or 4). Most views never count past
// 255 or 65535, and a large grid's counts would otherwise be the biggest array
// a view holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "storage/zeroed_bytes.h"

namespace quorvel {

class CountPlane {
public:
    CountPlane() = default;
    // `pixels` counts of 0, a byte each.
    explicit CountPlane(size_t pixels) : bytes_(pixels), pixels_(pixels) {}
    // `pixels` counts of 0, as wide from the start as counts up to `largest`
    // need: a plane whose bound is known never widens pixel by pixel.
    CountPlane(size_t pixels, uint32_t largest)
        : bytes_(pixels * width_for(largest)),
          pixels_(pixels),
          width_(width_for(largest)),
          largest_(largest_of(width_)) {}

    size_t size() const { return pixels_; }
    bool empty() const { return pixels_ == 0; }
    // Bytes per count: 1, 2 or 4.
    uint32_t width() const { return width_; }
    // Bytes held.
    size_t byte_size() const { return bytes_.size(); }

    uint32_t get(size_t i) const {
        const uint8_t* p = bytes_.data();
        if (width_ == 1) return p[i];
        if (width_ == 2) return reinterpret_cast<const uint16_t*>(p)[i];
        return reinterpret_cast<const uint32_t*>(p)[i];
    }
    void set(size_t i, uint32_t n) {
        fit(n);
        uint8_t* p = bytes_.data();
        if (width_ == 1)
            p[i] = static_cast<uint8_t>(n);
        else if (width_ == 2)
            reinterpret_cast<uint16_t*>(p)[i] = static_cast<uint16_t>(n);
        else
            reinterpret_cast<uint32_t*>(p)[i] = n;
    }
    // Widens the plane, if it must, so that it holds n; the typed array a
    // visit gives then holds n too.
    void fit(uint32_t n) {
        if (n > largest_) widen(n);
    }
    // Calls f with the counts as an array of the plane's width (uint8_t,
    // uint16_t or uint32_t), so that loops over all of them run without a
    // test per pixel.
    template <class F>
    decltype(auto) visit(F&& f) {
        uint8_t* p = bytes_.data();
        if (width_ == 1) return std::forward<F>(f)(p);
        if (width_ == 2) return std::forward<F>(f)(reinterpret_cast<uint16_t*>(p));
        return std::forward<F>(f)(reinterpret_cast<uint32_t*>(p));
    }
    template <class F>
    decltype(auto) visit(F&& f) const {
        const uint8_t* p = bytes_.data();
        if (width_ == 1) return std::forward<F>(f)(p);
        if (width_ == 2) return std::forward<F>(f)(reinterpret_cast<const uint16_t*>(p));
        return std::forward<F>(f)(reinterpret_cast<const uint32_t*>(p));
    }
    uint8_t* bytes() { return bytes_.data(); }
    // Frees the plane: no pixels.
    void reset() { *this = CountPlane(); }

private:
    static uint32_t width_for(uint32_t n) { return n <= 0xFFu ? 1 : n <= 0xFFFFu ? 2 : 4; }
    static uint32_t largest_of(uint32_t width) {
        return width == 1 ? 0xFFu : width == 2 ? 0xFFFFu : 0xFFFFFFFFu;
    }
    void widen(uint32_t n);

    ZeroedBytes bytes_;
    size_t pixels_ = 0;
    uint32_t width_ = 1;
    uint32_t largest_ = 0xFF;  // the largest count the width holds
};

}  // namespace quorvel
