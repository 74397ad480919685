// Feeds arbitrary command lines to quorvel-render's own parsing and set-up, in
// process, up to where it would compute: an accepted one gives a view whose
// exact texts the engine takes back unchanged (and, within 192 bits, equal the
// 192-bit ones); a refused one says why in one line, with exit status 2, and
// no file appears.
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "engine_view.h"
#include "options.h"
#include "prepare.h"
#include "quorvel.h"
#include "run_common.h"

namespace {

using namespace quorvel::render;
namespace fs = std::filesystem;

// An empty folder each input runs in: whatever lands in it was written by the
// set-up.
const fs::path& scratch() {
    static const fs::path path = [] {
        char name[] = "/tmp/qv-render-fuzz-XXXXXX";
        if (mkdtemp(name) == nullptr) __builtin_trap();
        return fs::path(name);
    }();
    return path;
}

// In the scratch folder while it lives; libFuzzer's relative paths work again
// after it.
class InScratch {
public:
    InScratch() : home_(fs::current_path()) { fs::current_path(scratch()); }
    ~InScratch() { fs::current_path(home_); }
    InScratch(const InScratch&) = delete;
    InScratch& operator=(const InScratch&) = delete;

private:
    fs::path home_;
};

bool scratch_is_empty() { return fs::is_empty(scratch()); }

// A refusal: one line naming its cause, and the status the tool exits with.
void check_refusal(const std::string& message) {
    if (message.empty() || message.find('\n') != std::string::npos) __builtin_trap();
    if (kExitBadArgument != 2 || !scratch_is_empty()) __builtin_trap();
}

std::string exact_text(qv_handle h, int which) {
    const size_t need = qv_get_view_strings(h, nullptr, nullptr, nullptr, 0);
    std::string t[3] = {std::string(need, '\0'), std::string(need, '\0'), std::string(need, '\0')};
    if (need == 0 || qv_get_view_strings(h, t[0].data(), t[1].data(), t[2].data(), need) != need)
        __builtin_trap();
    return t[which].c_str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const InScratch in_scratch;
    // Arguments separated by newlines, at most 24 of them.
    std::vector<std::string> args = {"quorvel-render"};
    args.emplace_back();
    for (size_t i = 0; i < size && args.size() <= 25; ++i) {
        if (data[i] == '\n') {
            args.emplace_back();
        } else if (data[i] != '\0') {
            args.back() += static_cast<char>(data[i]);
        }
    }
    if (size == 0) args.pop_back();
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());

    const ParseResult parsed = parse_options(static_cast<int>(argv.size()), argv.data());
    if (!parsed.error.empty()) {
        check_refusal(parsed.error);
        return 0;
    }
    Options o = parsed.options;
    if (o.help) return 0;
    // Small pictures keep each run short; the view is what is under test.
    o.width = 8;
    o.height = 6;
    o.supersampling = std::min(o.supersampling.value_or(1), 2);
    Plan plan;
    if (const std::string problem = prepare(o, plan); !problem.empty()) {
        check_refusal(problem);
        return 0;
    }
    EngineContext context;
    if (const std::string problem = context.configure(plan.setup); !problem.empty()) {
        check_refusal(problem);
        return 0;
    }
    const Target t = context.target();
    if (t.exact_x.empty() || t.exact_y.empty() || t.exact_radius.empty()) __builtin_trap();
    if (!t.wide && (t.exact_x != t.centre_x || t.exact_y != t.centre_y)) __builtin_trap();
    if (o.iterations && !o.place_file && t.iterations != *o.iterations) __builtin_trap();
    // A given colour mapping is the one in force; a phase wraps into [0, 256).
    if (o.colour_density && t.colour_density != *o.colour_density) __builtin_trap();
    if (o.smooth && !t.smooth) __builtin_trap();
    if (!(t.colour_density > 0.0) || !(t.colour_phase >= 0.0 && t.colour_phase < 256.0))
        __builtin_trap();

    // The exact texts set the same view again.
    qv_handle again = qv_create_context(8);
    if (qv_set_view_from_strings(again, t.exact_x.c_str(), t.exact_y.c_str(),
                                 t.exact_radius.c_str()) != 1 ||
        exact_text(again, 0) != t.exact_x || exact_text(again, 1) != t.exact_y ||
        exact_text(again, 2) != t.exact_radius)
        __builtin_trap();
    qv_delete_context(&again);
    if (!scratch_is_empty()) __builtin_trap();
    return 0;
}
