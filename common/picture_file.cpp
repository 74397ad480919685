#include "picture_file.h"

#include <png.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

#include "view_text.h"

namespace quorvel::common {
namespace {

constexpr int kTgaMaxSide = 0x7fff;

bool write_tga(AtomicFile& file, const Picture& p, std::string& error) {
    const std::uint8_t header[18] = {0,
                                     0,
                                     2,
                                     0,
                                     0,
                                     0,
                                     0,
                                     0,
                                     0,
                                     0,
                                     0,
                                     0,
                                     static_cast<std::uint8_t>(p.width & 0xff),
                                     static_cast<std::uint8_t>(p.width >> 8),
                                     static_cast<std::uint8_t>(p.height & 0xff),
                                     static_cast<std::uint8_t>(p.height >> 8),
                                     24,
                                     0};
    if (!file.write(header, sizeof header, error)) return false;
    const std::size_t row_bytes = static_cast<std::size_t>(p.width) * 3;
    // Whole rows at a time: one write call per row keeps the syscalls few.
    std::vector<std::uint8_t> row(row_bytes);
    for (int y = p.height - 1; y >= 0; --y) {
        const std::uint8_t* src = p.rgb + static_cast<std::size_t>(y) * row_bytes;
        for (std::size_t i = 0; i < row_bytes; i += 3) {
            row[i] = src[i + 2];
            row[i + 1] = src[i + 1];
            row[i + 2] = src[i];
        }
        if (!file.write(row.data(), row_bytes, error)) return false;
    }
    return true;
}

// libpng's output goes through AtomicFile::write; its first failure is kept
// here, and libpng is stopped by png_error (a longjmp).
struct PngSink {
    AtomicFile* file;
    std::string error;
};

extern "C" void png_sink_write(png_structp png, png_bytep data, png_size_t size) {
    auto* sink = static_cast<PngSink*>(png_get_io_ptr(png));
    if (!sink->file->write(data, size, sink->error)) png_error(png, "write failed");
}

extern "C" void png_sink_flush(png_structp) {}

extern "C" void png_error_to_longjmp(png_structp png, png_const_charp) { png_longjmp(png, 1); }

extern "C" void png_no_warning(png_structp, png_const_charp) {}

// Nothing with a destructor may be created between setjmp and the end of the
// writing, since libpng leaves by longjmp.
bool write_png_rows(png_structp png, png_infop info, const Picture& p, const std::string& text) {
    if (setjmp(png_jmpbuf(png))) return false;
    // Palette-coloured bands repeat whole pixels, which the compressor finds
    // best unfiltered; this is 4x faster than the defaults and smaller too.
    png_set_compression_level(png, 3);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_set_IHDR(png, info, static_cast<png_uint_32>(p.width), static_cast<png_uint_32>(p.height),
                 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_text chunk{};
    if (!text.empty()) {
        chunk.compression = PNG_TEXT_COMPRESSION_NONE;
        chunk.key = const_cast<char*>(kViewChunkKeyword);
        chunk.text = const_cast<char*>(text.c_str());
        chunk.text_length = text.size();
        png_set_text(png, info, &chunk, 1);
    }
    png_write_info(png, info);
    const std::size_t row_bytes = static_cast<std::size_t>(p.width) * 3;
    for (int y = 0; y < p.height; ++y) {
        png_write_row(png, p.rgb + static_cast<std::size_t>(y) * row_bytes);
    }
    png_write_end(png, nullptr);
    return true;
}

bool write_png(AtomicFile& file, const Picture& p, const std::string& text, std::string& error) {
    PngSink sink{&file, {}};
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, png_error_to_longjmp,
                                              png_no_warning);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    bool ok = info != nullptr;
    if (ok) {
        png_set_write_fn(png, &sink, png_sink_write, png_sink_flush);
        ok = write_png_rows(png, info, p, text);
    }
    png_destroy_write_struct(&png, &info);
    if (!ok) {
        error = !sink.error.empty() ? sink.error
                                    : "writing '" + file.path() + "' failed: PNG encoder error";
    }
    return ok;
}

}  // namespace

std::optional<PictureFormat> picture_format_for(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    std::string extension = path.substr(dot + 1);
    for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (extension == "tga") return PictureFormat::tga;
    if (extension == "png") return PictureFormat::png;
    return {};
}

bool write_picture(AtomicFile& file, PictureFormat format, const Picture& picture,
                   std::string& error, const std::string& view_text) {
    bool ok = false;
    if (picture.rgb == nullptr || picture.width <= 0 || picture.height <= 0) {
        error = "no picture to write";
    } else if (format == PictureFormat::tga &&
               (picture.width > kTgaMaxSide || picture.height > kTgaMaxSide)) {
        error = "a TGA picture is at most 32767 pixels along each side";
    } else {
        ok = format == PictureFormat::png ? write_png(file, picture, view_text, error)
                                          : write_tga(file, picture, error);
        ok = ok && file.commit(error);
    }
    if (!ok) file.discard();
    return ok;
}

bool save_picture(const std::string& path, PictureFormat format, const Picture& picture,
                  std::string& error, const std::string& view_text) {
    AtomicFile file;
    return file.open(path, error) && write_picture(file, format, picture, error, view_text);
}

}  // namespace quorvel::common
