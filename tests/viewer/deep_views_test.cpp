// The viewer at any depth, against the real engine: the exact texts' decimal
// forms checked with MPFR, zooming through the commands, the console, title and
// V key of deep views (and shallow ones as before), places through the text
// file, and the session.
#include <gtest/gtest.h>
#include <mpfr.h>

#include <cmath>
#include <cstring>
#include <random>

#include "commands.h"
#include "deep_view.h"
#include "hex_text.h"
#include "place_store.h"
#include "session.h"
#include "test_support.h"

namespace quorvel::viewer {
void PrintTo(const ExactView& view, std::ostream* out) {
    *out << view.x << " " << view.y << " " << view.radius;
}
}  // namespace quorvel::viewer

namespace {

using namespace quorvel::viewer;

// MPFR's reading of an exact text: 0xH.HHH * 2^(E - 3) is its "0xH.HHHpE-3".
struct Real {
    explicit Real(const std::string& hex) {
        const std::size_t x = hex.find('x');
        const bool sign = hex[0] == '+' || hex[0] == '-';
        const std::string c = std::string(hex[0] == '-' ? "-0x" : "0x") +
                              hex.substr(sign, x - sign) + "p" +
                              std::to_string(std::stoll(hex.substr(x + 1)) - 3);
        mpfr_init2(value, static_cast<mpfr_prec_t>(4 * x + 8));
        EXPECT_EQ(mpfr_set_str(value, c.c_str(), 0, MPFR_RNDN), 0) << c;
    }
    ~Real() { mpfr_clear(value); }
    std::string print(const char* format, int digits) const {
        char* text = nullptr;
        mpfr_asprintf(&text, format, digits, value);
        std::string out = text;
        mpfr_free_str(text);
        return out;
    }
    mpfr_t value;
};

// %g's shape: trailing zeros of the mantissa dropped.
std::string as_g(std::string e_form) {
    const std::size_t e = e_form.find('e');
    std::size_t end = e;
    while (e_form[end - 1] == '0') --end;
    if (e_form[end - 1] == '.') --end;
    return e_form.erase(end, e - end);
}

std::string random_hex(std::mt19937_64& random, int digits, long long exponent) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text = random() % 2 ? "-" : "+";
    text += kDigits[8 + random() % 8];
    text += '.';
    for (int i = 0; i < digits; ++i) text += kDigits[random() % 16];
    return text + "x" + (exponent < 0 ? "" : "+") + std::to_string(exponent);
}

TEST(HexText, ScientificAgreesWithMpfrAtAnyDepth) {
    std::mt19937_64 random(7);
    for (int i = 0; i < 3000; ++i) {
        // Radii carry a double's 53 bits: 13 hex digits after the first.
        const long long exponent = -static_cast<long long>(random() % 20000000) + 200;
        const std::string hex = random_hex(random, 1 + random() % 13, exponent);
        const int digits = i % 2 ? 2 : 5;
        EXPECT_EQ(format_hex_scientific(hex, digits), as_g(Real(hex).print("%.*Re", digits - 1)))
            << hex;
    }
    EXPECT_EQ(format_hex_scientific("+8.0x+0", 5), "1e+00");
    EXPECT_EQ(format_hex_scientific("+0.0x+0", 5), "0");
    EXPECT_EQ(decimal_exponent("+8.0x+0"), 0);  // exactly 1
    EXPECT_EQ(decimal_exponent("+A.0x+3"), 1);  // exactly 10
    EXPECT_EQ(decimal_exponent("+0.0x+0"), std::nullopt);
}

TEST(HexText, FixedDecimalsAreExactlyRounded) {
    std::mt19937_64 random(11);
    for (int i = 0; i < 400; ++i) {
        const int digits = 1 + static_cast<int>(random() % 300);
        const long long exponent = static_cast<long long>(random() % 1400) - 1300;
        const std::string hex = random_hex(random, digits, exponent);
        const int decimals = static_cast<int>(random() % 500);
        EXPECT_EQ(hex_to_fixed_decimal(hex, decimals), Real(hex).print("%.*Rf", decimals))
            << hex << " " << decimals;
    }
    // Ties go to even, carries reach the integer part, small negatives keep their sign.
    const std::pair<const char*, const char*> cases[] = {
        {"+8.0x-2", "0.2"},   {"+C.0x-1", "0.8"},
        {"-8.0x-3", "-0.1"},  {"+F.FFFFx+0", "2.0"},
        {"-8.0x-40", "-0.0"}, {"+0.0x+0", "0.0"},
        {"+9.8x+4", "19.0"},  {"+8.0x+70", "1180591620717411303424.0"}};
    for (const auto& [hex, decimal] : cases)
        EXPECT_EQ(hex_to_fixed_decimal(hex, 1), decimal) << hex;
    EXPECT_EQ(hex_to_fixed_decimal("+8.0x-2", 0), "0");
    EXPECT_EQ(hex_to_fixed_decimal("+C.0x+0", 0), "2");              // 1.5
    EXPECT_EQ(hex_to_fixed_decimal("+A.0x+1", 0), "2");              // 2.5
    EXPECT_EQ(hex_to_fixed_decimal("+8.0x+5000", 2), std::nullopt);  // integer part too long
    EXPECT_EQ(hex_to_fixed_decimal("+8.0x-2", kMaxDecimals + 1), std::nullopt);
    EXPECT_EQ(hex_to_fixed_decimal("+8.0x-9000000", 3), "0.000");
}

TEST(HexText, OnlyTheExactFormIsTaken) {
    for (const char* bad : {"", "8", "+8x+1", "+8.x+1", "+.8x+1", "8.0x", "+8.0x+1 ", " +8.0x+1",
                            "+G.0x+1", "+8.0y+1", "++8.0x+1", "+80.0x+1",
                            "+8.0x+1234567890123456789", "+8.0x1.5", "1.5", "+8.0p+1"}) {
        EXPECT_FALSE(is_hex_text(bad)) << bad;
        EXPECT_EQ(format_hex_scientific(bad, 5), "") << bad;
        EXPECT_EQ(hex_to_fixed_decimal(bad, 5), std::nullopt) << bad;
    }
    EXPECT_TRUE(is_hex_text("-b.e5f7x-1"));
    EXPECT_TRUE(is_hex_text("8.0x1"));
    EXPECT_TRUE(is_positive_hex_text("+0.01x-5"));
    for (const char* not_positive : {"+0.0x+0", "-8.0x+1", "0.000x-3"})
        EXPECT_FALSE(is_positive_hex_text(not_positive)) << not_positive;
    EXPECT_EQ(hex_to_double("+8.0x+1"), 2.0);
    EXPECT_EQ(hex_to_double("-C.0x-1"), -0.75);
}

// The commands on a real 64 x 48 engine context, keeping the console and the
// title.
struct Viewer : Window, Dialogs {
    explicit Viewer(const std::string& places_path) {
        state.handle = qv_create_context(32);
        qv_set_image_properties(state.handle, 64, 48, 1, state.gamma);
        state.places_path = places_path;
    }
    ~Viewer() override {
        if (state.handle != nullptr) qv_delete_context(&state.handle);
        std::fclose(console);
        std::free(buffer);
    }
    // What was printed since the last look.
    std::string printed() {
        std::fflush(console);
        std::string text(buffer, size);
        std::rewind(console);
        return text;
    }
    void show(const char* x, const char* y, const char* radius) {
        ASSERT_EQ(qv_set_view_from_strings(state.handle, x, y, radius), 1) << radius;
    }
    ExactView now() const { return exact_view(state.handle); }
    void click(int button, int times) {
        for (int i = 0; i < times; ++i)
            commands.mouse(button, glut::kButtonUp, 32, 24, glut::kShift);
    }
    void load() {
        load_places(state.handle, state.places_path, state.places, state.place_texts, console);
    }

    void set_idle(Idle) override {}
    void set_title(const char* text) override { title = text; }
    void post_redisplay() override {}
    void reshape_window(int, int) override {}
    std::optional<std::string> open_file(const FileDialog&) override { return std::nullopt; }
    std::optional<SaveChoice> save_file(const FileDialog&) override { return save_answer; }
    void message(const std::string&, const std::string&) override {}

    ViewerState state;
    std::optional<SaveChoice> save_answer;
    std::string title;
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* console = open_memstream(&buffer, &size);
    Commands commands{state, *this, *this, console};
};

class DeepViewer : public ::testing::Test {
protected:
    test::TempDir dir;
    Viewer v{dir / "places"};
};

// Clicks with Shift zoom by 16 on the middle pixel: 830 of them go from 1e-20
// to 4e-1020, and as many back return to the same radius.
TEST_F(DeepViewer, ZoomingPastTheOldEndAndBackThroughTheCommands) {
    v.show("0", "1", "1e-20");
    const ExactView start = v.now();
    v.click(glut::kLeftButton, 830);
    const ExactView deep = v.now();
    EXPECT_EQ(deep.x, start.x);
    EXPECT_EQ(format_hex_scientific(deep.radius, 3), "3.81e-1020");
    const std::string said = v.printed();
    EXPECT_EQ(said.substr(said.rfind("mandelbrot")),
              "mandelbrot center = " + Real(deep.x).print("%.*Rf", 1023) + " / " +
                  Real(deep.y).print("%.*Rf", 1023) + "\nexact center = " + deep.x + " / " +
                  deep.y + "\nradius= 3.8055e-1020; maximum iteration depth = 150\n");
    v.click(glut::kRightButton, 830);
    EXPECT_EQ(v.now().radius, start.radius);
    EXPECT_EQ(v.now().x, start.x);
    EXPECT_EQ(hex_to_double(v.now().y), 1.0);  // the 192-bit steps moved it a little
    // Page Down works from far deeper: each press multiplies the radius by 2.56.
    v.show("0", "1", "1e-5000");
    for (int i = 0; i < 10; ++i) v.commands.special_key(glut::kPageDown, glut::kShift);
    EXPECT_EQ(format_hex_scientific(v.now().radius, 5), "1.2089e-4996");
    EXPECT_EQ(v.now().y, start.y);
}

TEST_F(DeepViewer, ConsoleTitleAndVShowTheExactView) {
    v.show("0.25", "0", "1e-1000");
    v.commands.mouse(glut::kMiddleButton, glut::kButtonUp, 1, 1, 0);
    EXPECT_EQ(v.printed(), "mandelbrot center = 0.25" + std::string(1001, '0') + " / 0." +
                               std::string(1003, '0') +
                               "\nexact center = +8.0x-2 / +0.0x+0\nradius= 1e-1000; maximum "
                               "iteration depth = 150\n");
    v.commands.key('V');
    EXPECT_EQ(v.printed(), "quorvel-render --centre +8.0x-2 +0.0x+0 --radius " + v.now().radius +
                               " --iterations 150 --size 64x48 --supersampling 1 --gamma 1.75 "
                               "--out quorvel.png\n");
    v.commands.refine_idle();
    EXPECT_TRUE(v.title.ends_with(", radius 1e-1000")) << v.title;

    // A centre with more digits than 192 bits hold, at a radius doubles hold.
    const char* x =
        "-1.76861049301467707450317565327022653174461478662786941469387613458713657134879";
    v.show(x, "0.0000312", "1e-60");
    print_view(v.state.handle, v.console);
    const std::string said = v.printed();
    EXPECT_EQ(said.rfind("mandelbrot center = "
                         "-1.7686104930146770745031756532702265317446147866278694146938761346 / "
                         "0.0000312000000000000000000000000000000000000000000000000",
                         0),
              0u)
        << said;
    EXPECT_NE(said.find("\nexact center = " + v.now().x + " / " + v.now().y + "\n"),
              std::string::npos);
    EXPECT_TRUE(said.ends_with("\nradius= 1e-60; maximum iteration depth = 150\n")) << said;
    v.commands.refine_idle();
    EXPECT_TRUE(v.title.ends_with(", radius 1e-60")) << v.title;
}

// A picture of a deeper view carries its exact place beside the 192-bit lines
// of its view chunk; a shallow view's chunk has none.
TEST_F(DeepViewer, PicturesOfDeeperViewsCarryTheExactPlace) {
    v.save_answer = SaveChoice{dir / "deep.png", 2};
    v.show("0.25", "0", "1e-1000");
    v.commands.export_picture();
    const std::string deep = test::read_file(dir / "deep.png");
    EXPECT_NE(deep.find("exact-centre-x +8.0x-2\nexact-centre-y +0.0x+0\nexact-radius " +
                        v.now().radius + "\n"),
              std::string::npos);
    v.save_answer = SaveChoice{dir / "shallow.png", 2};
    v.show("0.25", "0", "1e-10");
    v.commands.export_picture();
    const std::string shallow = test::read_file(dir / "shallow.png");
    EXPECT_NE(shallow.find("centre-x +8.0x-2\n"), std::string::npos);
    EXPECT_EQ(shallow.find("exact-"), std::string::npos);
}

// Views within 192 bits print exactly as they always have; this includes a
// radius deep below the doubles' precision yet a normal double.
TEST_F(DeepViewer, ShallowViewsPrintAsBefore) {
    const std::string r1000 = "+8.0x-1000";
    for (const std::string& radius :
         {std::string("2"), std::string("1e-10"), std::string("1e-300"), r1000}) {
        v.show("-0.743643887037151", "0.131825904205330", radius.c_str());
        if (radius != "2")
            v.show(v.now().x.c_str(), v.now().y.c_str(), radius.c_str());  // 192 bits
        double x, y, r;
        qv_get_view_params_as_doubles(v.state.handle, &x, &y, &r);
        char text[400];
        std::snprintf(text, sizeof text,
                      "mandelbrot center = %.10f / %.10f\nradius= %.5g; maximum iteration depth "
                      "= 150\n",
                      x, y, r);
        print_view(v.state.handle, v.console);
        EXPECT_EQ(v.printed(), text) << radius;
        char cx[64], cy[64];
        qv_get_view_params_as_text(v.state.handle, cx, cy, &r);
        std::snprintf(text, sizeof text,
                      "quorvel-render --centre %s %s --radius %.17g --iterations 150 --size 64x48 "
                      "--supersampling 1 --gamma 1.75 --out quorvel.png\n",
                      cx, cy, r);
        v.commands.key('v');
        EXPECT_EQ(v.printed(), text) << radius;
        v.commands.refine_idle();
        EXPECT_EQ(v.title.find("radius"), std::string::npos) << v.title;
    }
}

std::string slot_of(const std::string& bytes, int slot) { return bytes.substr(100 * slot, 100); }
std::string record_bytes(const Location& place) {
    return std::string(reinterpret_cast<const char*>(&place), sizeof place);
}

TEST_F(DeepViewer, PlacesKeepAnyDepthThroughTheTextFile) {
    v.show("-1.7686104930146770745031756532702265317446147866278694146938761345871365713",
           "0.0000312", "1e-1000");
    v.commands.key('q');  // limit 300
    const ExactView deep = v.now();
    Location rounded;
    qv_store_location_to(v.state.handle, &rounded);
    v.commands.special_key(glut::kF1 + 3, glut::kCtrl);
    EXPECT_EQ(v.printed(), "max iterations=300\nsaved this location to slot #4\n");
    // The text holds the exact view, the binary file its 192-bit rounding.
    const std::string text = test::read_file(dir / "places.txt");
    EXPECT_EQ(text, "\n\n\n" + deep.x + " " + deep.y + " " + deep.radius + " 300\n" +
                        std::string(8, '\n'));
    const std::string bytes = test::read_file(dir / "places");
    ASSERT_EQ(bytes.size(), 1200u);
    EXPECT_EQ(slot_of(bytes, 3), record_bytes(rounded));

    // A new viewer reads the text file; F4 shows the exact place and its limit.
    Viewer second(dir / "places");
    second.load();
    EXPECT_EQ(second.printed(), "Loading places: " + dir / "places.txt" + "\n");
    EXPECT_EQ(record_bytes(second.state.places[3]), record_bytes(rounded));  // made from the text
    second.commands.special_key(glut::kF1 + 3, 0);
    EXPECT_EQ(second.now(), deep);
    EXPECT_EQ(qv_get_maximum_iterations(second.state.handle), 300u);
    second.printed();

    // Without the text file, the binary one: the rounded centre.
    std::filesystem::remove(dir / "places.txt");
    second.state.place_texts = {};
    second.load();
    EXPECT_EQ(second.printed(), "Loading places: " + dir / "places" + "\n");
    second.commands.special_key(glut::kF1 + 3, 0);
    EXPECT_NE(second.now().x, deep.x);
    EXPECT_EQ(second.now().radius, deep.radius);
}

// A text file that cannot be used is said and put aside; the binary file then
// gives the places. An empty line keeps the binary file's record.
TEST_F(DeepViewer, DamagedTextFilesFallBackToTheBinaryFile) {
    Places binary{};
    for (int i = 0; i < kPlaceCount; ++i) binary[i].max_iterations = 500 + i;
    std::string error;
    ASSERT_TRUE(write_places(dir / "places", binary, error));
    const std::string good = "+8.0x-2 +0.0x+0 +8.0x-4000 777\n";
    const std::pair<std::string, std::string> damaged[] = {
        {good + std::string(10, '\n'), "line 12: missing"},
        {"+8.0x-2 +0.0x+0 +8.0x-99999999999 777\n" + std::string(11, '\n'),
         "line 1: the engine refuses this place"}};
    for (const auto& [contents, problem] : damaged) {
        test::write_file(dir / "places.txt", contents);
        v.load();
        EXPECT_EQ(v.printed(), "cannot use the places file " + dir / "places.txt" + ": " + problem +
                                   "; kept as " + dir / "places.txt.bad" + "; reading " +
                                   dir / "places" + " instead\nLoading places: " + dir / "places" +
                                   "\n");
        EXPECT_EQ(test::read_file(dir / "places.txt.bad"), contents);
        EXPECT_FALSE(std::filesystem::exists(dir / "places.txt"));
        EXPECT_EQ(record_bytes(v.state.places[5]), record_bytes(binary[5]));
        EXPECT_FALSE(v.state.place_texts[0]);
    }
    test::write_file(dir / "places.txt", std::string(5, '\n') + good + std::string(6, '\n'));
    v.load();
    EXPECT_EQ(v.printed(), "Loading places: " + dir / "places.txt" + "\n");
    EXPECT_EQ(record_bytes(v.state.places[4]), record_bytes(binary[4]));
    EXPECT_EQ(v.state.places[5].max_iterations, 777u);
    v.commands.special_key(glut::kF1 + 5, 0);
    EXPECT_EQ(v.now(), (ExactView{"+8.0x-2", "+0.0x+0", "+8.0x-4000"}));
}

TEST_F(DeepViewer, IterationLimitsAreSetExactlyBelowTwoToThe23) {
    for (std::uint32_t from : {150u, 7u, 1000000u, 4294967295u}) {
        for (std::uint32_t limit : {2u, 3u, 149u, 151u, 299u, 1234567u, 8388607u, 4294967295u}) {
            set_iteration_limit(v.state.handle, from);
            set_iteration_limit(v.state.handle, limit);
            const double got = qv_get_maximum_iterations(v.state.handle);
            if (limit < (1u << 23))
                EXPECT_EQ(got, limit) << from << " to " << limit;
            else
                EXPECT_NEAR(got / limit, 1.0, 2e-7) << from << " to " << limit;
        }
    }
}

TEST_F(DeepViewer, ResumeKeepsDeepViews) {
    v.show("0.25", "-0.5", "3e-2000");
    const ExactView deep = v.now();
    v.state.session_path = dir / "session.q";
    std::string error;
    ASSERT_TRUE(save_session(v.state.handle, v.state.session_path, error));
    Viewer second(dir / "places");
    second.state.session_path = v.state.session_path;
    ASSERT_TRUE(resume_session(second.state, second.console));
    EXPECT_EQ(second.now(), deep);
    EXPECT_NE(second.printed().find("\nexact center = +8.0x-2 / -8.0x-1\nradius= 3e-2000;"),
              std::string::npos);
}

}  // namespace
