// Helpers for tests that drive the engine through its public header only.
#pragma once

#include <cstdint>
#include <vector>

#include "quorvel.h"

namespace qvtest {

// A context that is deleted at the end of the test.
class ContextGuard {
public:
    explicit ContextGuard(int megabytes = 96) : handle(qv_create_context(megabytes)) {}
    ~ContextGuard() { qv_delete_context(&handle); }
    ContextGuard(const ContextGuard&) = delete;
    ContextGuard& operator=(const ContextGuard&) = delete;
    operator qv_handle() const { return handle; }
    qv_handle handle;
};

// Palette entry i is (i, 0, 0): at supersampling 1 the red channel of the
// picture is the pixel's value byte.
inline void set_value_palette(qv_handle h) {
    unsigned char rgb[768] = {};
    for (int i = 0; i < 256; ++i) rgb[3 * i] = static_cast<unsigned char>(i);
    qv_set_palette(h, rgb);
}

// Refines the current view until the engine reports it finished; returns the
// number of slices that did work.
inline int refine_to_end(qv_handle h) {
    int slices = 0;
    while (qv_refine_image(h)) ++slices;
    return slices;
}

// The value bytes of the current picture (red channel under the value palette).
inline std::vector<uint8_t> read_values(qv_handle h) {
    const int w = qv_get_image_width(h), ht = qv_get_image_height(h);
    const unsigned char* rgb = qv_get_rgb_image(h);
    std::vector<uint8_t> values(static_cast<size_t>(w) * ht);
    for (size_t i = 0; i < values.size(); ++i) values[i] = rgb[3 * i];
    return values;
}

// A plain escape-time loop, written independently of the engine.
inline uint8_t reference_value(double cx, double cy, uint32_t limit) {
    double x = cx, y = cy;
    uint32_t n = 1;
    for (;;) {
        const double xx = x * x, yy = y * y, xy = x * y;
        if (xx + yy >= 4.0) break;
        if (++n >= limit) return 0;
        x = xx - yy + cx;
        y = 2.0 * xy + cy;
    }
    return static_cast<uint8_t>((n - 1) % 255 + 1);
}

}  // namespace qvtest
