// The history file: tag lines and little-endian fields, one section per object.
// Saving goes through a temporary file so a failure never costs the previous
// file; loading checks the whole file before it touches the context.
#include "persist/history_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/atomic_file.h"
#include "base/free_pages.h"
#include "base/little_endian.h"
#include "history/history.h"
#include "storage/count_code.h"
#include "storage/fraction_code.h"

namespace quorvel {

namespace {

constexpr std::string_view kMagic = "quorvel\n";
constexpr std::string_view kContextTag = "Context\n";
constexpr std::string_view kEntryTag = "HistEntry\n";
constexpr std::string_view kFractalTag = "Fractal\n";
constexpr std::string_view kImageTag = "MaskedImage\n";
constexpr std::string_view kNullTag = "NULL\n";
constexpr std::string_view kVersion0 = "v000\n";
constexpr std::string_view kVersion1 = "v001\n";
constexpr std::string_view kVersion2 = "v002\n";
constexpr std::string_view kVersion3 = "v003\n";

// Limits of what a loaded file may ask for. Grids are addressed with 16-bit
// boxes; the output picture of the current entry is allocated by the load
// itself, so it is kept well below what a damaged size field could demand.
constexpr int64_t kMaxGridSide = 32767;
constexpr int64_t kMaxOutputPixels = int64_t(1) << 26;
constexpr uint32_t kMaxCapacity = 65536;
constexpr uint32_t kLargestBudget = 1073741824u;
// Coordinate tables are built for every loaded view: 32 + 8 bytes per column
// and per row. A history this engine writes needs far less than the largest
// budget, so a file asking for more is damaged.
constexpr uint64_t kMaxTableBytes = kLargestBudget;
// The smallest entry: tag, section, "Fractal\n", view section and "NULL\n".
constexpr size_t kMinEntryBytes = 10 + 35 + 8 + 173 + 5;

// ---------------------------------------------------------------------------
// Writing

// Collects the first failure, so a section can be written without a check
// after every field.
class Writer {
public:
    explicit Writer(std::FILE* f) : f_(f) {}

    void bytes(const void* p, size_t n) {
        if (ok_ && n != 0 && std::fwrite(p, 1, n, f_) != n) ok_ = false;
    }
    void tag(std::string_view s) { bytes(s.data(), s.size()); }
    void u8(uint8_t v) { bytes(&v, 1); }
    void u32(uint32_t v) {
        uint8_t b[4];
        store_le32(b, v);
        bytes(b, 4);
    }
    void i32(int32_t v) { u32(static_cast<uint32_t>(v)); }
    void f32(float v) {
        uint32_t u;
        std::memcpy(&u, &v, 4);
        u32(u);
    }
    void f64(double v) {
        uint64_t u;
        std::memcpy(&u, &v, 8);
        uint8_t b[8];
        store_le64(b, u);
        bytes(b, 8);
    }
    void big(const BigFloat& b) {
        uint8_t out[32];
        b.store(out);
        bytes(out, 32);
    }
    void i64(int64_t v) {
        uint8_t b[8];
        store_le64(b, static_cast<uint64_t>(v));
        bytes(b, 8);
    }
    void ext(ExtFloat v) {
        f64(v.m);
        i64(v.e);
    }
    void wide(const WideReal& v) {
        std::vector<uint8_t> out;
        v.store(out);
        bytes(out.data(), out.size());
    }
    void fail() { ok_ = false; }
    bool ok() const { return ok_; }
    std::FILE* file() const { return f_; }

private:
    std::FILE* f_;
    bool ok_ = true;
};

// With a mapping other than the plain one the counts and fractions go along,
// so the pictures come back without computing; otherwise the form stays the
// one files had before counts.
void write_storage(Writer& w, MaskedImage& image, bool with_counts) {
    // The file holds the packed form; the unpacked one comes back on next use.
    image.pack();
    const std::vector<uint8_t>& mask = image.packed_mask();
    const std::vector<uint8_t>& values = image.packed_values();
    const std::vector<uint8_t>& counts = image.packed_counts();
    const std::vector<uint8_t>& fractions = image.packed_fractions();
    if (mask.size() > UINT32_MAX || values.size() > UINT32_MAX || counts.size() > UINT32_MAX ||
        fractions.size() > UINT32_MAX)
        return w.fail();
    w.tag(with_counts ? kVersion3 : kVersion1);
    w.i32(image.width());
    w.i32(image.height());
    w.u32(static_cast<uint32_t>(values.size()));
    w.u32(static_cast<uint32_t>(mask.size()));
    w.bytes(mask.data(), mask.size());
    w.bytes(values.data(), values.size());
    if (!with_counts) return;
    w.u32(static_cast<uint32_t>(counts.size()));
    w.u32(static_cast<uint32_t>(fractions.size()));
    w.bytes(counts.data(), counts.size());
    w.bytes(fractions.data(), fractions.size());
}

void write_view(Writer& w, Fractal& view, bool full, bool with_counts) {
    const FractalRecord r = view.record();
    // Views within 192 bits keep the first form, byte for byte.
    w.tag(r.wide ? kVersion1 : kVersion0);
    w.big(r.centre_x);
    w.big(r.centre_y);
    w.big(r.origin_x);
    w.big(r.origin_y);
    w.f64(r.step_x);
    w.f64(r.step_y);
    w.f64(r.radius);
    w.i32(r.width);
    w.i32(r.height);
    w.u32(r.max_iterations);
    if (r.wide) {
        w.wide(r.wide->centre_x);
        w.wide(r.wide->centre_y);
        w.ext(r.wide->radius);
        w.ext(r.wide->step_x);
        w.ext(r.wide->step_y);
    }
    MaskedImage* image = view.image();
    if (full && image != nullptr) {
        w.u32(r.computed_count);
        w.tag(kImageTag);
        write_storage(w, *image, with_counts);
    } else {
        w.u32(0);
        w.tag(kNullTag);
    }
}

void write_entry(Writer& w, HistEntry& entry, bool full, bool with_counts) {
    w.tag(kEntryTag);
    w.tag(kVersion0);
    w.i32(entry.width);
    w.i32(entry.height);
    w.i32(entry.supersampling);
    w.i32(entry.generator_type);
    w.f32(full ? entry.cleverness : 0.0f);
    w.f32(full ? entry.progress : 0.0f);
    w.f32(full ? entry.time_spent : 0.0f);
    w.u8(full && entry.finished ? 1 : 0);
    w.u8(entry.trimmed ? 1 : 0);
    if (entry.fractal) {
        w.tag(kFractalTag);
        write_view(w, *entry.fractal, full, with_counts);
    } else {
        w.tag(kNullTag);
    }
}

void write_history(Writer& w, Context& ctx, bool full) {
    w.tag(kMagic);
    w.tag(kContextTag);
    const bool mapped = !ctx.mapping.is_default();
    w.tag(mapped ? kVersion1 : kVersion0);
    w.u32(ctx.memory_limit);
    w.u32(ctx.capacity);
    w.i32(ctx.current);
    w.i32(ctx.last);
    w.u8(ctx.preview ? 1 : 0);
    w.f32(ctx.gamma);
    w.f32(ctx.cycling_speed);
    if (w.ok() && !ctx.rgb_image->write_palette(w.file())) w.fail();
    if (mapped) {
        w.f64(ctx.mapping.density);
        w.f64(ctx.mapping.phase);
        w.u8(ctx.mapping.smooth ? 1 : 0);
    }
    for (int32_t i = 0; i <= ctx.last && w.ok(); ++i)
        write_entry(w, ctx.entries[static_cast<size_t>(i)], full, mapped);
}

// ---------------------------------------------------------------------------
// Reading

// The file read in order, in pieces: fields through a small window, the
// packed streams straight into vectors of their own, so the file is never
// held whole beside the views made from it. Every read is bounded by what is
// left of the file's size, so a damaged length never allocates beyond it.
class Cursor {
public:
    Cursor(int fd, size_t size) : fd_(fd), left_(size) {}

    size_t left() const { return left_; }
    // n bytes, valid until the next read.
    bool take(size_t n, const uint8_t*& out) {
        if (n > left_ || !fill(n)) return false;
        out = window_.data() + start_;
        start_ += n;
        left_ -= n;
        return true;
    }
    // n bytes into a vector of their own.
    bool take(size_t n, std::vector<uint8_t>& out) {
        if (n > left_) return false;
        out.resize(n);
        const size_t buffered = std::min(n, window_.size() - start_);
        if (buffered != 0) std::memcpy(out.data(), window_.data() + start_, buffered);
        start_ += buffered;
        if (!read_fully(out.data() + buffered, n - buffered)) return false;
        left_ -= n;
        return true;
    }
    bool tag(std::string_view s) {
        if (s.size() > left_ || !fill(s.size()) ||
            std::memcmp(window_.data() + start_, s.data(), s.size()) != 0)
            return false;
        start_ += s.size();
        left_ -= s.size();
        return true;
    }
    bool u8(uint8_t& v) {
        const uint8_t* b;
        if (!take(1, b)) return false;
        v = b[0];
        return true;
    }
    bool flag(bool& v) {
        uint8_t b;
        if (!u8(b) || b > 1) return false;
        v = b != 0;
        return true;
    }
    bool u32(uint32_t& v) {
        const uint8_t* b;
        if (!take(4, b)) return false;
        v = load_le32(b);
        return true;
    }
    bool i32(int32_t& v) {
        uint32_t u;
        if (!u32(u)) return false;
        v = static_cast<int32_t>(u);
        return true;
    }
    bool f32(float& v) {
        uint32_t u;
        if (!u32(u)) return false;
        std::memcpy(&v, &u, 4);
        return std::isfinite(v);
    }
    bool f64(double& v) {
        const uint8_t* b;
        if (!take(8, b)) return false;
        const uint64_t u = load_le64(b);
        std::memcpy(&v, &u, 8);
        return std::isfinite(v);
    }
    bool big(BigFloat& v) {
        const uint8_t* b;
        if (!take(32, b)) return false;
        // Arithmetic relies on a normalised significand; the file may not.
        v = BigFloat::load(b).normalised();
        return true;
    }
    bool i64(int64_t& v) {
        const uint8_t* b;
        if (!take(8, b)) return false;
        v = static_cast<int64_t>(load_le64(b));
        return true;
    }
    // A normalised ExtFloat: zero, or a mantissa of magnitude in [1, 2).
    bool ext(ExtFloat& v) {
        double m;
        int64_t e;
        if (!f64(m) || !i64(e)) return false;
        if (m == 0.0 ? e != 0 : !(std::fabs(m) >= 1.0 && std::fabs(m) < 2.0)) return false;
        v = ExtFloat::make(m, e);
        return true;
    }
    bool wide(WideReal& v) {
        // The 17-byte head ends with the count of 32-bit words that follow.
        constexpr size_t kHead = 17;
        if (kHead > left_ || !fill(kHead)) return false;
        const uint64_t words = load_le32(window_.data() + start_ + 13);
        const size_t whole = static_cast<size_t>(std::min<uint64_t>(kHead + 4 * words, left_));
        if (!fill(whole)) return false;
        const size_t n = WideReal::load(window_.data() + start_, whole, v);
        if (n == 0) return false;
        start_ += n;
        left_ -= n;
        return true;
    }

private:
    // At least n bytes in the window from start_; n never exceeds left_.
    bool fill(size_t n) {
        const size_t have = window_.size() - start_;
        if (have >= n) return true;
        window_.erase(window_.begin(), window_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
        // Small fields are read ahead in blocks, never past the file's end.
        const size_t want = std::min(std::max(n, kBlock), left_);
        window_.resize(want);
        return read_fully(window_.data() + have, want - have);
    }
    bool read_fully(uint8_t* p, size_t n) {
        while (n != 0) {
            const ssize_t r = ::read(fd_, p, n);
            if (r > 0) {
                p += r;
                n -= static_cast<size_t>(r);
            } else if (r == 0 || errno != EINTR) {
                return false;  // shorter than its size, or unreadable
            }
        }
        return true;
    }

    static constexpr size_t kBlock = 1 << 16;
    int fd_;
    size_t left_;  // bytes of the file not yet handed out
    std::vector<uint8_t> window_;
    size_t start_ = 0;  // first byte of window_ not yet handed out
};

struct LoadedHistory {
    uint32_t memory_limit = 0;
    uint32_t capacity = 0;
    int32_t current = 0;
    int32_t last = 0;
    bool preview = false;
    float gamma = 0.0f;
    float cycling_speed = 0.0f;
    uint8_t palette[768] = {};
    ColourMapping mapping;
    std::vector<HistEntry> entries;
    uint64_t table_bytes = 0;
};

// A storage section; `width` and `height` are the view's.
bool read_storage(Cursor& in, int32_t width, int32_t height, std::unique_ptr<MaskedImage>& out) {
    const uint8_t* line;
    if (!in.take(5, line) || line[0] != 'v' || line[4] != '\n') {
        std::fputs("Puke!\n", stdout);
        std::fflush(stdout);
        return false;
    }
    // Only the forms this engine knows (v000 to v003) are read; any other
    // number would be a layout it cannot know.
    for (int i = 1; i <= 3; ++i)
        if (line[i] < '0' || line[i] > '9') return false;
    const int version = (line[1] - '0') * 100 + (line[2] - '0') * 10 + (line[3] - '0');
    if (version > 3) return false;

    int32_t w, h;
    uint32_t values_size;
    if (!in.i32(w) || !in.i32(h) || w != width || h != height || !in.u32(values_size)) return false;
    std::vector<uint8_t> values;
    if (version == 0) {
        const size_t mask_size = static_cast<size_t>(MaskedImage::stride_for(w)) * h;
        std::vector<uint8_t> mask;
        if (!in.take(mask_size, mask) || !in.take(values_size, values)) return false;
        out = std::make_unique<MaskedImage>(
            MaskedImage::from_run_length(w, h, std::move(mask), values.data(), values.size()));
        return true;
    }
    uint32_t mask_size;
    std::vector<uint8_t> mask;
    if (!in.u32(mask_size) || !in.take(mask_size, mask) || !in.take(values_size, values))
        return false;
    out = std::make_unique<MaskedImage>(
        MaskedImage::from_packed(w, h, std::move(mask), std::move(values)));
    if (version == 1) return true;
    uint32_t counts_size, fractions_size;
    std::vector<uint8_t> counts, fractions;
    const uint64_t pixels = uint64_t(w) * uint64_t(h);
    if (!in.u32(counts_size) || !in.u32(fractions_size) || !in.take(counts_size, counts) ||
        !in.take(fractions_size, fractions))
        return false;
    // v002 kept each fraction as an f32, v003 as 16 bits (storage/fraction_code.h).
    const uint64_t size_each = version == 2 ? 4 : 2;
    if (fractions_size != 0 && fractions_size != size_each * pixels) return false;
    if (version == 2 && fractions_size != 0) {
        // Fraction codes are 0 or in [1, 2).
        std::vector<float> codes(static_cast<size_t>(pixels));
        for (size_t i = 0; i < codes.size(); ++i) {
            const uint32_t u = load_le32(fractions.data() + 4 * i);
            std::memcpy(&codes[i], &u, 4);
            if (codes[i] != 0.0f && !(codes[i] >= 1.0f && codes[i] < 2.0f)) return false;
        }
        fractions = pack_fractions(codes.data(), codes.size());
    }
    // Counts must decode to the grid.
    if (!counts_decode(counts.data(), counts.size(), w, h)) return false;
    out->set_packed_counts(std::move(counts), std::move(fractions));
    return true;
}

// A view section for an entry of the given output size.
bool read_view(Cursor& in, const HistEntry& entry, LoadedHistory& h,
               std::unique_ptr<Fractal>& out) {
    FractalRecord r;
    const bool wide = in.tag(kVersion1);
    if (!wide && !in.tag(kVersion0)) return false;
    if (!in.big(r.centre_x) || !in.big(r.centre_y) || !in.big(r.origin_x) || !in.big(r.origin_y) ||
        !in.f64(r.step_x) || !in.f64(r.step_y) || !in.f64(r.radius) || !in.i32(r.width) ||
        !in.i32(r.height) || !in.u32(r.max_iterations))
        return false;
    if (wide) {
        WideView v;
        if (!in.wide(v.centre_x) || !in.wide(v.centre_y) || !in.ext(v.radius) ||
            !in.ext(v.step_x) || !in.ext(v.step_y))
            return false;
        // Steps are derived from the radius: a step far from it is damage,
        // and would make exact coordinates huge.
        if (!holdable_place(v.centre_x, v.centre_y, v.radius) || v.step_x.is_zero() ||
            v.step_y.is_zero() || std::llabs(v.step_x.e - v.radius.e) > 64 ||
            std::llabs(v.step_y.e - v.radius.e) > 64)
            return false;
        h.table_bytes += static_cast<uint64_t>(v.centre_x.precision() + v.centre_y.precision()) / 8;
        r.wide = std::move(v);
    }
    if (!in.u32(r.computed_count)) return false;
    if (int64_t(r.width) != int64_t(entry.width) * entry.supersampling ||
        int64_t(r.height) != int64_t(entry.height) * entry.supersampling ||
        r.width > kMaxGridSide || r.height > kMaxGridSide)
        return false;
    // Every table entry i x step must stay a finite number.
    if (!std::isfinite(r.step_x * r.width) || !std::isfinite(r.step_y * r.height)) return false;
    // The engine never runs a view with fewer than 2 iterations.
    if (r.max_iterations < 2) return false;
    if (uint64_t(r.computed_count) > uint64_t(r.width) * uint64_t(r.height)) return false;
    h.table_bytes += 40 * (uint64_t(r.width) + uint64_t(r.height));
    if (h.table_bytes > kMaxTableBytes) return false;

    std::unique_ptr<MaskedImage> image;
    if (in.tag(kImageTag)) {
        if (!read_storage(in, r.width, r.height, image)) return false;
    } else if (!in.tag(kNullTag) || r.computed_count != 0) {
        return false;
    }
    out = std::make_unique<Fractal>(r, std::move(image));
    return true;
}

bool read_entry(Cursor& in, LoadedHistory& h, HistEntry& entry) {
    if (!in.tag(kEntryTag) || !in.tag(kVersion0) || !in.i32(entry.width) || !in.i32(entry.height) ||
        !in.i32(entry.supersampling) || !in.i32(entry.generator_type) ||
        !in.f32(entry.cleverness) || !in.f32(entry.progress) || !in.f32(entry.time_spent) ||
        !in.flag(entry.finished) || !in.flag(entry.trimmed))
        return false;
    if (entry.width <= 0 || entry.height <= 0 || entry.supersampling < 1 ||
        entry.supersampling > 8 || entry.generator_type < 0 || entry.generator_type > 2 ||
        int64_t(entry.width) * entry.height > kMaxOutputPixels)
        return false;
    if (!in.tag(kFractalTag) || !read_view(in, entry, h, entry.fractal)) return false;
    // A finished view without pixels would never be computed again.
    if (entry.finished && entry.fractal->image() == nullptr) return false;
    return true;
}

bool read_history(Cursor& in, LoadedHistory& h) {
    if (!in.tag(kMagic) || !in.tag(kContextTag)) return false;
    const bool mapped = in.tag(kVersion1);
    if (!mapped && !in.tag(kVersion0)) return false;
    if (!in.u32(h.memory_limit) || !in.u32(h.capacity) || !in.i32(h.current) || !in.i32(h.last) ||
        !in.flag(h.preview) || !in.f32(h.gamma) || !in.f32(h.cycling_speed))
        return false;
    const uint8_t* palette;
    if (!in.take(sizeof h.palette, palette)) return false;
    std::memcpy(h.palette, palette, sizeof h.palette);
    if (mapped &&
        (!in.f64(h.mapping.density) || !in.f64(h.mapping.phase) || !in.flag(h.mapping.smooth) ||
         !(h.mapping.density > 0.0) || !(h.mapping.phase >= 0.0 && h.mapping.phase < 256.0)))
        return false;
    if (h.capacity < 1 || h.capacity > kMaxCapacity || h.current < 0 || h.current > h.last ||
        static_cast<uint32_t>(h.last) >= h.capacity || !(h.gamma > 0.0f))
        return false;
    // Every entry takes room in the file: the count is checked before any
    // slot is allocated.
    const size_t count = static_cast<size_t>(h.last) + 1;
    if (count > in.left() / kMinEntryBytes) return false;
    h.entries.resize(count);
    for (HistEntry& entry : h.entries)
        if (!read_entry(in, h, entry)) return false;
    // Nothing may follow the last entry.
    return in.left() == 0;
}

// The file is read once, in order; its size bounds every read. The type is
// checked before any read, and the open does not wait: a FIFO or a device is
// refused instead of blocking the caller. The current view's pixels are
// packed before the new views are made: the old history stays whole until the
// new one is known good, but its largest part need not be held unpacked beside
// it (it unpacks on next use).
bool read_file(const char* path, Context& ctx, LoadedHistory& h) {
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    // Closed on every way out, a failed allocation included.
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return false;
    if (MaskedImage* image = ctx.current_view().image()) image->pack();
    Cursor in(fd, static_cast<size_t>(st.st_size));
    return read_history(in, h);
}

}  // namespace

bool save_history(Context& ctx, const char* path, bool full) {
    if (path == nullptr || *path == '\0') return false;
    common::AtomicFile file;
    std::string error;
    if (!file.open(path, error)) return false;
    // The stream writes through a copy of the descriptor; the file keeps its
    // own to sync, rename, or remove the temporary file on any failure.
    const int fd = ::dup(file.fd());
    std::FILE* f = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
    if (f == nullptr) {
        if (fd >= 0) ::close(fd);
        return false;
    }
    std::setvbuf(f, nullptr, _IOFBF, 1 << 16);

    Writer w(f);
    try {
        write_history(w, ctx, full);
    } catch (...) {
        // Packing ran out of memory: no half-written file may stay behind.
        w.fail();
    }
    bool ok = w.ok();
    ok = std::fflush(f) == 0 && ok;
    ok = std::fclose(f) == 0 && ok;
    ok = ok && file.commit(error);

    // Packing changed the sizes of stored views, and freed their arrays.
    if (full) recompute_memory_used(ctx);
    release_free_pages();
    return ok;
}

bool load_history(Context& ctx, const char* path) {
    if (path == nullptr) return false;
    LoadedHistory h;
    if (!read_file(path, ctx, h)) return false;
    const HistEntry& shown = h.entries[static_cast<size_t>(h.current)];
    // Everything that allocates happens before the context is touched.
    auto picture = std::make_unique<RgbImage>(shown.width, shown.height);
    picture->set_palette(h.palette);
    picture->set_gamma_and_supersampling(h.gamma, shown.supersampling);
    h.entries.resize(h.capacity);

    ctx.entries.swap(h.entries);
    ctx.rgb_image.swap(picture);
    ctx.capacity = h.capacity;
    ctx.current = h.current;
    ctx.last = h.last;
    ctx.preview = h.preview;
    ctx.gamma = h.gamma;
    ctx.mapping = h.mapping;
    ctx.rgb_image->set_mapping(h.mapping);
    ctx.cycling_speed = h.cycling_speed;
    ctx.cycling_phase = 0.0f;
    ctx.cycle_timer.restart_timer();
    recompute_memory_used(ctx);
    // A larger budget from the file is taken over only when the loaded
    // history needs it; no budget exceeds what a context can be given.
    const uint32_t file_limit = std::min(h.memory_limit, kLargestBudget);
    if (ctx.memory_used > (file_limit >> 2) && file_limit > ctx.memory_limit)
        ctx.memory_limit = file_limit;
    // The views and picture the loaded ones replaced go.
    h.entries.clear();
    picture.reset();
    release_free_pages();
    return true;
}

}  // namespace quorvel
