// Helpers of the quorvel-render end-to-end tests: a scratch folder that runs
// the tool, and picture readers.
#pragma once

#include <png.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace render_test {

namespace fs = std::filesystem;

struct Image {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
    bool operator==(const Image&) const = default;
};

inline std::string slurp(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// A scratch folder the tool runs in.
class TempDir : public qvtest::TempDir {
public:
    TempDir() : qvtest::TempDir("qv-render") {}

    // The names in a folder of this one, sorted; hidden files included.
    std::vector<std::string> names(const std::string& sub = ".") const {
        std::vector<std::string> list;
        for (const auto& entry : fs::directory_iterator(path() / sub))
            list.push_back(entry.path().filename().string());
        std::sort(list.begin(), list.end());
        return list;
    }
    // Runs a shell command in this folder; its exit status.
    int shell(const std::string& command) const {
        const int status = std::system(("cd '" + str() + "' && " + command).c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    struct Run {
        int status;
        std::string out, err;
    };
    // Runs `prefix` (e.g. a timeout) and the tool with `args` (words without
    // spaces or shell characters) in this folder.
    Run run(const std::string& args, const std::string& prefix = "") const {
        const std::string out = str() + ".out", err = str() + ".err";
        const int status = std::system(("cd '" + str() + "' && exec " + prefix + " '" QV_RENDER_TOOL
                                        "' " + args + " >" + out + " 2>" + err)
                                           .c_str());
        Run run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out), slurp(err)};
        fs::remove(out);
        fs::remove(err);
        return run;
    }
};

// The text of a PNG's tEXt chunk with this keyword, read with libpng itself;
// "" when there is none.
inline std::string png_text_chunk(const std::string& path, const char* keyword) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return {};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    std::string found;
    if (setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, file);
        png_read_info(png, info);
        png_textp chunks = nullptr;
        const int count = png_get_text(png, info, &chunks, nullptr);
        for (int i = 0; i < count; ++i)
            if (std::string(chunks[i].key) == keyword) found = chunks[i].text;
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    return found;
}

inline Image read_png(const std::string& path) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str())) return {};
    png.format = PNG_FORMAT_RGB;
    Image image{int(png.width), int(png.height), std::vector<uint8_t>(PNG_IMAGE_SIZE(png))};
    if (!png_image_finish_read(&png, nullptr, image.rgb.data(), 0, nullptr)) return {};
    return image;
}

// The uncompressed 24-bit TGA layout (bottom row first, blue green red) read
// back into top-first RGB.
inline Image read_tga(const std::string& path) {
    const std::string bytes = slurp(path);
    const auto* b = reinterpret_cast<const uint8_t*>(bytes.data());
    if (bytes.size() < 18 || b[2] != 2 || b[16] != 24 || b[17] != 0) return {};
    Image image{b[12] | b[13] << 8, b[14] | b[15] << 8, {}};
    if (bytes.size() != 18 + size_t(image.width) * image.height * 3) return {};
    for (int row = image.height - 1; row >= 0; --row) {
        const uint8_t* src = b + 18 + size_t(row) * image.width * 3;
        for (int i = 0; i < image.width * 3; i += 3)
            image.rgb.insert(image.rgb.end(), {src[i + 2], src[i + 1], src[i]});
    }
    return image;
}

}  // namespace render_test
