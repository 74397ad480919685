#include "storage/count_plane.h"

namespace quorvel {

namespace {

// Copies the counts that are not 0: pages of the new array stay untouched, and
// so not resident, where no pixel has a count yet.
template <class From, class To>
void widen_into(const From* from, To* to, size_t pixels) {
    for (size_t i = 0; i < pixels; ++i)
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
