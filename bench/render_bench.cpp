// quorvel-render end to end against the same work done in-process through the
// same shared library: the tool's overhead is process start, library loading,
// fresh memory, encoding and writing the picture.
//
// The tool and the library are found in the build's program directory (../bin
// from this benchmark) unless QV_RENDER_TOOL names the tool; the library is
// taken from beside it.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <quorvel.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "render_tool.h"

namespace {

namespace fs = std::filesystem;
using namespace render_bench;

struct View {
    const char* x;
    const char* y;
    const char* radius;
    uint32_t iterations;
};

// A: the whole set. B: a spiral in the seahorse valley, still in doubles.
// C: a boundary point 2e-11 from B's centre, found by zooming in on the
// boundary from B, at 1e-30 in 192-bit arithmetic; exact in hexadecimal text
// (about -0.74364388701817274452 + 0.13182590421341869313i).
const View kViews[] = {
    {"-0.5", "0", "1.5", 1000},
    {"-0.743643887037151", "0.131825904205330", "1e-10", 5000},
    {"-B.E5F721E9D05DC5BD64D566E76C7649B2E487x-1", "+8.6FD5EAD72F4C47C96FDE2A4F8B563BB33441x-3",
     "1e-30", 5000},
};
constexpr int kSide = 600;

const std::vector<uint8_t>& palette() {
    static const std::vector<uint8_t> p = [] {
        std::vector<uint8_t> bytes(768);
        for (int i = 0; i < 768; ++i) bytes[i] = static_cast<uint8_t>(i * 5 + i / 3);
        return bytes;
    }();
    return p;
}

// A scratch folder for the palette and the pictures, removed at exit.
class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = (fs::temp_directory_path() / "qv-render-bench-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
        std::ofstream(path_ + "/bench.pal", std::ios::binary)
            .write(reinterpret_cast<const char*>(palette().data()), 768);
    }
    ~ScratchDir() { fs::remove_all(path_); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

const std::string& scratch_dir() {
    static const ScratchDir dir;
    return dir.path();
}

// The exported functions of the shared library the tool uses; the statically
// linked internals are laid out differently and run a few per cent apart.
struct Library {
    decltype(&qv_create_context) create_context;
    decltype(&qv_delete_context) delete_context;
    decltype(&qv_set_image_properties) set_image_properties;
    decltype(&qv_set_palette) set_palette;
    decltype(&qv_set_view_params_from_text) set_view_params_from_text;
    decltype(&qv_store_location_to) store_location_to;
    decltype(&qv_restore_location_from) restore_location_from;
    decltype(&qv_refine_image) refine_image;
    decltype(&qv_get_rgb_image) get_rgb_image;
    decltype(&qv_get_cleverness) get_cleverness;
    bool loaded = false;
};

const Library& library() {
    static const Library lib = [] {
        Library l{};
        const std::string path = (fs::path(tool_path()).parent_path() / "libquorvel.so").string();
        void* so = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (so == nullptr) return l;
        auto bind = [so](auto& fn, const char* name) {
            fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(so, name));
            return fn != nullptr;
        };
        l.loaded = bind(l.create_context, "qv_create_context") &&
                   bind(l.delete_context, "qv_delete_context") &&
                   bind(l.set_image_properties, "qv_set_image_properties") &&
                   bind(l.set_palette, "qv_set_palette") &&
                   bind(l.set_view_params_from_text, "qv_set_view_params_from_text") &&
                   bind(l.store_location_to, "qv_store_location_to") &&
                   bind(l.restore_location_from, "qv_restore_location_from") &&
                   bind(l.refine_image, "qv_refine_image") &&
                   bind(l.get_rgb_image, "qv_get_rgb_image") &&
                   bind(l.get_cleverness, "qv_get_cleverness");
        return l;
    }();
    return lib;
}

void BM_InProcess(benchmark::State& state) {
    const View& v = kViews[state.range(0)];
    const Library& qv = library();
    if (!qv.loaded) {
        state.SkipWithError("no libquorvel.so beside the tool; build the quorvel target");
        return;
    }
    float cleverness = 0;
    for (auto _ : state) {
        qv_handle h = qv.create_context(64);
        qv.set_image_properties(h, kSide, kSide, 1, 1.75f);
        qv.set_palette(h, palette().data());
        qv.set_view_params_from_text(h, v.x, v.y, std::atof(v.radius));
        // The exact limit goes through a place record, as in the tool.
        Location location;
        qv.store_location_to(h, &location);
        location.max_iterations = v.iterations;  // little-endian host
        qv.restore_location_from(h, &location);
        while (qv.refine_image(h)) {
        }
        benchmark::DoNotOptimize(qv.get_rgb_image(h));
        cleverness = qv.get_cleverness(h);
        qv.delete_context(&h);
    }
    state.counters["efficiency"] = cleverness;
}

void BM_Tool(benchmark::State& state) {
    const View& v = kViews[state.range(0)];
    const bool tga = state.range(1) == 1;
    const std::string tool = tool_path();
    if (access(tool.c_str(), X_OK) != 0) {
        state.SkipWithError(
            ("no tool at " + tool + "; build quorvel-render or set QV_RENDER_TOOL").c_str());
        return;
    }
    const std::string out = scratch_dir() + (tga ? "/out.tga" : "/out.png");
    const std::string pal = scratch_dir() + "/bench.pal";
    const std::string iterations = std::to_string(v.iterations);
    const std::vector<std::string> args = {
        tool,       "--centre",  v.x, v.y,     "--radius", v.radius, "--iterations",
        iterations, "--palette", pal, "--out", out,        "--jobs", "1"};
    const double cpu_before = children_cpu_seconds();
    for (auto _ : state) {
        if (!succeeded(start_tool(args))) {
            state.SkipWithError("quorvel-render failed");
            break;
        }
    }
    state.counters["child_cpu_ms"] = benchmark::Counter((children_cpu_seconds() - cpu_before) * 1e3,
                                                        benchmark::Counter::kAvgIterations);
}

// Process start and library load alone: the tool showing its help.
void BM_ToolStartOnly(benchmark::State& state) {
    const std::vector<std::string> args = {tool_path(), "--help"};
    const double cpu_before = children_cpu_seconds();
    for (auto _ : state) {
        if (!succeeded(start_tool(args))) {
            state.SkipWithError("cannot start quorvel-render");
            break;
        }
    }
    state.counters["child_cpu_ms"] = benchmark::Counter((children_cpu_seconds() - cpu_before) * 1e3,
                                                        benchmark::Counter::kAvgIterations);
}

}  // namespace

// A and B take a fraction of a second to a few seconds; C takes tens of
// seconds, so it runs once.
BENCHMARK(BM_InProcess)
    ->ArgName("view")
    ->DenseRange(0, 1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_InProcess)
    ->ArgName("view")
    ->Arg(2)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Tool)
    ->ArgNames({"view", "tga"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Tool)
    ->ArgNames({"view", "tga"})
    ->Args({2, 0})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ToolStartOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
