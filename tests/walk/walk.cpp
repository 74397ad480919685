// A random walk over the whole public interface: long random sequences of all
// 39 exports on a few contexts, with plausible and broken arguments, checking
// after each call what must hold whatever came before. Usage:
//   test_walk [calls [seed]]   (or QV_WALK_CALLS / QV_WALK_SEED)
// A failure prints the seed and the call number, so that it can be replayed.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "quorvel.h"

namespace {

namespace fs = std::filesystem;

// Iteration limits above this are brought down again: a slice on a view in
// the set would otherwise take its whole 0.25 s.
constexpr unsigned kIterationCap = 3000;
constexpr int kSlots = 4;
constexpr size_t kHistoryCapacity = 256;

#if defined(__SANITIZE_ADDRESS__)
constexpr long kAllowanceMb = 768;  // the sanitizer's quarantine and shadow
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr long kAllowanceMb = 768;
#else
constexpr long kAllowanceMb = 64;
#endif
#else
constexpr long kAllowanceMb = 64;
#endif

long resident_mb() {
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return 0;
    long size = 0, resident = 0;
    if (std::fscanf(f, "%ld %ld", &size, &resident) != 2) resident = 0;
    std::fclose(f);
    return resident * sysconf(_SC_PAGESIZE) / (1024 * 1024);
}

struct ViewStrings {
    std::string x, y, radius;
    bool operator==(const ViewStrings&) const = default;
};

ViewStrings strings_of(qv_handle h) {
    const size_t need = qv_get_view_strings(h, nullptr, nullptr, nullptr, 0);
    std::vector<char> x(need), y(need), r(need);  // exactly as large: overruns show
    if (qv_get_view_strings(h, x.data(), y.data(), r.data(), need) != need) return {"?", "?", "?"};
    return {x.data(), y.data(), r.data()};
}

// What a refused call must leave as it was.
struct Snapshot {
    ViewStrings view;
    int width = 0, height = 0;
    unsigned iterations = 0;
    int deep_kernel = 0;
    bool operator==(const Snapshot&) const = default;
};

Snapshot snapshot(qv_handle h) {
    return {strings_of(h), qv_get_image_width(h), qv_get_image_height(h),
            qv_get_maximum_iterations(h), qv_get_deep_kernel(h)};
}

struct Slot {
    qv_handle handle = nullptr;
    int megabytes = 0;
    bool at_newest = true;  // known to be at the newest view: forward must fail
};

class Walk {
public:
    Walk(uint64_t seed, long calls) : seed_(seed), calls_(calls), rng_(seed) {
        char pattern[] = "/tmp/qv-walk-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) fail("no temporary folder");
        dir_ = pattern;
        scratch_ = qv_create_context(4);
        checker_ = qv_create_context(4);
        qv_set_image_properties(scratch_, 4, 3, 1, 1.0f);
        baseline_mb_ = resident_mb();
        std::ofstream(dir_ + "/garbage.qvh")
            << "quorvel\nContext\nv001\n\x01\x02\x03 not a history";
        fs::create_directory(dir_ + "/folder.qvh");
    }
    ~Walk() {
        for (auto& s : slots_) qv_delete_context(&s.handle);
        qv_delete_context(&scratch_);
        qv_delete_context(&checker_);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    int run() {
        for (call_ = 0; call_ < calls_; ++call_) {
            step();
            if (call_ % 97 == 0) check_memory();
        }
        std::printf(
            "walk: %ld calls from seed %llu passed (%ld refine slices, %ld saves, %ld loads, "
            "views not round-tripped: %ld wider than home, %ld centres beyond 2^60)\n",
            calls_, static_cast<unsigned long long>(seed_), refines_, saves_, loads_, wide_views_,
            far_views_);
        return 0;
    }

private:
    [[noreturn]] void fail(const std::string& what) {
        std::fprintf(stderr, "walk: seed %llu, call %ld (%s): %s\n",
                     static_cast<unsigned long long>(seed_), call_, op_, what.c_str());
        std::fflush(stderr);
        std::_Exit(1);
    }
    void expect(bool ok, const char* what) {
        if (!ok) fail(what);
    }

    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
    bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }
    double uniform(double lo, double hi) {
        return std::uniform_real_distribution<double>(lo, hi)(rng_);
    }

    float factor() {
        static const float kFactors[] = {2.0f,   4.0f, 0.5f,  1.0f, 1.5f, 8.0f,  0.25f,
                                         100.0f, 0.0f, -1.0f, 3.0f, 1e6f, 1e-6f, 10.0f};
        if (chance(0.02)) return std::numeric_limits<float>::quiet_NaN();
        if (chance(0.02)) return std::numeric_limits<float>::infinity();
        return kFactors[pick(std::size(kFactors))];
    }

    // Decimal, hexadecimal, deep and broken numbers as texts.
    std::string number_text(bool radius) {
        static const char* kBroken[] = {"",      "abc",    "1e",   "nan", "inf",           "-inf",
                                        "0x1p3", "--1",    "1..5", "+",   "1e99999999999", "8.0x",
                                        "x-3",   "+G.0x1", "1 2",  " 1"};
        static const char* kRadii[] = {"2",      "1",       "0.5",    "1e-5",   "3e-14",
                                       "1e-20",  "2.5e-40", "1e-200", "7e-320", "1e-400",
                                       "4e-700", "1e-1500", "0",      "-1e-3",  "5"};
        static const char* kCentres[] = {"-0.75",
                                         "0",
                                         "-1.7685",
                                         "0.25",
                                         "-0.1011",
                                         "0.9563",
                                         "-1.76861049301467707450317565327022653",
                                         "-2",
                                         "0.0000312",
                                         "+8.0x-2",
                                         "-C.8x-1",
                                         "-B.E5F721EB1E3C76DD4EDE45B22C0564AE0199413B469AF35x-1"};
        switch (pick(6)) {
            case 0:
                return kBroken[pick(std::size(kBroken))];
            case 1:
                return radius ? kRadii[pick(std::size(kRadii))]
                              : kCentres[pick(std::size(kCentres))];
            case 2: {  // hexadecimal of random length
                std::string t = chance(0.5) ? "-" : "+";
                t += "0123456789ABCDEF"[1 + pick(15)];
                t += '.';
                const int digits = pick(chance(0.1) ? 200 : 20);
                for (int i = 0; i < digits; ++i) t += "0123456789ABCDEF"[pick(16)];
                const int exponent = radius ? -pick(chance(0.2) ? 6000 : 150) : -pick(60) - 1;
                return t + "x" + std::to_string(exponent);
            }
            case 3: {  // decimal of random length
                std::string t = radius ? "" : (chance(0.5) ? "-" : "");
                t += radius ? "1." : "0.";
                const int digits = 1 + pick(chance(0.1) ? 300 : 25);
                for (int i = 0; i < digits; ++i) t += static_cast<char>('0' + pick(10));
                if (radius) t += "e-" + std::to_string(pick(chance(0.2) ? 2000 : 60));
                return t;
            }
            default: {  // from the current view, nudged
                const ViewStrings v = strings_of(current());
                std::string t = radius ? v.radius : (chance(0.5) ? v.x : v.y);
                const size_t x = t.find('x');
                if (x != std::string::npos && chance(0.3)) t = t.substr(0, x) + "7" + t.substr(x);
                return t;
            }
        }
    }

    static std::string hex(const Location& l) {
        std::string t;
        char b[4];
        const auto* p = reinterpret_cast<const unsigned char*>(&l);
        for (size_t i = 0; i < sizeof l; ++i) {
            std::snprintf(b, sizeof b, "%02x", p[i]);
            t += b;
            if (i % 32 == 31) t += ' ';
        }
        return t;
    }

    static bool below_doubles(const uint8_t* big) {
        int32_t exponent = 0;
        std::memcpy(&exponent, big + 24, 4);
        return big[23] != 0 && exponent < -1022;
    }

    qv_handle current() { return slots_[slot_].handle; }

    // Zooming out and moving reach radii of 2 and more, which the setters
    // turn into the home view: such views do not come back through texts.
    static bool wider_than_home(qv_handle h) {
        double r = 0;
        qv_get_view_params_as_doubles(h, nullptr, nullptr, &r);
        return r >= 2.0;
    }

    // qv_set_view_params_from_text reads "inf", "nan" and "1e400" as centres
    // beyond any double, and takes hexadecimal centres beyond 2^64, which
    // qv_set_view_from_strings refuses: such views do not come back either.
    static bool farther_than_texts_reach(qv_handle h) {
        double x = 0, y = 0;
        qv_get_view_params_as_doubles(h, &x, &y, nullptr);
        return !(std::fabs(x) < 0x1p60 && std::fabs(y) < 0x1p60);
    }

    void check_round_trip(qv_handle h) {
        if (wider_than_home(h)) {
            ++wide_views_;
            return;
        }
        if (farther_than_texts_reach(h)) {
            ++far_views_;
            return;
        }
        const ViewStrings v = strings_of(h);
        if (qv_set_view_from_strings(scratch_, v.x.c_str(), v.y.c_str(), v.radius.c_str()) != 1)
            fail("the view's own texts are refused: " + v.x + " " + v.y + " " + v.radius);
        if (!(strings_of(scratch_) == v))
            fail("the view's texts do not give it back: " + v.radius + " became " +
                 strings_of(scratch_).radius);
    }

    // Walks to both ends of the history and back: within the capacity, and
    // the same view again where it started.
    void check_history(Slot& s) {
        const ViewStrings start = strings_of(s.handle);
        size_t ahead = 0, total = 0;
        while (qv_history_forward(s.handle) && ahead <= kHistoryCapacity) ++ahead;
        expect(!(s.at_newest && ahead > 0), "forward works at the newest view");
        while (qv_history_back(s.handle) && total <= kHistoryCapacity) ++total;
        expect(total + 1 <= kHistoryCapacity, "more views than the history holds");
        expect(total >= ahead, "fewer views behind the newest than were ahead");
        for (size_t i = 0; i < total - ahead; ++i)
            expect(qv_history_forward(s.handle), "forward fails within the history");
        expect(strings_of(s.handle) == start, "walking the history does not come back");
        for (size_t i = 0; i < ahead; ++i) expect(qv_history_forward(s.handle), "forward fails");
        expect(!qv_history_forward(s.handle), "forward past the newest view");
        for (size_t i = 0; i < ahead; ++i) expect(qv_history_back(s.handle), "back fails");
    }

    void check_memory() {
        long budget = 0;
        for (const auto& s : slots_)
            if (s.handle) budget += s.megabytes;
        const long now = resident_mb();
        if (now > baseline_mb_ + budget + kAllowanceMb)
            fail("resident " + std::to_string(now) + " MB over " + std::to_string(budget) +
                 " MB of budgets");
    }

    void keep_fast(qv_handle h) {
        // Views wider than home cannot be checked through texts: back to a
        // narrower one now and then.
        if (wider_than_home(h) && chance(0.5)) qv_set_view_params_from_doubles(h, -0.5, 0.0, 1.5);
        const unsigned limit = qv_get_maximum_iterations(h);
        if (limit > kIterationCap)
            qv_adjust_maximum_iterations(h, float(kIterationCap) / limit / 2);
        if (qv_get_image_width(h) * qv_get_image_height(h) > 48 * 48)
            qv_set_image_properties(h, 1 + pick(24), 1 + pick(24), 1 + pick(2), 1.0f);
    }

    void create(Slot& s) {
        static const int kBudgets[] = {1, 2, 4, 8, 16, -1, 0};
        s.megabytes = kBudgets[pick(std::size(kBudgets))];
        op_ = "qv_create_context";
        s.handle = qv_create_context(s.megabytes);
        expect(s.handle != nullptr, "no context");
        if (s.megabytes < 0) s.megabytes = 32;
        s.at_newest = true;
        expect(qv_get_image_width(s.handle) == 100 && qv_get_image_height(s.handle) == 100,
               "a new context is not 100x100");
        qv_set_image_properties(s.handle, 4 + pick(20), 4 + pick(16), 1 + pick(2), 1.0f);
    }

    std::string file_name() { return dir_ + "/h" + std::to_string(pick(5)) + ".qvh"; }

    void step() {
        slot_ = pick(kSlots);
        Slot& s = slots_[slot_];
        if (s.handle == nullptr) {
            create(s);
            return;
        }
        const qv_handle h = s.handle;
        const Snapshot before = snapshot(h);
        bool refused = false;    // the call must have changed nothing
        bool new_entry = false;  // the call made a new newest view
        const int op = pick(40);
        switch (op) {
            case 0:
                if (chance(0.3)) {
                    op_ = "qv_delete_context";
                    qv_delete_context(&s.handle);
                    expect(s.handle == nullptr, "the handle is not cleared");
                    stale_.push_back(h);
                    return;
                }
                op_ = "qv_reset_context";
                qv_reset_context(h);
                expect(!qv_history_back(h) && !qv_history_forward(h), "a reset leaves history");
                expect(qv_get_image_width(h) == 100, "a reset is not 100 wide");
                s.at_newest = true;
                qv_set_image_properties(h, 4 + pick(20), 4 + pick(16), 1, 1.0f);
                break;
            case 1:
            case 2:
                op_ = "qv_refine_image";
                ++refines_;
                qv_refine_image(h);
                break;
            case 3:
                op_ = "qv_refine_history";
                ++refines_;
                qv_refine_history(h);
                break;
            case 4: {
                op_ = "qv_set_generator_type";
                const int type = pick(6) - 2;
                const int got = qv_set_generator_type(h, type);
                expect(got == (type >= 0 && type <= 2 ? type : 0), "wrong type in effect");
                break;
            }
            case 5: {
                op_ = "qv_change_generator_type";
                const int first = qv_change_generator_type(h);
                expect(first >= 0 && first <= 2, "type out of range");
                expect(qv_change_generator_type(h) == (first + 1) % 3, "types do not cycle");
                break;
            }
            case 6: {
                op_ = "qv_describe_generator";
                const int type = pick(10) - 4;
                const char* name = qv_describe_generator(type);
                expect(name != nullptr, "no name");
                expect((type >= 0 && type <= 2) == (std::strcmp(name, "unknown!?") != 0),
                       "wrong name");
                break;
            }
            case 7: {
                op_ = "qv_set_image_properties";
                const bool valid = chance(0.8);
                const int w = valid ? 1 + pick(32) : (chance(0.5) ? -pick(3) : 40000);
                const int hgt = valid ? 1 + pick(24) : (chance(0.5) ? 0 : -5);
                const int ss = valid ? 1 + pick(3) : pick(12) - 2;
                const float gamma = chance(0.9) ? float(uniform(0.5, 2.5)) : -1.0f;
                qv_set_image_properties(h, w, hgt, ss, gamma);
                if (valid && ss >= 1 && ss <= 8) {
                    expect(qv_get_image_width(h) == w && qv_get_image_height(h) == hgt,
                           "valid size not taken");
                } else if (!valid) {
                    expect(qv_get_image_height(h) == before.height, "invalid height taken");
                }
                break;
            }
            case 8: {
                op_ = "qv_set_palette";
                if (chance(0.1)) {
                    qv_set_palette(h, nullptr);
                    break;
                }
                std::vector<unsigned char> rgb(768);  // exactly 768: overruns show
                for (auto& b : rgb) b = static_cast<unsigned char>(pick(256));
                qv_set_palette(h, rgb.data());
                break;
            }
            case 9: {
                op_ = "qv_set_palette_cycling_speed";
                static const float kSpeeds[] = {0.0f, 8.0f, -12.0f, 100.0f, -1e6f, 1e30f, 0.5f};
                qv_set_palette_cycling_speed(h, chance(0.05) ? std::nanf("") : kSpeeds[pick(7)]);
                break;
            }
            case 10: {
                op_ = "qv_toggle_preview";
                const bool a = qv_toggle_preview(h);
                expect(qv_toggle_preview(h) == !a, "preview does not toggle");
                if (chance(0.5)) qv_toggle_preview(h);
                break;
            }
            case 11: {
                op_ = "qv_set_deep_kernel";
                const int mode = pick(6) - 1;
                expect(qv_set_deep_kernel(h, mode) == before.deep_kernel, "not the mode before");
                const int now = qv_get_deep_kernel(h);
                expect(now == (mode >= 0 && mode <= 3 ? mode : before.deep_kernel), "wrong mode");
                break;
            }
            case 12: {
                op_ = "qv_adjust_maximum_iterations";
                const float f = factor();
                const unsigned got = qv_adjust_maximum_iterations(h, f);
                expect(got == qv_get_maximum_iterations(h), "limit returned is not the limit");
                break;
            }
            case 13:
            case 14: {
                op_ = "qv_zoom_on_window_coord";
                const float f = factor();
                qv_zoom_on_window_coord(h, pick(before.width + 10) - 5,
                                        pick(before.height + 10) - 5, f);
                new_entry = std::isfinite(f);
                break;
            }
            case 15: {
                op_ = "qv_zoom_centered";
                const float f = factor();
                qv_zoom_centered(h, f);
                if (f > 0.0f && std::isfinite(f)) {
                    new_entry = true;
                } else if (f <= 0.0f) {
                    refused = true;
                }
                break;
            }
            case 16:
            case 17: {
                op_ = "qv_move";
                qv_move(h, float(uniform(-1.5, 1.5)), float(uniform(-1.5, 1.5)));
                new_entry = true;
                break;
            }
            case 18: {
                op_ = "qv_get_rgb_image";
                const unsigned char* rgb = qv_get_rgb_image(h);
                expect(rgb != nullptr, "no image");
                const size_t bytes = size_t(3) * qv_get_image_width(h) * qv_get_image_height(h);
                volatile unsigned sum = rgb[0] + rgb[bytes - 1];  // the sanitizer checks both ends
                (void)sum;
                break;
            }
            case 19: {
                op_ = "qv_get_cleverness/progress/time_spent";
                const float c = qv_get_cleverness(h), p = qv_get_progress(h),
                            t = qv_get_time_spent(h);
                expect(c >= 0.0f && c <= 1.0f, "cleverness out of 0..1");
                // Progress overshoots 1 by up to a few thousandths (reported).
                if (!((p >= 0.0f && p <= 1.0f) || p == -1.0f))
                    fail("progress " + std::to_string(p) + " of " + std::to_string(before.width) +
                         "x" + std::to_string(before.height));
                expect(t >= 0.0f && std::isfinite(t), "time spent negative");
                break;
            }
            case 20:
                op_ = "qv_reset_current_view";
                qv_reset_current_view(h);
                break;
            case 21:
            case 22: {
                op_ = "qv_history_back";
                if (qv_history_back(h)) {
                    s.at_newest = false;
                    if (chance(0.5)) {
                        op_ = "qv_history_forward";
                        expect(qv_history_forward(h), "forward fails after back");
                        expect(strings_of(h) == before.view, "back and forward moved the view");
                    }
                } else {
                    expect(strings_of(h) == before.view, "a failed back changed the view");
                }
                break;
            }
            case 23: {
                op_ = "qv_history_forward";
                if (!qv_history_forward(h)) {
                    s.at_newest = true;
                    expect(strings_of(h) == before.view, "a failed forward changed the view");
                }
                break;
            }
            case 24: {
                op_ = "qv_store_location_to/qv_restore_location_from";
                Location a{}, b{};
                qv_store_location_to(h, &a);
                // A deep view's centre within 2^-1022 of an axis is stored, but
                // restored as the home view (reported, left to the engine's owner).
                const bool wide = wider_than_home(h) || farther_than_texts_reach(h) ||
                                  below_doubles(a.centre_x) || below_doubles(a.centre_y);
                if (wide) ++wide_views_;
                expect(a.max_iterations == before.iterations, "stored limit differs");
                qv_restore_location_from(h, &a);
                qv_store_location_to(h, &b);
                if (!wide && std::memcmp(&a, &b, sizeof a) != 0)
                    fail("a stored place does not come back: " + before.view.x + " " +
                         before.view.y + " " + before.view.radius + " -> " + strings_of(h).x + " " +
                         strings_of(h).y + " " + strings_of(h).radius + "; record " + hex(a) +
                         " -> " + hex(b));
                qv_store_location_to(h, nullptr);
                new_entry = true;
                break;
            }
            case 25: {
                op_ = "qv_restore_location_from(random)";
                Location l{};
                auto* bytes = reinterpret_cast<unsigned char*>(&l);
                for (size_t i = 0; i < sizeof l; ++i)
                    bytes[i] = static_cast<unsigned char>(pick(256));
                if (chance(0.7)) {  // mostly normalised numbers of plausible size
                    for (int k = 0; k < 3; ++k) {
                        uint8_t* w = k == 0 ? l.centre_x : k == 1 ? l.centre_y : l.radius;
                        w[23] |= 0x80;
                        const int32_t e = k == 2 ? -pick(chance(0.2) ? 3000 : 60) : -pick(8);
                        std::memcpy(w + 24, &e, 4);
                        const uint32_t sign = k == 2 ? 0 : pick(2);
                        std::memcpy(w + 28, &sign, 4);
                    }
                    l.max_iterations = 2 + pick(2000);
                }
                qv_restore_location_from(h, chance(0.05) ? nullptr : &l);
                break;
            }
            case 26: {
                op_ = "qv_set_view_params_from_doubles";
                static const double kBad[] = {0.0, -1.0, 1e-310,
                                              std::numeric_limits<double>::quiet_NaN(),
                                              std::numeric_limits<double>::infinity()};
                const bool bad = chance(0.2);
                const double r =
                    bad ? kBad[pick(5)] : std::ldexp(1.0, -pick(1000)) * uniform(0.5, 3);
                qv_set_view_params_from_doubles(h, uniform(-2, 1), uniform(-1.2, 1.2), r);
                if (bad)
                    refused = true;
                else
                    new_entry = true;
                break;
            }
            case 27: {
                op_ = "qv_set_view_params_from_text";
                // Texts beyond any double make views no file takes back (reported,
                // left to the engine's owner): the walk keeps to finite centres.
                std::string x = number_text(false), y = number_text(false);
                for (std::string* t : {&x, &y})
                    if (t->find("in") != std::string::npos || t->find("na") != std::string::npos ||
                        t->find("e9") != std::string::npos)
                        *t = "-0.5";
                const bool bad = chance(0.2);
                const double r = bad ? -2.0 : std::ldexp(1.0, -pick(200));
                qv_set_view_params_from_text(h, x.c_str(), chance(0.05) ? nullptr : y.c_str(), r);
                if (bad) refused = true;
                break;
            }
            case 28: {
                op_ = "qv_get_view_params_as_doubles/text";
                double x = 0, y = 0, r = 0;
                qv_get_view_params_as_doubles(h, &x, &y, &r);
                if (!(r >= 0.0 && r <= 1e300 &&
                      (farther_than_texts_reach(h) || (std::isfinite(x) && std::isfinite(y)))))
                    fail("bad double view " + std::to_string(x) + " " + std::to_string(y) + " " +
                         std::to_string(r) + " of " + before.view.x + " " + before.view.y + " " +
                         before.view.radius);
                std::vector<char> tx(63), ty(63);  // the least the header asks for
                double rt = 0;
                qv_get_view_params_as_text(h, tx.data(), ty.data(), &rt);
                expect(rt == r, "radius differs between the getters");
                expect(std::memchr(tx.data(), 0, 63) && std::memchr(ty.data(), 0, 63),
                       "unterminated centre text");
                qv_get_view_params_as_doubles(h, nullptr, nullptr, nullptr);
                break;
            }
            case 29:
            case 30:
            case 31: {
                op_ = "qv_set_view_from_strings";
                const std::string x = number_text(false), y = number_text(false),
                                  r = number_text(true);
                const int ok = qv_set_view_from_strings(h, x.c_str(), y.c_str(), r.c_str());
                expect(ok == 0 || ok == 1, "neither 0 nor 1");
                if (ok == 0)
                    refused = true;
                else
                    new_entry = true;
                break;
            }
            case 32: {
                op_ = "qv_get_view_strings(small)";
                const size_t need = qv_get_view_strings(h, nullptr, nullptr, nullptr, 0);
                const size_t cap = need > 1 ? pick(int(need)) : 0;
                std::vector<char> x(cap + 1, '#');
                expect(qv_get_view_strings(h, x.data(), x.data(), x.data(), cap) == need,
                       "need changes");
                expect(std::count(x.begin(), x.end(), '#') == long(x.size()),
                       "wrote into a buffer too small");
                break;
            }
            case 33:
            case 34: {
                op_ = "qv_load";
                std::string path;
                switch (pick(6)) {
                    case 0:
                        path = dir_ + "/garbage.qvh";
                        break;
                    case 1:
                        path = dir_ + "/missing.qvh";
                        break;
                    case 2:
                        path = dir_ + "/folder.qvh";
                        break;
                    case 3:
                        path = truncated_copy();
                        break;
                    default:
                        path = file_name();
                }
                ++loads_;
                if (qv_load(h, chance(0.02) ? nullptr : path.c_str())) {
                    s.at_newest = false;  // a file shows its own current view
                    keep_fast(h);
                } else {
                    refused = true;
                }
                break;
            }
            case 35:
            case 36: {
                op_ = chance(0.5) ? "qv_save_all" : "qv_save_minimum";
                const bool all = op_[8] == 'a';
                const bool bad = chance(0.1);
                const std::string path =
                    bad ? dir_ + (chance(0.5) ? "/none/x.qvh" : "/folder.qvh") : file_name();
                ++saves_;
                const bool ok =
                    all ? qv_save_all(h, path.c_str()) : qv_save_minimum(h, path.c_str());
                expect(ok != bad, bad ? "saved into a folder that cannot hold it" : "save failed");
                if (ok) {
                    if (!qv_load(checker_, path.c_str())) {
                        fs::copy_file(path, "/tmp/qv-walk-unloadable.qvh",
                                      fs::copy_options::overwrite_existing);
                        fail(
                            "a saved file does not load (kept as /tmp/qv-walk-unloadable.qvh); "
                            "view " +
                            before.view.x + " " + before.view.y + " " + before.view.radius);
                    }
                    expect(strings_of(checker_) == before.view, "a saved file shows another view");
                    expect(qv_get_maximum_iterations(checker_) == before.iterations,
                           "a saved file has another limit");
                }
                break;
            }
            case 37: {
                op_ = "calls on null and deleted handles";
                const qv_handle dead =
                    stale_.empty() || chance(0.3) ? nullptr : stale_[pick(int(stale_.size()))];
                bool live = false;
                for (const auto& o : slots_) live = live || o.handle == dead;
                if (live || dead == scratch_ || dead == checker_) break;
                expect(qv_get_image_width(dead) == 0 && qv_get_rgb_image(dead) == nullptr,
                       "a dead handle answers");
                expect(!qv_refine_image(dead) && !qv_history_back(dead) && !qv_load(dead, "x"),
                       "a dead handle works");
                qv_zoom_centered(dead, 2.0f);
                qv_handle copy = dead;
                qv_delete_context(&copy);
                double x = 1, y = 1, r = 1;
                qv_get_view_params_as_doubles(dead, &x, &y, &r);
                expect(x == 0 && y == 0 && r == 2, "a dead handle's view is not the default");
                break;
            }
            default:
                op_ = "check_history";
                check_history(s);
                break;
        }
        if (s.handle == nullptr) return;
        if (new_entry) s.at_newest = true;
        if (refused) expect(snapshot(h) == before, "a refused call changed the context");
        if (new_entry) expect(!qv_history_forward(h), "a new view is not the newest");
        check_round_trip(h);
        keep_fast(h);
    }

    // A prefix of a saved history: loads whole or not at all.
    std::string truncated_copy() {
        const std::string from = file_name(), to = dir_ + "/cut.qvh";
        std::ifstream in(from, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!bytes.empty()) bytes.resize(pick(int(bytes.size())));
        std::ofstream(to, std::ios::binary | std::ios::trunc) << bytes;
        return to;
    }

    uint64_t seed_;
    long calls_;
    long call_ = 0;
    std::mt19937_64 rng_;
    std::string dir_;
    Slot slots_[kSlots];
    int slot_ = 0;
    std::vector<qv_handle> stale_;
    qv_handle scratch_ = nullptr, checker_ = nullptr;
    long baseline_mb_ = 0;
    const char* op_ = "start";
    long refines_ = 0, saves_ = 0, loads_ = 0, wide_views_ = 0, far_views_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const char* calls_text = argc > 1 ? argv[1] : std::getenv("QV_WALK_CALLS");
    const char* seed_text = argc > 2 ? argv[2] : std::getenv("QV_WALK_SEED");
    const long calls = calls_text ? std::atol(calls_text) : 20000;
    const uint64_t seed =
        seed_text ? std::strtoull(seed_text, nullptr, 10) : std::random_device{}();
    std::printf("walk: %ld calls from seed %llu\n", calls, static_cast<unsigned long long>(seed));
    std::fflush(stdout);
    Walk walk(seed, calls);
    return walk.run();
}
