#include "storage/count_plane.h"

namespace quorvel {

namespace {

// Copies the counts, skipping blocks of them that are all 0: pages of the new
// array stay untouched, and so not resident, where no pixel has a count yet.
template <class From, class To>
void widen_into(const From* from, To* to, size_t pixels) {
    constexpr size_t kBlock = 64;
    size_t i = 0;
    for (; i + kBlock <= pixels; i += kBlock) {
        From any = 0;
        for (size_t k = 0; k < kBlock; ++k) any |= from[i + k];
        if (any == 0) continue;
        for (size_t k = 0; k < kBlock; ++k) to[i + k] = from[i + k];
    }
    for (; i < pixels; ++i)
        if (from[i] != 0) to[i] = from[i];
}

}  // namespace

void CountPlane::widen(uint32_t n) {
    const uint32_t width = width_for(n);
    ZeroedBytes wider(pixels_ * width);
    visit([&](const auto* from) {
        if (width == 2)
            widen_into(from, reinterpret_cast<uint16_t*>(wider.data()), pixels_);
        else
            widen_into(from, reinterpret_cast<uint32_t*>(wider.data()), pixels_);
    });
    bytes_ = std::move(wider);
    width_ = width;
    largest_ = largest_of(width);
}

}  // namespace quorvel
