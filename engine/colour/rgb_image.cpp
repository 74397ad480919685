#include "colour/rgb_image.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

namespace quorvel {

namespace {

// Rebuilds while refinement streams in samples happen at most this often.
constexpr double kPendingInterval = 0.75;

// Top of the linear scale: 16 + f*f*floor(65504/(f*f)) never exceeds 65520, so a
// 16-bit lane cannot overflow and the sum shifted right by 5 indexes gamma_table.
constexpr uint16_t kLinearMax = 65504;

}  // namespace

RgbImage::RgbImage(int width, int height)
    : width_(std::max(0, width)), height_(std::max(0, height)) {
    pixels_ = ZeroedBytes(static_cast<size_t>(width_) * static_cast<size_t>(height_) * 3);
    std::memset(sample_table_, 0, sizeof sample_table_);
    std::memset(gamma_table_, 0, sizeof gamma_table_);
    std::memset(sample_offsets_, 0, sizeof sample_offsets_);
    std::memset(linear_table_, 0, sizeof linear_table_);
    set_gamma_and_supersampling(1.5f, 1);
}

void RgbImage::set_palette(const uint8_t rgb[768]) {
    std::memcpy(palette_, rgb, sizeof palette_);
    rebuild_sample_table();
}

void RgbImage::set_gamma_and_supersampling(float gamma, int factor) {
    factor = std::clamp(factor, 1, 8);

    // NaN fails the first comparison; an infinite gamma would collapse both
    // tables to a two-colour picture, so it is ignored as well.
    const bool gamma_changed = gamma > 0.0f && std::isfinite(gamma) && gamma != gamma_;
    if (gamma_changed) {
        gamma_ = gamma;
        const double g = gamma;
        for (int i = 0; i < 2048; ++i) {
            gamma_table_[i] = static_cast<uint8_t>(255.0 * std::pow(i / 2047.0, 1.0 / g));
        }
        gamma_table_[0] = 0;
        gamma_table_[2047] = 255;
        for (int v = 0; v < 256; ++v) {
            linear_table_[v] = static_cast<uint16_t>(kLinearMax * std::pow(v / 255.0, g));
        }
        linear_table_[0] = 0;
        linear_table_[255] = kLinearMax;
    }

    if (factor != supersampling_) {
        supersampling_ = factor;
        rebuild_sample_offsets();
        rebuild_sample_table();
    } else if (gamma_changed) {
        rebuild_sample_table();
    }
}

void RgbImage::resize(int width, int height) {
    width = std::max(0, width);
    height = std::max(0, height);
    if (width == width_ && height == height_) return;
    // The new picture is made before anything changes: when it cannot be, the
    // old one stays in place with its size.
    pixels_ = ZeroedBytes(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
    width_ = width;
    height_ = height;
    dirty = true;
    rebuild_sample_offsets();
}

void RgbImage::rebuild_sample_table() {
    const uint32_t area = static_cast<uint32_t>(supersampling_ * supersampling_);
    for (int i = 0; i < 256; ++i) {
        const uint64_t r = linear_table_[palette_[3 * i + 0]] / area;
        const uint64_t g = linear_table_[palette_[3 * i + 1]] / area;
        const uint64_t b = linear_table_[palette_[3 * i + 2]] / area;
        sample_table_[i] = r | (g << 16) | (b << 32);
    }
    dirty = true;
}

void RgbImage::rebuild_sample_offsets() {
    const std::ptrdiff_t f = supersampling_;
    const std::ptrdiff_t w = width_;
    int n = 0;
    for (std::ptrdiff_t j = 0; j < f; ++j) {
        for (std::ptrdiff_t k = 0; k < f; ++k) {
            if (k < f - 1) {
                sample_offsets_[n++] = 1;
            } else if (j < f - 1) {
                sample_offsets_[n++] = f * (w - 1) + 1;
            } else {
                sample_offsets_[n++] = (1 - f) * f * w + 1;
            }
        }
    }
    sample_count_ = n;
}

bool RgbImage::due() const {
    return dirty || (pending && stopwatch_.elapsed() >= kPendingInterval);
}

void RgbImage::mark_rendered() {
    dirty = false;
    pending = false;
    stopwatch_.start();
}

void RgbImage::set_mapping(const ColourMapping& mapping) {
    if (mapping == mapping_) return;
    mapping_ = mapping;
    dirty = true;
}

void RgbImage::render(const uint8_t* samples, const uint32_t* counts, const float* fractions) {
    if (counts == nullptr) return render(samples);
    render_counts(samples, counts, fractions);
}

void RgbImage::render(const uint8_t* samples, const CountPlane& counts, const float* fractions) {
    if (counts.empty()) return render(samples);
    counts.visit([&](const auto* c) { render_counts(samples, c, fractions); });
}

template <class Count>
void RgbImage::render_counts(const uint8_t* samples, const Count* counts, const float* fractions) {
    if (mapping_.is_default()) return render(samples);
    if (!due() || samples == nullptr) return;
    if (mapping_.smooth) return render_smooth(samples, counts, fractions);
    // Index bytes through the mapping, then the plain path over them.
    const size_t n = static_cast<size_t>(width_) * height_ * supersampling_ * supersampling_;
    mapped_.resize(n);
    uint8_t* out = mapped_.data();
    const double density = mapping_.density, phase = mapping_.phase;
    for (size_t i = 0; i < n; ++i) {
        // A count of 0 beside a value byte: a view stored without its counts.
        const uint32_t c = counts[i] != 0 ? uint32_t{counts[i]} : samples[i];
        out[i] = samples[i] == 0 ? 0 : mapped_index(c, density, phase);
    }
    render(mapped_.data());
}

template <class Count>
void RgbImage::render_smooth(const uint8_t* samples, const Count* counts, const float* fractions) {
    const size_t f = static_cast<size_t>(supersampling_);
    const size_t w = static_cast<size_t>(width_), h = static_cast<size_t>(height_);
    const size_t n = w * h * f * f;
    mapped_.resize(3 * n);
    uint8_t* rgb = mapped_.data();
    const double density = mapping_.density, phase = mapping_.phase;
    for (size_t i = 0; i < n; ++i, rgb += 3) {
        if (samples[i] == 0) {
            rgb[0] = palette_[0], rgb[1] = palette_[1], rgb[2] = palette_[2];
            continue;
        }
        const uint32_t c = counts[i] != 0 ? uint32_t{counts[i]} : samples[i];
        const float code = fractions != nullptr ? fractions[i] : 0.0f;
        const double s = static_cast<double>(c) + (code >= 1.0f ? code - 1.0 : 0.0);
        const double t = (s - 1.0) / density + phase;
        const double whole = std::floor(t);
        const double u = t - whole;
        const size_t k = whole < 0x1p53 ? static_cast<uint64_t>(whole) % 255u + 1u : 1u;
        const size_t k2 = k % 255u + 1u;
        for (int ch = 0; ch < 3; ++ch) {
            const double v = palette_[3 * k + ch] * (1.0 - u) + palette_[3 * k2 + ch] * u;
            rgb[ch] = static_cast<uint8_t>(std::clamp(v + 0.5, 0.0, 255.0));
        }
    }
    uint8_t* out = pixels_.data();
    const uint8_t* in = mapped_.data();
    if (f == 1) {
        std::memcpy(out, in, 3 * n);
    } else {
        // As the plain path: linear shares of each sample, summed, through gamma.
        const uint32_t area = static_cast<uint32_t>(f * f);
        for (size_t r = 0; r < h; ++r) {
            for (size_t col = 0; col < w; ++col) {
                uint32_t acc[3] = {16, 16, 16};
                for (size_t j = 0; j < f; ++j) {
                    const uint8_t* p = in + 3 * ((r * f + j) * w * f + col * f);
                    for (size_t k = 0; k < f; ++k)
                        for (int ch = 0; ch < 3; ++ch)
                            acc[ch] += linear_table_[p[3 * k + ch]] / area;
                }
                for (int ch = 0; ch < 3; ++ch) out[ch] = gamma_table_[(acc[ch] >> 5) & 0x7ff];
                out += 3;
            }
        }
    }
    mark_rendered();
}

void RgbImage::render(const uint8_t* samples) {
    if (!due()) return;
    // Without samples there is nothing to show; keep the flags so the next
    // real call still rebuilds.
    if (samples == nullptr) return;

    const size_t w = static_cast<size_t>(width_);
    const size_t h = static_cast<size_t>(height_);
    uint8_t* out = pixels_.data();

    if (supersampling_ == 1) {
        const size_t n = w * h;
        for (size_t i = 0; i < n; ++i) {
            const uint8_t* c = palette_ + 3 * static_cast<size_t>(samples[i]);
            out[0] = c[0];
            out[1] = c[1];
            out[2] = c[2];
            out += 3;
        }
    } else {
        const size_t f = static_cast<size_t>(supersampling_);
        const size_t row_step = f * f * w;
        // The last offset leads to the next block, which is reached directly.
        const int steps = sample_count_ - 1;
        const std::ptrdiff_t* offsets = sample_offsets_;
        const uint64_t* table = sample_table_;
        const uint8_t* gamma = gamma_table_;
        constexpr uint64_t kRounding = 16 | (16ull << 16) | (16ull << 32);
        for (size_t r = 0; r < h; ++r) {
            const uint8_t* block = samples + r * row_step;
            for (size_t c = 0; c < w; ++c, block += f) {
                const uint8_t* p = block;
                uint64_t acc = kRounding + table[*p];
                for (int s = 0; s < steps; ++s) {
                    p += offsets[s];
                    acc += table[*p];
                }
                out[0] = gamma[(acc >> 5) & 0x7ff];
                out[1] = gamma[(acc >> 21) & 0x7ff];
                out[2] = gamma[(acc >> 37) & 0x7ff];
                out += 3;
            }
        }
    }

    mark_rendered();
}

void RgbImage::cycle_palette(int shift) {
    const int b = shift % 255;  // remainder takes the sign of shift
    if (b == 0) return;
    // new[i] = old[1 + ((i - 1 - b) mod 255)]: a left rotation of entries 1..255
    // by (-b) mod 255.
    const int left = (255 - b) % 255;
    std::rotate(sample_table_ + 1, sample_table_ + 1 + left, sample_table_ + 256);
    std::rotate(palette_ + 3, palette_ + 3 + 3 * left, palette_ + 768);
    dirty = true;
}

bool RgbImage::write_palette(std::FILE* stream) const {
    if (stream == nullptr) return false;
    // Flush so that a full device is reported here and not lost in the buffer.
    return std::fwrite(palette_, 1, sizeof palette_, stream) == sizeof palette_ &&
           std::fflush(stream) == 0;
}

}  // namespace quorvel
