// Calls that fail for want of memory leave the context as it was, and the calls
// after them work; a load never waits on a file that is not a regular one.
// Each case runs in a child process, so that its address-space limit, and a
// crash or a hang, stay there.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "public_test_util.h"

using namespace qvtest;

namespace {

// Runs `body` in a child; returns "" when it returned null, otherwise what went
// wrong. A child that does not end within a minute is stopped as hung.
template <class Body>
std::string in_child(Body body) {
    const pid_t pid = ::fork();
    if (pid < 0) return "fork failed";
    if (pid == 0) {
        ::alarm(60);
        const char* failure = body();
        if (failure != nullptr) std::fprintf(stderr, "%s\n", failure);
        ::_exit(failure == nullptr ? 0 : 1);
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return "waitpid failed";
    if (WIFSIGNALED(status))
        return WTERMSIG(status) == SIGALRM ? "hung"
                                           : "killed by signal " + std::to_string(WTERMSIG(status));
    return WEXITSTATUS(status) == 0 ? "" : "a check failed (see above)";
}

// Address space in use now, in bytes.
size_t address_space_used() {
    unsigned long pages = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%lu", &pages) != 1) pages = 0;
        std::fclose(f);
    }
    return pages * static_cast<size_t>(::sysconf(_SC_PAGESIZE));
}

// Lets the process map at most `extra` bytes more than it has now.
bool limit_address_space(size_t extra) {
    const rlim_t bytes = address_space_used() + extra;
    const rlimit limit{bytes, bytes};
    return ::setrlimit(RLIMIT_AS, &limit) == 0;
}

// The picture as the caller sees it: width x height x 3 readable bytes.
bool picture_readable(qv_handle h) {
    const volatile unsigned char* rgb = qv_get_rgb_image(h);
    if (rgb == nullptr) return false;
    const size_t n = size_t(qv_get_image_width(h)) * qv_get_image_height(h) * 3;
    unsigned sum = 0;
    for (size_t i = 0; i < n; i += 4096) sum += rgb[i];
    if (n != 0) sum += rgb[n - 1];
    return sum != ~0u;
}

// The sanitizer's allocator ends the process instead of failing an allocation.
#if defined(__SANITIZE_ADDRESS__)
#define QV_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QV_ADDRESS_SANITIZER 1
#endif
#endif
#ifdef QV_ADDRESS_SANITIZER
#define SKIP_UNDER_ADDRESS_SANITIZER() GTEST_SKIP() << "allocations cannot fail under ASan"
#else
#define SKIP_UNDER_ADDRESS_SANITIZER() (void)0
#endif

}  // namespace

// A picture too large for the address space: the size stays, and so does a
// picture of that size.
TEST(AllocationFailure, ImageSizeThatDoesNotFitChangesNothing) {
    SKIP_UNDER_ADDRESS_SANITIZER();
    const std::string failure = in_child([]() -> const char* {
        ContextGuard h(96);
        qv_set_image_properties(h, 120, 90, 2, -1.0f);
        refine_to_end(h);
        if (!limit_address_space(size_t(256) << 20)) return "setrlimit";
        qv_set_image_properties(h, 32767, 32767, 1, -1.0f);  // 3.2 GB of picture
        if (qv_get_image_width(h) != 120 || qv_get_image_height(h) != 90)
            return "the failed call changed the size";
        if (!picture_readable(h)) return "no picture after the failure";
        qv_refine_image(h);
        qv_set_image_properties(h, 400, 300, 1, -1.0f);
        refine_to_end(h);
        if (qv_get_image_width(h) != 400 || !picture_readable(h))
            return "a size that fits failed after the failure";
        return nullptr;
    });
    EXPECT_EQ(failure, "");
}

// A moved view whose copy for the history does not fit: no entry is added, and
// the history works on. A zoom gives the history the pixels it drops, so it
// needs no room for a copy.
TEST(AllocationFailure, NewViewThatDoesNotFitChangesNothing) {
    SKIP_UNDER_ADDRESS_SANITIZER();
    const std::string failure = in_child([]() -> const char* {
        ContextGuard h(1000);
        qv_set_image_properties(h, 4000, 4000, 1, -1.0f);
        if (!picture_readable(h)) return "no picture";  // the view's pixels exist
        double x0, y0, r0;
        qv_get_view_params_as_doubles(h, &x0, &y0, &r0);
        // Less room than one more copy of the 34 MB of pixels.
        if (!limit_address_space(size_t(8) << 20)) return "setrlimit";
        qv_move(h, 0.25f, 0.0f);
        double x, y, radius;
        qv_get_view_params_as_doubles(h, &x, &y, &radius);
        if (x != x0 || y != y0 || radius != r0) return "the failed move changed the view";
        if (qv_history_back(h)) return "the failed move added an entry";
        if (!picture_readable(h)) return "no picture after the failure";
        qv_zoom_centered(h, 2.0f);
        qv_get_view_params_as_doubles(h, &x, &y, &radius);
        if (radius != r0 / 2) return "the zoom failed";
        if (!qv_history_back(h) || !picture_readable(h)) return "the zoom lost the pixels";
        qv_set_image_properties(h, 200, 200, 1, -1.0f);
        qv_zoom_centered(h, 2.0f);
        if (!qv_history_back(h) || !picture_readable(h) || !qv_history_forward(h))
            return "the history failed after the failure";
        refine_to_end(h);
        return picture_readable(h) ? nullptr : "no picture at the end";
    });
    EXPECT_EQ(failure, "");
}

// A step forward to a view whose picture does not fit stays where it was.
TEST(AllocationFailure, StepToAViewThatDoesNotFitStays) {
    SKIP_UNDER_ADDRESS_SANITIZER();
    const std::string failure = in_child([]() -> const char* {
        ContextGuard h(1000);
        qv_set_image_properties(h, 120, 90, 1, -1.0f);
        qv_zoom_centered(h, 2.0f);
        qv_set_image_properties(h, 4000, 3000, 1, -1.0f);
        if (!qv_history_back(h) || !picture_readable(h)) return "no way back";
        if (!limit_address_space(size_t(8) << 20)) return "setrlimit";
        qv_history_forward(h);  // 36 MB of picture
        if (qv_get_image_width(h) != 120 || !picture_readable(h))
            return "the failed step changed the view shown";
        if (qv_history_back(h)) return "the failed step moved in the history";
        qv_zoom_centered(h, 4.0f);
        refine_to_end(h);
        return picture_readable(h) ? nullptr : "no picture after the failure";
    });
    EXPECT_EQ(failure, "");
}

// A reset with no memory left at all keeps the context; once memory is back
// the reset works.
TEST(AllocationFailure, ResetWithoutMemoryChangesNothing) {
    SKIP_UNDER_ADDRESS_SANITIZER();
    const std::string failure = in_child([]() -> const char* {
        ContextGuard h(96);
        qv_set_image_properties(h, 10, 10, 1, -1.0f);
        qv_zoom_centered(h, 2.0f);
        if (!picture_readable(h)) return "no picture";
        // Take every byte the heap can still give, largest blocks first, and
        // the room a reset needs once they are back: the engine gives free
        // heap pages back, so the heap has no spare room of its own.
        std::vector<void*> taken;
        taken.reserve(size_t(1) << 20);
        if (!limit_address_space(size_t(4) << 20)) return "setrlimit";
        for (size_t size = size_t(1) << 20; size >= 8; size /= 2)
            while (taken.size() < taken.capacity())
                if (void* p = std::malloc(size))
                    taken.push_back(p);
                else
                    break;
        qv_reset_context(h);
        const bool kept = qv_get_image_width(h) == 10 && picture_readable(h) && qv_history_back(h);
        for (void* p : taken) std::free(p);
        if (!kept) return "the failed reset changed the context";
        qv_reset_context(h);
        if (qv_get_image_width(h) != 100 || qv_history_back(h) || !picture_readable(h))
            return "the reset failed once memory was back";
        return nullptr;
    });
    EXPECT_EQ(failure, "");
}

// Opening a FIFO for reading waits for a writer: a load must refuse it
// without opening it that way.
TEST(HistoryFile, LoadNeverWaitsOnAFifo) {
    const std::string fifo = "/tmp/qv_fifo_" + std::to_string(::getpid());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string failure = in_child([&]() -> const char* {
        ContextGuard h;
        return qv_load(h, fifo.c_str()) ? "a FIFO was loaded" : nullptr;
    });
    EXPECT_EQ(failure, "");
    ::unlink(fifo.c_str());
}
