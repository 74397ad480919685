// Feeds arbitrary files to the viewer's palette reader. An accepted file must
// have set the palette's first bytes to its own and kept the rest, and the
// palette written back must read back equal; a refused one (only an empty
// file) must leave the palette as it was and say why.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "palette_file.h"

namespace {

using quorvel::viewer::Palette;

const std::string& path() {
    static const std::string p = "/tmp/qv-palette-fuzz-" + std::to_string(::getpid()) + ".pal";
    return p;
}

void write_file(const uint8_t* data, size_t size) {
    std::FILE* f = std::fopen(path().c_str(), "wb");
    if (f == nullptr || (size > 0 && std::fwrite(data, 1, size, f) != size)) __builtin_trap();
    std::fclose(f);
}

Palette pattern() {
    Palette p;
    for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(i * 7 + 3);
    return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    write_file(data, size);
    Palette palette = pattern();
    const Palette before = palette;
    std::string error;
    if (!quorvel::viewer::read_palette(path(), palette, error)) {
        if (size != 0 || palette != before || error.empty()) __builtin_trap();
        return 0;
    }
    if (size == 0 || !error.empty()) __builtin_trap();
    const size_t taken = std::min(size, palette.size());
    if (!std::equal(data, data + taken, palette.begin()) ||
        !std::equal(before.begin() + taken, before.end(), palette.begin() + taken))
        __builtin_trap();
    // Written back whole, it reads back equal whatever palette it replaces.
    write_file(palette.data(), palette.size());
    Palette again{};
    if (!quorvel::viewer::read_palette(path(), again, error) || again != palette) __builtin_trap();
    return 0;
}
