#include "refine/refine.h"

#include <algorithm>
#include <cmath>

#include "base/free_pages.h"
#include "generators/generator_factory.h"
#include "history/history.h"

namespace quorvel {

namespace {

// With smooth colouring, a view the strategy finished still iterates, on
// every pixel, the escaped pixels without a fraction of their own: those it
// filled from their borders (or computed before smooth colouring was on).
bool iterate_for_fractions(const Context& ctx, HistEntry& entry) {
    if (!ctx.mapping.smooth || entry.fractal->unmark_without_fraction() == 0) return false;
    entry.generator = make_generator(2, *entry.fractal);
    entry.generator->set_preview(false);
    return true;
}

// The statistics a slice leaves on its entry; the generator goes once done.
void finish_slice(const Context& ctx, HistEntry& entry, bool worked, const Stopwatch& slice) {
    if (!worked && !iterate_for_fractions(ctx, entry)) entry.finished = true;
    entry.cleverness = static_cast<float>(entry.fractal->cleverness());
    entry.progress = static_cast<float>(entry.generator->fraction_done());
    entry.time_spent += static_cast<float>(slice.elapsed());
    if (entry.finished) {
        entry.generator.reset();
        entry.fractal->drop_ahead();          // values computed ahead and never asked for
        entry.fractal->release_references();  // a finished view needs no references
    }
}

// One slice of work on an entry: the reference search of a perturbed view
// first, in slices of its own, then the generator.
bool refine_entry(Context& ctx, HistEntry& entry) {
    Fractal& view = *entry.fractal;
    view.set_deep_kernel(ctx.deep_kernel);
    view.set_smooth(ctx.mapping.smooth);
    // References beside the main one share half the budget.
    view.set_reference_budget(ctx.memory_limit / 2);
    if (view.deep_kernel_pending()) {
        view.prepare_deep_kernel(kSliceSeconds);
        return true;
    }
    return entry.generator->refine(kSliceSeconds);
}

int normalised_type(int type) { return static_cast<unsigned>(type) > 2 ? 0 : type; }

void apply_generator_type(HistEntry& entry, int type) {
    if (type == entry.generator_type) return;
    entry.generator_type = type;
    entry.generator.reset();
    entry.finished = false;
}

void advance_cycling(Context& ctx) {
    const float speed = ctx.cycling_speed;
    if (speed == 0.0f || !std::isfinite(speed)) return;
    const double t = ctx.cycle_timer.lap() + ctx.cycling_phase;
    ctx.cycling_phase = static_cast<float>(t);
    const float steps = std::trunc(ctx.cycling_phase * speed);
    if (!std::isfinite(steps)) {
        ctx.cycling_phase = 0.0f;
        return;
    }
    // Only the step count modulo 255 matters to the palette, which keeps a
    // long pause from overflowing the integer shift.
    const int shift = std::fabs(steps) < 2147483520.0f ? static_cast<int>(steps)
                                                       : static_cast<int>(std::fmod(steps, 255.0f));
    ctx.rgb_image->cycle_palette(shift);
    ctx.cycling_phase = ctx.cycling_phase - steps / speed;
}

}  // namespace

void ensure_generator(Context& ctx, int32_t index) {
    HistEntry& entry = ctx.entries[static_cast<size_t>(index)];
    if (entry.generator) return;
    entry.generator = make_generator(entry.generator_type, *entry.fractal);
    entry.generator->preview_cell = 12 * entry.supersampling;
    entry.generator->reset_preview();
    // A moved or partly computed view (progress not exactly 0) never starts
    // with a preview, nor does a background entry.
    const bool on = index == ctx.current && ctx.preview && entry.progress == 0.0f;
    entry.generator->set_preview(on);
}

bool refine_image(Context& ctx) {
    Stopwatch slice;
    HistEntry& entry = ctx.current_entry();
    if (entry.finished) return false;
    const MaskedImage* image = entry.fractal->image();
    const bool packed = image != nullptr && image->is_packed();
    ensure_generator(ctx, ctx.current);
    entry.trimmed = false;
    const bool worked = refine_entry(ctx, entry);
    // Unpacking freed the packed streams.
    if (packed) release_free_pages();
    if (worked)
        ctx.rgb_image->pending = true;
    else
        ctx.rgb_image->dirty = true;
    finish_slice(ctx, entry, worked, slice);
    return true;
}

bool refine_history(Context& ctx) {
    int32_t chosen = -1;
    for (int32_t distance = 1; distance <= ctx.last; ++distance) {
        for (int32_t index : {ctx.current + distance, ctx.current - distance}) {
            if (index < 0 || index > ctx.last) continue;
            HistEntry& entry = ctx.entries[static_cast<size_t>(index)];
            if (entry.finished || entry.trimmed || !entry.fractal) continue;
            if (chosen < 0)
                chosen = index;
            else if (entry.generator) {
                entry.generator.reset();  // at most one background generator
                entry.fractal->drop_ahead();
            }
        }
    }
    if (chosen < 0) return false;
    Stopwatch slice;
    HistEntry& entry = ctx.entries[static_cast<size_t>(chosen)];
    ensure_generator(ctx, chosen);
    const bool worked = refine_entry(ctx, entry);
    finish_slice(ctx, entry, worked, slice);
    // The slice unpacked that view and grew its lookahead and references: the
    // budget holds between navigations too.
    trim_memory(ctx);
    return true;
}

int set_generator_type(Context& ctx, int type) {
    type = normalised_type(type);
    apply_generator_type(ctx.current_entry(), type);
    return type;
}

int change_generator_type(Context& ctx) {
    int type = ctx.current_entry().generator_type + 1;
    if (type >= 3 || type < 0) type = 0;
    apply_generator_type(ctx.current_entry(), type);
    return type;
}

bool toggle_preview(Context& ctx) {
    ctx.preview = !ctx.preview;
    if (Generator* generator = ctx.current_entry().generator.get())
        generator->set_preview(ctx.preview);
    return ctx.preview;
}

int set_deep_kernel(Context& ctx, int mode) {
    const int before = static_cast<int>(ctx.deep_kernel);
    if (mode < 0 || mode > 3 || mode == before) return before;
    ctx.deep_kernel = static_cast<DeepKernel>(mode);
    // Pixels past the double path came from the other kernel: compute them again.
    Fractal& view = ctx.current_view();
    if (view.has_tables() && view.uses_big_float()) reset_current_view(ctx);
    view.set_deep_kernel(ctx.deep_kernel);
    return before;
}

void recount_stored_views(Context& ctx) {
    if (ctx.mapping.is_default()) return;
    // Views read from a file without their counts are computed again: their
    // value bytes cannot give counts above 255.
    for (int32_t i = 0; i <= ctx.last; ++i) {
        HistEntry& entry = ctx.entries[static_cast<size_t>(i)];
        if (!entry.fractal || !entry.fractal->image() || entry.fractal->image()->counts_known())
            continue;
        entry.generator.reset();
        entry.fractal->discard_image();
        entry.finished = false;
        entry.progress = 0.0f;
    }
    recompute_memory_used(ctx);
}

bool set_colour_mapping(Context& ctx, double density, double phase, bool smooth) {
    if (!(density > 0.0) || !std::isfinite(density) || std::isnan(phase)) return false;
    // Phases beyond doubles' integers have no fraction left: taken as 0.
    double p = std::isfinite(phase) ? std::fmod(phase, 256.0) : 0.0;
    if (p < 0.0) p += 256.0;
    if (p >= 256.0) p = 0.0;
    const bool smooth_on = smooth && !ctx.mapping.smooth;
    ctx.mapping = ColourMapping{density, p, smooth};
    ctx.rgb_image->set_mapping(ctx.mapping);
    recount_stored_views(ctx);
    // Views finished without fractions get them at their next refinement.
    if (smooth_on)
        for (int32_t i = 0; i <= ctx.last; ++i) {
            HistEntry& entry = ctx.entries[static_cast<size_t>(i)];
            if (entry.fractal && entry.finished) entry.finished = false;
        }
    return true;
}

size_t copy_pixel_counts(Fractal& view, uint32_t* counts, float* smooth, size_t capacity) {
    const size_t n = static_cast<size_t>(view.width()) * static_cast<size_t>(view.height());
    if (counts == nullptr || capacity < n) return n;
    MaskedImage* image = view.image();
    if (image == nullptr) {
        std::fill(counts, counts + n, 0u);
        if (smooth) std::fill(smooth, smooth + n, 0.0f);
        return n;
    }
    image->unpack();
    const float* fractions = image->fractions();
    // Filled pixels are not marked computed but have their count; pixels
    // never reached have none. Counts below a lowered limit stay right, and
    // those above it stand for the new limit until computed again.
    const uint32_t limit = view.max_iterations();
    image->counts().visit([&](const auto* stored) {
        for (size_t i = 0; i < n; ++i) {
            const uint32_t c = std::min<uint32_t>(stored[i], limit);
            counts[i] = c;
            if (smooth == nullptr) continue;
            const float code = fractions != nullptr && c != 0 ? fractions[i] : 0.0f;
            // Rounded to a float, s stays below n + 1.
            const float whole = static_cast<float>(c);
            const float s =
                static_cast<float>(static_cast<double>(c) + (code >= 1.0f ? code - 1.0 : 0.0));
            smooth[i] = s < whole + 1.0f ? s : std::nextafter(whole + 1.0f, 0.0f);
        }
    });
    return n;
}

uint8_t* get_rgb_image(Context& ctx) {
    HistEntry& entry = ctx.current_entry();
    entry.trimmed = false;
    advance_cycling(ctx);
    MaskedImage& image = entry.fractal->image_for_use();
    ctx.rgb_image->set_mapping(ctx.mapping);
    ctx.rgb_image->render(image.values_for_use(), image.counts(), image.fractions());
    return ctx.rgb_image->pixels();
}

}  // namespace quorvel
