#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "test_support.h"

namespace {

using namespace quorvel::viewer;
using fake::engine;

class CommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        state.handle = fake::handle();
    }
    std::string console_after(std::string_view keys) {
        for (char k : keys) commands.key(static_cast<unsigned char>(k));
        return console.take();
    }

    ViewerState state;
    test::RecordingWindow window;
    test::ScriptedDialogs dialogs;
    test::Console console;
    Commands commands{state, window, dialogs, console.file()};
};

TEST(KeyFolding, ClearsTheValue32Bit) {
    EXPECT_EQ(fold_case('y'), 'Y');
    EXPECT_EQ(fold_case('Y'), 'Y');
    EXPECT_EQ(fold_case('s'), 'S');
    EXPECT_EQ(fold_case(' '), 0);
    EXPECT_EQ(fold_case(0), 0);
}

TEST_F(CommandsTest, UpperAndLowerCaseActAlikeForFoldedKeys) {
    EXPECT_EQ(console_after("rR"), "restarting\nrestarting\n");
    EXPECT_EQ(console_after("bB"), "background crunching off\nbackground crunching on\n");
    EXPECT_EQ(console_after("dD"), "preview disabled\npreview enabled\n");
    // Character code 0 folds onto the space bar.
    commands.key(0);
    EXPECT_EQ(console.take(),
              "mandelbrot center = 0.0000000000 / 0.0000000000\n"
              "radius= 2; maximum iteration depth = 150\n");
    EXPECT_EQ(fake::calls_starting("set_view_params").size(), 1u);
    // Keys without a command do nothing at all.
    engine().calls.clear();
    EXPECT_EQ(console_after("zZ@;\x7f"), "");
    EXPECT_TRUE(engine().calls.empty());
}

TEST_F(CommandsTest, GammaStopsAtItsLimitsWithoutPrinting) {
    EXPECT_EQ(console_after("0"), "aa gamma correction set to 1.875\n");
    EXPECT_EQ(console_after("00000"),
              "aa gamma correction set to 2.000\naa gamma correction set to 2.125\n"
              "aa gamma correction set to 2.250\naa gamma correction set to 2.375\n"
              "aa gamma correction set to 2.500\n");
    engine().calls.clear();
    const int redisplays = window.redisplays;
    EXPECT_EQ(console_after("0"), "");
    EXPECT_EQ(state.gamma, 2.5f);
    EXPECT_TRUE(engine().calls.empty());
    EXPECT_EQ(window.redisplays, redisplays);
    EXPECT_EQ(engine().gamma, 2.5f);

    EXPECT_EQ(console_after("9"), "aa gamma correction set to 2.375\n");
    for (int i = 0; i < 20; ++i) commands.key('9');
    EXPECT_EQ(state.gamma, 0.5f);
    EXPECT_EQ(engine().gamma, 0.5f);
    // Gamma changes only recolour: no refinement is restarted.
    EXPECT_TRUE(window.idles.empty());
}

TEST_F(CommandsTest, DigitsSetSupersampling) {
    EXPECT_EQ(console_after("1"), "no antialiasing\n");
    EXPECT_EQ(console_after("2"), "2x2 ordered grid supersampling\n");
    EXPECT_EQ(console_after("8"), "8x8 ordered grid supersampling\n");
    EXPECT_EQ(engine().supersampling, 8);
    EXPECT_EQ(engine().calls.back(), "set_image_properties -1 -1 8 -1");
    EXPECT_EQ(window.idles.back(), Idle::refine);
}

TEST_F(CommandsTest, IterationKeysAreCaseSensitive) {
    EXPECT_EQ(console_after("q"), "max iterations=300\n");
    EXPECT_EQ(console_after("Q"), "max iterations=375\n");
    EXPECT_EQ(console_after("a"), "max iterations=187\n");
    EXPECT_EQ(console_after("A"), "max iterations=149\n");
}

TEST(CyclingSpeed, RaiseAndLowerSequences) {
    EXPECT_EQ(std::nextafter(kCyclingSlowdown, 1.0f), 2.0f / 3.0f);
    const float up[] = {8, 12, 18, 27, 40.5f, 60.75f, 91.125f, 136.6875f, 205.03125f, 307.546875f};
    float speed = 0.0f, down = 0.0f;
    for (float expected : up) {
        speed = raised_cycling_speed(speed);
        down = lowered_cycling_speed(down);
        EXPECT_EQ(speed, expected);
        EXPECT_EQ(down, -expected);
    }
    EXPECT_EQ(lowered_cycling_speed(8.0f), 0.0f);
    EXPECT_EQ(raised_cycling_speed(-8.0f), 0.0f);
    EXPECT_EQ(raised_cycling_speed(7.5f), 0.0f);
    EXPECT_EQ(raised_cycling_speed(-7.5f), 0.0f);
    EXPECT_EQ(lowered_cycling_speed(12.0f), 12.0f * kCyclingSlowdown);
    EXPECT_EQ(raised_cycling_speed(-12.0f), -12.0f * kCyclingSlowdown);
}

TEST_F(CommandsTest, CyclingKeysStopAt256AndPassThroughZero) {
    for (int i = 0; i < 10; ++i) commands.key('c');
    EXPECT_EQ(state.cycling_speed, 307.546875f);
    EXPECT_EQ(engine().cycling_speed, 307.546875f);
    engine().calls.clear();
    window.idles.clear();
    commands.key('c');
    EXPECT_TRUE(engine().calls.empty());
    EXPECT_TRUE(window.idles.empty());
    EXPECT_EQ(state.cycling_speed, 307.546875f);

    // Walking down passes 8 -> 0 -> -8.
    bool saw_zero = false;
    for (int i = 0; i < 30 && state.cycling_speed > -256.0f; ++i) {
        commands.key('C');
        saw_zero = saw_zero || state.cycling_speed == 0.0f;
    }
    EXPECT_TRUE(saw_zero);
    EXPECT_LE(state.cycling_speed, -256.0f);
    const float low = state.cycling_speed;
    commands.key('C');
    EXPECT_EQ(state.cycling_speed, low);
    EXPECT_EQ(console.take(), "");

    EXPECT_EQ(console_after("P"), "Resetting palette\n");
    EXPECT_EQ(state.cycling_speed, 0.0f);
    EXPECT_EQ(engine().cycling_speed, 0.0f);
    EXPECT_EQ(engine().calls.back(), "set_palette");
}

TEST_F(CommandsTest, GeneratorKeySkipsBruteForce) {
    EXPECT_EQ(console_after("m"), "using box matching\n");
    EXPECT_EQ(console_after("M"), "using contour tracing\n");
    EXPECT_EQ(fake::calls_starting("change_generator_type").size(), 3u);
    engine().generator_type = 2;
    EXPECT_EQ(console_after("m"), "using contour tracing\n");
}

TEST_F(CommandsTest, HistoryStepsOnlyActWhenTheEngineMoves) {
    EXPECT_EQ(console_after("yx"), "");
    EXPECT_TRUE(window.reshapes.empty());
    EXPECT_TRUE(window.idles.empty());

    engine().history_last = 1;
    engine().history_index = 1;
    engine().width = 320;
    engine().height = 200;
    EXPECT_EQ(console_after("Y"),
              "mandelbrot center = 0.0000000000 / 0.0000000000\n"
              "radius= 2; maximum iteration depth = 150\n");
    ASSERT_EQ(window.reshapes.size(), 1u);
    EXPECT_EQ(window.reshapes[0], std::make_pair(320, 200));
    EXPECT_EQ(window.idles.back(), Idle::refine);
    console_after("x");
    EXPECT_EQ(engine().history_index, 1);
}

TEST_F(CommandsTest, InfoPrintFormats) {
    engine().x = -0.74364388703;
    engine().y = 0.13182590421;
    engine().radius = 0.000123456789;
    engine().max_iterations = 4000;
    commands.key(' ');  // resets the fake view first
    console.take();
    engine().x = -0.74364388703;
    engine().y = 0.13182590421;
    engine().radius = 0.000123456789;
    commands.special_key(glut::kLeft, 0);
    EXPECT_EQ(console.take(),
              "mandelbrot center = -0.7436438870 / 0.1318259042\n"
              "radius= 0.00012346; maximum iteration depth = 4000\n");
}

TEST_F(CommandsTest, SpecialKeysZoomMoveAndPlaces) {
    commands.special_key(glut::kPageUp, 0);
    commands.special_key(glut::kPageUp, glut::kShift);
    commands.special_key(glut::kPageDown, 0);
    commands.special_key(glut::kPageDown, glut::kShift);
    commands.special_key(glut::kLeft, 0);
    commands.special_key(glut::kRight, glut::kShift);
    commands.special_key(glut::kUp, 0);
    commands.special_key(glut::kDown, glut::kShift | glut::kCtrl);
    const std::vector<std::string> expected = {
        "zoom_centered 1.6", "zoom_centered 2.56", "zoom_centered 0.625", "zoom_centered 0.390625",
        "move -0.125 0",     "move 0.3125 0",      "move 0 0.125",        "move 0 -0.3125"};
    EXPECT_EQ(engine().calls, expected);
    EXPECT_EQ(window.idles.size(), 8u);
    EXPECT_NE(console.take().find("radius= 1.25; maximum iteration depth = 150\n"),
              std::string::npos);

    // The modifier keys themselves arrive as special keys 112 to 117.
    engine().calls.clear();
    for (int key = 112; key <= 117; ++key) commands.special_key(key, glut::kCtrl);
    EXPECT_TRUE(engine().calls.empty());
    EXPECT_EQ(console.take(), "");

    engine().radius = 0.5;
    engine().max_iterations = 600;
    commands.special_key(3, glut::kCtrl);
    EXPECT_EQ(console.take(), "saved this location to slot #3\n");
    double radius = 0;
    std::memcpy(&radius, state.places[2].radius, 8);
    EXPECT_EQ(radius, 0.5);
    EXPECT_EQ(state.places[2].max_iterations, 600u);
    EXPECT_EQ(state.places[1].max_iterations, 0u);

    commands.key(' ');
    console.take();
    commands.special_key(3, glut::kShift);
    EXPECT_EQ(console.take(),
              "restored location #3\n"
              "mandelbrot center = 0.0000000000 / 0.0000000000\n"
              "radius= 0.5; maximum iteration depth = 600\n");
    commands.special_key(12, glut::kCtrl);
    EXPECT_EQ(console.take(), "saved this location to slot #12\n");
}

TEST_F(CommandsTest, MouseZoomsOnReleaseAndRespectsTheLock) {
    commands.mouse(glut::kLeftButton, glut::kButtonDown, 10, 20, 0);
    EXPECT_TRUE(engine().calls.empty());
    commands.mouse(glut::kLeftButton, glut::kButtonUp, 10, 20, 0);
    commands.mouse(glut::kLeftButton, glut::kButtonUp, 10, 20, glut::kShift);
    commands.mouse(glut::kRightButton, glut::kButtonUp, 30, 40, 0);
    commands.mouse(glut::kRightButton, glut::kButtonUp, 30, 40, glut::kShift);
    commands.mouse(glut::kMiddleButton, glut::kButtonUp, 30, 40, 0);
    const std::vector<std::string> expected = {
        "zoom_on_window_coord 10 20 2", "zoom_on_window_coord 10 20 16",
        "zoom_on_window_coord 30 40 0.5", "zoom_on_window_coord 30 40 0.0625"};
    EXPECT_EQ(engine().calls, expected);
    // Every release, the middle one too, prints and restarts.
    EXPECT_EQ(window.idles.size(), 5u);

    state.title[0] = '.';
    commands.key('l');
    EXPECT_EQ(window.titles.back(), ".Mouse lock active");
    engine().calls.clear();
    commands.mouse(glut::kLeftButton, glut::kButtonDown, 1, 1, 0);
    commands.mouse(glut::kLeftButton, glut::kButtonUp, 1, 1, 0);
    EXPECT_TRUE(engine().calls.empty());
    EXPECT_EQ(window.titles.back(), ".Press L first.");
    commands.key('L');
    EXPECT_EQ(window.titles.back(), ".Mouse lock off");
}

TEST_F(CommandsTest, IdleStepsTitleAndSwitching) {
    EXPECT_FALSE(commands.refine_idle());
    EXPECT_EQ(window.titles.back(), ".crunching - 45.7%");
    commands.refine_idle();
    EXPECT_EQ(window.titles.back(), " crunching - 45.7%");
    EXPECT_EQ(window.redisplays, 2);
    EXPECT_TRUE(window.idles.empty());

    engine().refine_image_result = false;
    EXPECT_TRUE(commands.refine_idle());
    EXPECT_EQ(window.titles.back(), " done    91.2% efficiency, 1.2 seconds");
    EXPECT_EQ(window.idles.back(), Idle::done);

    // Background work blinks the first character and keeps the rest.
    engine().refine_history_result = true;
    commands.done_idle();
    EXPECT_EQ(window.titles.back(), ".done    91.2% efficiency, 1.2 seconds");
    commands.done_idle();
    EXPECT_EQ(window.titles.back(), " done    91.2% efficiency, 1.2 seconds");
    EXPECT_EQ(window.idles.back(), Idle::done);

    // Nothing left and no cycling: no idle at all.
    engine().refine_history_result = false;
    const int redisplays = window.redisplays;
    commands.done_idle();
    EXPECT_EQ(window.titles.back()[0], ' ');
    EXPECT_EQ(window.idles.back(), Idle::none);
    EXPECT_EQ(window.redisplays, redisplays);

    // With cycling the window keeps redrawing.
    commands.key('c');
    commands.done_idle();
    EXPECT_EQ(window.idles.back(), Idle::redisplay);
    EXPECT_EQ(window.redisplays, redisplays + 1);

    // Background crunching off skips the history.
    commands.key('b');
    engine().calls.clear();
    commands.done_idle();
    EXPECT_TRUE(fake::calls_starting("refine_history").empty());
}

TEST_F(CommandsTest, ReshapeFollowsTheWindow) {
    commands.reshape(640, 480);
    EXPECT_EQ(engine().calls.back(), "set_image_properties 640 480 -1 -1");
    EXPECT_EQ(window.idles.back(), Idle::refine);
}

}  // namespace
