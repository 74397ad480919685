// The stop signals: what the first one asks, when the process ends from the
// handler, and that it then leaves no temporary file, the engine's included.
// Each case runs in a child process, which the signal path ends.
#include "emergency.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <ctime>
#include <functional>

#include "atomic_file.h"
#include "test_support.h"

namespace {

using namespace quorvel::viewer;
namespace common = quorvel::common;
namespace fs = std::filesystem;

constexpr long kGrace = 100000;  // microseconds
constexpr int kLived = 42;       // a child that ends by itself

// Runs `body` in a child that ends with kLived after it; the exit status, or
// 128 + the signal that killed it. A child is stopped after ten seconds.
int in_child(const std::function<void()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(10);
        body();
        ::_exit(kLived);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Sleeps for `seconds` even when a signal handler interrupts the sleep.
void sleep_through(double seconds) {
    timespec left{static_cast<time_t>(seconds), static_cast<long>((seconds - long(seconds)) * 1e9)};
    while (::nanosleep(&left, &left) != 0) {
    }
}

// The names in a folder, hidden ones too.
std::vector<std::string> names(const fs::path& folder) {
    std::vector<std::string> list;
    for (const auto& entry : fs::directory_iterator(folder))
        list.push_back(entry.path().filename().string());
    std::sort(list.begin(), list.end());
    return list;
}

TEST(StopSignals, EachAsksTheLoopToEndAndTheShutdownHasNoDeadline) {
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        const int status = in_child([signal] {
            install_stop_signals(kGrace);
            ::raise(signal);
            if (!stop_requested()) ::_exit(1);
            // The normal shutdown's saves outlast the deadline the signal set.
            begin_shutdown();
            sleep_through(3.0 * kGrace / 1e6);
        });
        EXPECT_EQ(status, kLived) << "signal " << signal;
    }
}

// The engine's file writer names its temporary file by the folder and the
// process; the handler finds it there, a link to the target followed, and
// leaves other processes' files alone. Both ends, the deadline passing while
// the main loop is stuck in a save and a signal during the shutdown's saves,
// leave only the places, written from memory.
TEST(StopSignals, EndingDuringASaveLeavesNoTemporaryFile) {
    for (bool during_shutdown : {false, true}) {
        test::TempDir dir;
        fs::create_directory(dir / "state");
        test::write_file(dir / "state/session.q", "the old session");
        fs::create_symlink(dir / "state/session.q", dir / "session.q");
        test::write_file(dir / "state/.quorvel-1-1", "another process's");
        Places places{};
        places[3].max_iterations = 77;
        const int status = in_child([&] {
            prepare_emergency_exit(dir / "places", &places);
            install_stop_signals(kGrace);
            ::raise(SIGTERM);
            if (during_shutdown) begin_shutdown();
            // What a save by the engine and a picture by the viewer leave
            // while they are written.
            note_engine_save(dir / "session.q");
            const std::string engine_temp =
                common::temporary_file_prefix(dir / "state", ::getpid()) + "5";
            test::write_file(engine_temp, "half a session");
            common::AtomicFile picture;
            std::string error;
            if (!fs::exists(engine_temp) || !picture.open(dir / "picture.png", error)) return;
            if (during_shutdown) ::raise(SIGINT);
            sleep_through(3.0 * kGrace / 1e6);
        });
        EXPECT_EQ(status, 0) << during_shutdown;
        EXPECT_EQ(names(dir.path()), (std::vector<std::string>{"places", "session.q", "state"}))
            << during_shutdown;
        EXPECT_EQ(names(dir / "state"), (std::vector<std::string>{".quorvel-1-1", "session.q"}))
            << during_shutdown;
        EXPECT_EQ(test::read_file(dir / "places").size(), sizeof places);
    }
}

}  // namespace
