#include "picture.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <memory>
#include <vector>

namespace quorvel::viewer {
namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool fits_16_bits(int width, int height) {
    return width > 0 && height > 0 && width <= 0x7fff && height <= 0x7fff;
}

// Closes the file and reports whether everything reached it.
bool finish(File file) {
    bool ok = std::ferror(file.get()) == 0;
    return std::fclose(file.release()) == 0 && ok;
}

}  // namespace

bool write_tga(const std::string& path, const std::uint8_t* rgb, int width, int height) {
    if (rgb == nullptr || !fits_16_bits(width, height)) return false;
    File file(std::fopen(path.c_str(), "wb"));
    if (!file) return false;
    std::uint8_t header[18] = {0, 0, 2};
    header[12] = static_cast<std::uint8_t>(width & 0xff);
    header[13] = static_cast<std::uint8_t>(width >> 8);
    header[14] = static_cast<std::uint8_t>(height & 0xff);
    header[15] = static_cast<std::uint8_t>(height >> 8);
    header[16] = 24;
    std::fwrite(header, 1, sizeof header, file.get());
    const std::size_t stride = static_cast<std::size_t>(width) * 3;
    std::vector<std::uint8_t> row(stride);
    for (int y = height - 1; y >= 0; --y) {
        const std::uint8_t* src = rgb + static_cast<std::size_t>(y) * stride;
        for (std::size_t i = 0; i < stride; i += 3) {
            row[i] = src[i + 2];
            row[i + 1] = src[i + 1];
            row[i + 2] = src[i];
        }
        if (std::fwrite(row.data(), 1, stride, file.get()) != stride) break;
    }
    return finish(std::move(file));
}

bool write_png(const std::string& path, const std::uint8_t* rgb, int width, int height) {
    if (rgb == nullptr || width <= 0 || height <= 0) return false;
    File file(std::fopen(path.c_str(), "wb"));
    if (!file) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    // libpng reports errors by longjmp; nothing with a destructor is created
    // between here and the end of the writing.
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file.get());
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const std::size_t stride = static_cast<std::size_t>(width) * 3;
    for (int y = 0; y < height; ++y)
        png_write_row(png, const_cast<png_bytep>(rgb + static_cast<std::size_t>(y) * stride));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return finish(std::move(file));
}

}  // namespace quorvel::viewer
