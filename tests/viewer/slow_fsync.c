/* Preloaded into the viewer by e2e.sh: while the file $QV_SLOW_FSYNC_DIR/slow
   exists, fsync of a temporary file in that folder takes three seconds, so
   that a signal arrives while a save is in progress. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

/* Three seconds, however often a signal handler interrupts the sleep. */
static void sleep_through(void) {
    struct timespec left = {3, 0};
    while (nanosleep(&left, &left) != 0) {
    }
}

__attribute__((visibility("default"))) int fsync(int fd) {
    int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    const char* folder = getenv("QV_SLOW_FSYNC_DIR");
    if (folder != NULL) {
        char link[64], path[4096], marker[4096];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        snprintf(marker, sizeof marker, "%s/slow", folder);
        const ssize_t n = readlink(link, path, sizeof path - 1);
        if (n > 0) path[n] = '\0';
        if (n > 0 && strncmp(path, folder, strlen(folder)) == 0 &&
            strstr(path, "/.quorvel-") != NULL && access(marker, F_OK) == 0)
            sleep_through();
    }
    return real(fd);
}
