#include "history/context.h"

#include "history/history.h"

namespace quorvel {

namespace {

constexpr int32_t kInitialSize = 100;
constexpr float kInitialGamma = 1.75f;

uint32_t budget_bytes(int megabytes) {
    // Counts above 1023 MiB would not fit the 32-bit budget: cap at 1 GiB.
    const auto count = static_cast<uint32_t>(megabytes);
    return count <= 1023 ? count * 1048576u : 1073741824u;
}

}  // namespace

Context::Context(std::unique_ptr<Fractal> first_view, int megabytes)
    : memory_limit(budget_bytes(megabytes)) {
    cycle_timer.start();
    reset();
    HistEntry& entry = entries[0];
    entry.clear();
    entry.width = first_view->width();
    entry.height = first_view->height();
    entry.fractal = std::move(first_view);
    entry.supersampling = 1;
    rgb_image->resize(entry.width, entry.height);
    rgb_image->set_gamma_and_supersampling(gamma, entry.supersampling);
    trim_memory(*this);
}

void Context::reset() {
    // The new state is made before the old one goes, so a failed allocation
    // leaves the context as it was.
    std::vector<HistEntry> fresh(capacity);
    HistEntry& entry = fresh[0];
    entry.fractal = std::make_unique<Fractal>(kInitialSize, kInitialSize);
    entry.width = kInitialSize;
    entry.height = kInitialSize;
    entry.supersampling = 1;
    auto picture = std::make_unique<RgbImage>(kInitialSize, kInitialSize);
    picture->set_gamma_and_supersampling(kInitialGamma, entry.supersampling);

    entries.swap(fresh);
    rgb_image.swap(picture);
    current = 0;
    last = 0;
    memory_used = entries[0].fractal->memory_size();
    gamma = kInitialGamma;
    preview = true;
    deep_kernel = DeepKernel::automatic;
    cycling_speed = 0.0f;
    cycling_phase = 0.0f;
    cycle_timer.restart_timer();
}

}  // namespace quorvel
