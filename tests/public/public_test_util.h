// Helpers for tests that drive the engine through its public header only.
#pragma once

#include <cstdint>
#include <vector>

#include "quorvel.h"
#include "support/test_support.h"

namespace qvtest {

// A context that is deleted at the end of the test.
class ContextGuard {
public:
    explicit ContextGuard(int megabytes = 96) : handle(qv_create_context(megabytes)) {}
    ~ContextGuard() { qv_delete_context(&handle); }
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
    const unsigned char* rgb = qv_get_rgb_image(h);
    std::vector<uint8_t> values(size_t(qv_get_image_width(h)) * qv_get_image_height(h));
    for (size_t i = 0; i < values.size(); ++i) values[i] = rgb[3 * i];
    return values;
}

// Sets up a side x side picture of one value per pixel, shows the view with
// the strategy and returns the finished values.
inline std::vector<uint8_t> render(qv_handle h, int side, double cx, double cy, double radius,
                                   int generator) {
    set_value_palette(h);
    qv_set_image_properties(h, side, side, 1, 1.75f);
    qv_set_view_params_from_doubles(h, cx, cy, radius);
    qv_set_generator_type(h, generator);
    refine_to_end(h);
    return read_values(h);
}

}  // namespace qvtest
