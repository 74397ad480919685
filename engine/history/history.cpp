#include "history/history.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "base/free_pages.h"

namespace quorvel {

namespace {

// A supersampled grid must stay addressable by the 16-bit pixel boxes.
constexpr int64_t kMaxGridSide = 32767;

int32_t clamp_to_int32(long double v) {
    // NaN moves nothing; everything else saturates so the symmetric range
    // keeps negation safe.
    if (std::isnan(v)) return 0;
    constexpr long double limit = std::numeric_limits<int32_t>::max();
    if (v >= limit) return std::numeric_limits<int32_t>::max();
    if (v <= -limit) return -std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(v);  // truncates toward zero
}

// Budget order: farthest from the current entry first, the newer side before
// the older side at each distance. Calls visit(index) and stops when it
// returns false.
template <class Visit>
void for_each_in_budget_order(const Context& ctx, Visit visit) {
    for (int32_t distance = ctx.last; distance >= 1; --distance) {
        for (int32_t index : {ctx.current + distance, ctx.current - distance}) {
            const bool in_range = index >= 0 && index <= ctx.last;
            if (!visit(index, in_range)) return;
        }
    }
}

// Makes entry `index` current. The picture is resized first: when that fails,
// the history still shows the entry it showed.
void show_entry(Context& ctx, int32_t index) {
    const HistEntry& entry = ctx.entries[static_cast<size_t>(index)];
    ctx.rgb_image->resize(entry.width, entry.height);
    ctx.current = index;
    ctx.rgb_image->set_gamma_and_supersampling(ctx.gamma, entry.supersampling);
}

uint32_t pack_threshold(const Context& ctx) {
    return (ctx.memory_limit >> 1) + (ctx.memory_limit >> 2);
}

// The first pass of trim_memory for one view: packs it, unless it is the one
// whose background generator survives.
void pack_for_budget(HistEntry& entry, bool& generator_kept, uint32_t& used) {
    if (entry.trimmed || !entry.fractal) return;
    if (entry.generator && !generator_kept) {
        generator_kept = true;
        return;
    }
    entry.generator.reset();
    used -= entry.fractal->memory_size();
    entry.fractal->drop_ahead();
    entry.fractal->release_references();
    if (MaskedImage* image = entry.fractal->image()) image->pack();
    used += entry.fractal->memory_size();
}

void clear_statistics(HistEntry& entry) {
    entry.finished = false;
    entry.progress = 0.0f;
    entry.cleverness = 0.0f;
    entry.time_spent = 0.0f;
}

// The second pass of trim_memory for one view: releases its pixels.
void release_for_budget(HistEntry& entry, uint32_t& used) {
    if (entry.trimmed || !entry.fractal) return;
    entry.generator.reset();
    used -= entry.fractal->memory_size();
    entry.fractal->release_data();
    entry.trimmed = true;
    clear_statistics(entry);
    used += entry.fractal->memory_size();
}

// Packs and releases the views that stay as trim_memory will once `current`
// is pushed with a copy of its pixels for the history, and tells whether that
// copy is then packed too. Done before the copy is made, the copy can be
// packed at once and the older views make room first: the pixels never exist
// twice unpacked, and the views released are not held beside the new copy.
bool make_room_for_copy(Context& ctx, const Fractal& current) {
    const MaskedImage& image = *current.image();
    // A copy charges what the view does, less its references and lookahead.
    const uint32_t view_size = Fractal(current, false).memory_size();
    const uint32_t unpacked = view_size + image.memory_size();
    // The views that stay: a full history drops its oldest.
    const int32_t first = static_cast<uint32_t>(ctx.current) + 1 == ctx.capacity ? 1 : 0;
    uint64_t sum = unpacked;
    for (int32_t i = first; i < ctx.current; ++i)
        if (ctx.entries[i].fractal) sum += ctx.entries[i].fractal->memory_size();
    uint32_t used = static_cast<uint32_t>(std::min<uint64_t>(sum, 0xFFFFFFFFu));
    const uint32_t threshold = pack_threshold(ctx);
    if (used <= threshold) return false;
    // Farthest from the new current entry first: the oldest views; the copy
    // is the nearest.
    bool generator_kept = false;
    for (int32_t i = first; i < ctx.current; ++i) {
        pack_for_budget(ctx.entries[i], generator_kept, used);
        if (used <= threshold) return false;
    }
    used = used - unpacked + (view_size + image.packed_size());
    for (int32_t i = first; i < ctx.current && used > ctx.memory_limit; ++i)
        release_for_budget(ctx.entries[i], used);
    return true;
}

}  // namespace

void recompute_memory_used(Context& ctx) {
    uint64_t used = 0;
    for (int32_t i = 0; i <= ctx.last; ++i) {
        if (i == ctx.current || !ctx.entries[i].fractal) continue;
        used += ctx.entries[i].fractal->memory_size();
    }
    ctx.memory_used = used > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(used);
}

Fractal& push_view(Context& ctx, Pixels pixels) {
    if (ctx.capacity < 2) {
        // A one-slot history has nowhere to keep the old view: change in place.
        HistEntry& entry = ctx.current_entry();
        entry.generator.reset();
        clear_statistics(entry);
        ctx.rgb_image->dirty = true;
        trim_memory(ctx);
        return *entry.fractal;
    }
    // The copy the history keeps is made before the entries change, so that a
    // failed allocation leaves the history's views where they were (older
    // ones at most packed or released, as the budget would have them).
    const Fractal& current = *ctx.current_entry().fractal;
    const bool packed = pixels == Pixels::kept && current.image() &&
                        !current.image()->is_packed() && make_room_for_copy(ctx, current);
    auto copy = std::make_unique<Fractal>(current, pixels == Pixels::kept, packed);
    ctx.current_entry().generator.reset();
    ++ctx.current;
    for (uint32_t i = static_cast<uint32_t>(ctx.current); i < ctx.capacity; ++i)
        ctx.entries[i].clear();
    if (static_cast<uint32_t>(ctx.current) == ctx.capacity) {
        // Full: drop the oldest view.
        ctx.current = static_cast<int32_t>(ctx.capacity) - 1;
        ctx.entries[0].clear();
        for (int32_t i = 0; i < ctx.current; ++i) ctx.entries[i] = std::move(ctx.entries[i + 1]);
    }
    HistEntry& previous = ctx.entries[ctx.current - 1];
    HistEntry& entry = ctx.entries[ctx.current];
    entry.generator.reset();
    entry.width = previous.width;
    entry.height = previous.height;
    entry.supersampling = previous.supersampling;
    entry.generator_type = previous.generator_type;
    entry.trimmed = previous.trimmed;
    // The new entry keeps the object with its data, so a move can shift it in
    // place; the history keeps an identical copy.
    entry.fractal = std::move(previous.fractal);
    previous.fractal = std::move(copy);
    if (pixels == Pixels::dropped) entry.fractal->hand_image_to(*previous.fractal);
    clear_statistics(entry);
    ctx.last = ctx.current;
    ctx.rgb_image->dirty = true;
    trim_memory(ctx);
    return *entry.fractal;
}

void trim_memory(Context& ctx) {
    recompute_memory_used(ctx);
    if (ctx.last == 0) return;
    const uint32_t threshold = pack_threshold(ctx);

    if (ctx.memory_used > threshold) {
        bool generator_kept = false;  // one background generator survives
        for_each_in_budget_order(ctx, [&](int32_t index, bool in_range) {
            if (in_range) pack_for_budget(ctx.entries[index], generator_kept, ctx.memory_used);
            return ctx.memory_used > threshold;
        });
    }

    if (ctx.memory_used > ctx.memory_limit) {
        for_each_in_budget_order(ctx, [&](int32_t index, bool in_range) {
            if (in_range) release_for_budget(ctx.entries[index], ctx.memory_used);
            return ctx.memory_used > ctx.memory_limit;
        });
    }
    // Packed and released views leave holes in the heap.
    release_free_pages();
}

bool history_back(Context& ctx) {
    if (ctx.current == 0) return false;
    show_entry(ctx, ctx.current - 1);
    ctx.rgb_image->dirty = true;
    trim_memory(ctx);
    return true;
}

bool history_forward(Context& ctx) {
    if (ctx.current == ctx.last) return false;
    HistEntry& entry = ctx.entries[static_cast<size_t>(ctx.current) + 1];
    entry.fractal->prepare(true);
    show_entry(ctx, ctx.current + 1);
    entry.trimmed = false;
    ctx.rgb_image->dirty = true;
    trim_memory(ctx);
    return true;
}

void zoom_on_window_coord(Context& ctx, int x, int y, float factor) {
    if (!(factor > 0.0f) || !std::isfinite(factor)) factor = 1.0f;
    Fractal& view = push_view(ctx, Pixels::dropped);
    const int64_t ss = ctx.current_entry().supersampling;
    view.zoom_at(clamp_to_int32(static_cast<long double>(x) * ss),
                 clamp_to_int32(static_cast<long double>(y) * ss), factor);
    ctx.rgb_image->dirty = true;
}

void zoom_centered(Context& ctx, float factor) {
    if (!(factor > 0.0f) || !std::isfinite(factor)) return;
    Fractal& view = push_view(ctx, Pixels::dropped);
    const WideReal x = view.exact_centre_x();
    const WideReal y = view.exact_centre_y();
    view.set_view(x, y, view.exact_radius() / ExtFloat(static_cast<double>(factor)));
    ctx.rgb_image->dirty = true;
}

void move_view(Context& ctx, float dx, float dy) {
    Fractal& view = push_view(ctx);
    const HistEntry& entry = ctx.current_entry();
    const int32_t px =
        clamp_to_int32(static_cast<long double>(dx) * entry.width * entry.supersampling);
    const int32_t py =
        clamp_to_int32(static_cast<long double>(dy) * entry.height * entry.supersampling);
    if (px == 0 && py == 0) return;
    view.move(px, py);
    ctx.current_entry().progress = -1.0f;
    ctx.rgb_image->dirty = true;
}

void set_image_properties(Context& ctx, int width, int height, int supersampling, float gamma) {
    HistEntry& entry = ctx.current_entry();
    int32_t ss = entry.supersampling;
    int32_t w = entry.width;
    int32_t h = entry.height;
    if (supersampling >= 1 && supersampling <= 8) ss = supersampling;
    if (width > 0) w = width;
    if (height > 0) h = height;
    // Values that would make the grid too large for 16-bit boxes keep the
    // current setting, as other out-of-range values do.
    if (int64_t(w) * ss > kMaxGridSide) w = entry.width;
    if (int64_t(h) * ss > kMaxGridSide) h = entry.height;
    if (int64_t(w) * ss > kMaxGridSide || int64_t(h) * ss > kMaxGridSide) ss = entry.supersampling;

    // The new picture is the allocation here: made first, so that a size that
    // does not fit in memory leaves the entry as it was.
    ctx.rgb_image->resize(w, h);
    if (w != entry.width || h != entry.height || ss != entry.supersampling) {
        entry.width = w;
        entry.height = h;
        entry.supersampling = ss;
        entry.fractal->set_size(w * ss, h * ss);
        clear_statistics(entry);
        entry.generator.reset();
    }
    // An infinite gamma would be saved into a file the loader refuses.
    if (gamma > 0.0f && std::isfinite(gamma)) ctx.gamma = gamma;
    ctx.rgb_image->set_gamma_and_supersampling(ctx.gamma, entry.supersampling);
    trim_memory(ctx);
}

uint32_t adjust_maximum_iterations(Context& ctx, float factor) {
    HistEntry& entry = ctx.current_entry();
    Fractal& view = *entry.fractal;
    if (factor > 0.0f && factor != 1.0f && std::isfinite(factor)) {
        // Saturate rather than wrap: doubling a huge limit must not make it
        // small.
        const long double product = static_cast<long double>(view.max_iterations()) * factor;
        const uint32_t limit =
            product >= 4294967295.0L ? 0xFFFFFFFFu : static_cast<uint32_t>(product);
        view.set_max_iterations(limit);
        if (entry.generator) entry.generator->restart();
        entry.finished = false;
    }
    return view.max_iterations();
}

void reset_current_view(Context& ctx) {
    HistEntry& entry = ctx.current_entry();
    entry.fractal->discard_image();
    entry.generator.reset();
    clear_statistics(entry);
    ctx.rgb_image->dirty = true;
}

}  // namespace quorvel
