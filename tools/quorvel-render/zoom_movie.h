// A zoom movie: its missing frames rendered by worker processes, then
// optionally encoded by ffmpeg.
#pragma once

#include <string>

#include "options.h"
#include "run_common.h"

namespace quorvel::render {

// The full path of a program found through PATH, or empty.
std::string find_program(const char* name);

// Renders the frames of the range that do not exist yet; `ffmpeg` is the
// program that encodes --video.
int render_movie(const Plan& plan, const Options& o, const Target& t, int jobs,
                 const std::string& ffmpeg);

}  // namespace quorvel::render
