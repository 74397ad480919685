#include "image_file.h"

#include <signal.h>

namespace quorvel::render {
namespace {

extern "C" void remove_pending_and_exit(int signal_number) {
    common::remove_pending_temporary_file();
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

}  // namespace

void install_interrupt_cleanup() {
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) signal(s, remove_pending_and_exit);
}

}  // namespace quorvel::render
