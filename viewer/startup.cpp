#include "startup.h"

#include <cctype>
#include <climits>

namespace quorvel::viewer {

std::string program_directory(std::string_view program_path) {
    if (program_path.size() < 2) return {};
    for (std::size_t i = program_path.size() - 1; i-- > 0;) {
        if (program_path[i] == '/' || program_path[i] == '\\')
            return std::string(program_path.substr(0, i + 1));
    }
    return {};
}

int parse_megabytes(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) value = INT_MAX;
    return static_cast<int>(value);
}

StartOptions parse_command_line(int argc, const char* const* argv) {
    StartOptions options;
    if (argc > 0 && argv[0] != nullptr) options.program_dir = program_directory(argv[0]);
    options.places_path = options.program_dir + "places";
    options.palette_path = options.program_dir + "def.pal";
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "-resume") {
            options.resume = true;
        } else if (auto at = arg.find("-megs="); at != std::string_view::npos) {
            options.megabytes = parse_megabytes(arg.substr(at + 6));
        } else if (arg.find('\\') != std::string_view::npos || arg.starts_with('/')) {
            // Absolute paths name the file itself, not something beside the program.
            options.palette_path = std::string(arg);
        } else {
            options.palette_path = options.program_dir + std::string(arg);
        }
    }
    if (options.megabytes < 0) options.megabytes = kDefaultMegabytes;
    return options;
}

void print_command_line(std::FILE* out, int argc, const char* const* argv) {
    std::fputs("Command line:\n", out);
    for (int i = 0; i < argc; ++i) {
        std::fputs(argv[i], out);
        std::fputs(i + 1 < argc ? " " : "\n", out);
    }
}

}  // namespace quorvel::viewer
