// The viewer's autosave: writing the whole history as a minimum history file
// (temporary file, fsync, rename) from the idle loop. A 256-view history, the
// most a context keeps, against a single view.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "quorvel.h"
#include "session.h"

namespace {

struct Session {
    qv_handle handle = nullptr;
    std::string path;
};

// Zooms make the history; nothing needs computing, since the session holds
// no pixels.
Session& session(int views) {
    static Session sessions[2];
    Session& s = sessions[views > 1 ? 1 : 0];
    if (s.handle == nullptr) {
        s.handle = qv_create_context(96);
        qv_set_image_properties(s.handle, 600, 600, 1, 1.75f);
        for (int i = 1; i < views; ++i) qv_zoom_centered(s.handle, 1.6f);
        s.path = "/tmp/quorvel-session-bench-" + std::to_string(getpid()) + "-" +
                 std::to_string(views) + ".q";
    }
    return s;
}

void BM_AutosaveSession(benchmark::State& state) {
    Session& s = session(static_cast<int>(state.range(0)));
    std::string error;
    for (auto _ : state) {
        if (!quorvel::viewer::save_session(s.handle, s.path, error)) {
            state.SkipWithError(error.c_str());
            break;
        }
    }
    std::FILE* file = std::fopen(s.path.c_str(), "rb");
    if (file != nullptr) {
        std::fseek(file, 0, SEEK_END);
        state.counters["file_bytes"] = static_cast<double>(std::ftell(file));
        std::fclose(file);
    }
    std::remove(s.path.c_str());
}
BENCHMARK(BM_AutosaveSession)->Arg(1)->Arg(256)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
