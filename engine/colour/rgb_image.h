// RgbImage: turns iteration bytes into the RGB picture, with gamma-correct
// supersampling and palette cycling.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "base/stopwatch.h"
#include "colour/colour_mapping.h"
#include "storage/count_plane.h"
#include "storage/zeroed_bytes.h"

namespace quorvel {

class RgbImage {
public:
    RgbImage(int width, int height);

    void set_palette(const uint8_t rgb[768]);
    void set_gamma_and_supersampling(float gamma, int factor);
    void resize(int width, int height);
    // Rebuilds the picture from (f*width) x (f*height) samples when dirty, or
    // when pending and 0.75 s have passed since the last rebuild.
    void render(const uint8_t* samples);
    // The same through the colour mapping: `counts` holds each sample's full
    // count and `fractions` (or null) its smooth fraction code. The value
    // byte still says whether a sample escaped (0: it did not). With the
    // default mapping the result is render(samples).
    void render(const uint8_t* samples, const uint32_t* counts, const float* fractions);
    void render(const uint8_t* samples, const CountPlane& counts, const float* fractions);
    // A new mapping rebuilds the picture at the next render.
    void set_mapping(const ColourMapping& mapping);
    const ColourMapping& mapping() const { return mapping_; }
    void cycle_palette(int shift);
    // Writes the 768 palette bytes; false on a write error.
    bool write_palette(std::FILE* stream) const;
    // The clock behind the 0.75 s rule (null: the steady clock).
    void use_clock(const ManualClock* clock) { stopwatch_.use_clock(clock); }

    const uint8_t* palette() const { return palette_; }
    uint8_t* pixels() { return pixels_.data(); }
    int width() const { return width_; }
    int height() const { return height_; }
    float gamma() const { return gamma_; }
    int supersampling() const { return supersampling_; }

    bool dirty = true;
    bool pending = true;

private:
    void rebuild_sample_table();
    void rebuild_sample_offsets();
    bool due() const;
    void mark_rendered();
    // render() with counts of any width.
    template <class Count>
    void render_counts(const uint8_t* samples, const Count* counts, const float* fractions);
    // One RGB triple per sample, each blended between two palette entries.
    template <class Count>
    void render_smooth(const uint8_t* samples, const Count* counts, const float* fractions);

    uint64_t sample_table_[256];  // four 16-bit lanes: R, G, B, 0
    uint8_t gamma_table_[2048];
    std::ptrdiff_t sample_offsets_[64];  // pointer steps; wide so no width can overflow
    int32_t sample_count_ = 0;
    uint8_t palette_[768] = {};
    uint16_t linear_table_[256];
    Stopwatch stopwatch_;
    int width_;
    int height_;
    // Fresh zero pages: a picture takes memory only once it is drawn, so a
    // load's new picture costs nothing beside the old one until then.
    ZeroedBytes pixels_;
    float gamma_ = -1.0f;
    int supersampling_ = -1;
    ColourMapping mapping_;
    std::vector<uint8_t> mapped_;  // per-sample index bytes or RGB triples
};

}  // namespace quorvel
