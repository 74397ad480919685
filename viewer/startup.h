// Command line and program-directory rules of the viewer.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace quorvel::viewer {

inline constexpr int kDefaultMegabytes = 96;

struct StartOptions {
    std::string program_dir;   // with its trailing separator, or empty
    std::string places_path;   // program_dir + "places", or the per-user file
    std::string palette_path;  // program_dir + "def.pal", or the command line's palette
    int megabytes = kDefaultMegabytes;
    bool resume = false;           // "-resume": start from the saved session
    bool places_per_user = false;  // the program folder is read-only
    std::string session_path;      // empty: no session is kept
};

// The directory part of the program's path, separator included. The last
// character is never taken as the separator, so "dir/" gives "" rather than
// "dir/". A path without '/' or '\' gives "" (places and palette are then
// looked up in the current directory); a colon is an ordinary character here.
std::string program_directory(std::string_view program_path);

// The value of a "-megs=" argument, read as atoi would (no digits give 0,
// out-of-range values saturate).
int parse_megabytes(std::string_view digits);

// Applies the rules for every argument after the program path; a later
// argument overrides an earlier one, and a negative limit becomes 96.
// "-resume" asks for the saved session; any other argument names a palette.
StartOptions parse_command_line(int argc, const char* const* argv);

// "Command line:\n" followed by the arguments separated by spaces.
void print_command_line(std::FILE* out, int argc, const char* const* argv);

}  // namespace quorvel::viewer
