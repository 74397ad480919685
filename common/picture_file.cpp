#include "picture_file.h"

#include <png.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

#include "view_text.h"

namespace quorvel::common {
namespace {

constexpr int kTgaMaxSide = 0x7fff;
// Palette-coloured bands repeat whole pixels, which the compressor finds best
// unfiltered; this level is 4x faster than the default and smaller too.
constexpr int kPngLevel = 3;

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

// Nothing with a destructor may be created between setjmp and the end of
// each of these, since libpng leaves them by longjmp.
bool write_png_header(png_structp png, png_infop info, int width, int height,
                      const std::string& text) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_compression_level(png, kPngLevel);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
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
    return true;
}

bool write_png_rows(png_structp png, const Picture& p) {
    if (setjmp(png_jmpbuf(png))) return false;
    const std::size_t row_bytes = static_cast<std::size_t>(p.width) * 3;
    for (int y = 0; y < p.height; ++y) {
        png_write_row(png, p.rgb + static_cast<std::size_t>(y) * row_bytes);
    }
    png_write_end(png, nullptr);
    return true;
}

// The parts become one zlib stream: a header, the parts' deflate data and the
// Adler-32 of the whole, in as many IDAT chunks as it takes.
bool write_png_parts_data(png_structp png, const std::vector<PngPart>& parts) {
    if (setjmp(png_jmpbuf(png))) return false;
    constexpr std::size_t kMaxChunk = std::size_t{1} << 30;
    static const png_byte kIdat[5] = "IDAT";
    static const png_byte kIend[5] = "IEND";
    static const png_byte kZlibHeader[2] = {0x78, 0x5e};  // deflate, 32 KiB window, fast level
    png_write_chunk(png, kIdat, kZlibHeader, sizeof kZlibHeader);
    uLong adler = adler32(0, nullptr, 0);
    for (const PngPart& part : parts) {
        for (std::size_t at = 0; at < part.size; at += kMaxChunk)
            png_write_chunk(png, kIdat, part.data + at, std::min(kMaxChunk, part.size - at));
        adler = adler32_combine(adler, part.adler, static_cast<z_off_t>(part.raw_bytes));
    }
    const png_byte trailer[4] = {static_cast<png_byte>(adler >> 24),
                                 static_cast<png_byte>(adler >> 16),
                                 static_cast<png_byte>(adler >> 8), static_cast<png_byte>(adler)};
    png_write_chunk(png, kIdat, trailer, sizeof trailer);
    png_write_chunk(png, kIend, nullptr, 0);
    return true;
}

// A PNG file: libpng's header, then what `body` writes.
template <typename Body>
bool write_png(AtomicFile& file, int width, int height, const std::string& text, std::string& error,
               Body body) {
    PngSink sink{&file, {}};
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, png_error_to_longjmp,
                                              png_no_warning);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    bool ok = info != nullptr;
    if (ok) {
        png_set_write_fn(png, &sink, png_sink_write, png_sink_flush);
        ok = write_png_header(png, info, width, height, text) && body(png);
    }
    png_destroy_write_struct(&png, &info);
    if (!ok) {
        error = !sink.error.empty() ? sink.error
                                    : "writing '" + file.path() + "' failed: PNG encoder error";
    }
    return ok;
}

bool commit_or_discard(AtomicFile& file, bool written, std::string& error) {
    const bool ok = written && file.commit(error);
    if (!ok) file.discard();
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
    bool written = false;
    if (picture.rgb == nullptr || picture.width <= 0 || picture.height <= 0) {
        error = "no picture to write";
    } else if (format == PictureFormat::tga &&
               (picture.width > kTgaMaxSide || picture.height > kTgaMaxSide)) {
        error = "a TGA picture is at most 32767 pixels along each side";
    } else if (format == PictureFormat::tga) {
        written = write_tga(file, picture, error);
    } else {
        written = write_png(file, picture.width, picture.height, view_text, error,
                            [&](png_structp png) { return write_png_rows(png, picture); });
    }
    return commit_or_discard(file, written, error);
}

std::vector<std::uint8_t> compress_png_part(const std::uint8_t* rgb, int width, int rows, bool last,
                                            PngPart& part) {
    std::vector<std::uint8_t> out;
    z_stream z{};
    // The settings libpng is given for whole pictures.
    if (deflateInit2(&z, kPngLevel, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return out;
    const std::size_t row_bytes = static_cast<std::size_t>(width) * 3;
    std::vector<std::uint8_t> row(row_bytes + 1, 0);  // filter byte 0: none
    out.resize(row.size() * static_cast<std::size_t>(rows) / 8 + 4096);
    uLong adler = adler32(0, nullptr, 0);
    for (int y = 0; y <= rows; ++y) {
        const bool end = y == rows;
        if (!end) {
            std::memcpy(row.data() + 1, rgb + static_cast<std::size_t>(y) * row_bytes, row_bytes);
            adler = adler32(adler, row.data(), static_cast<uInt>(row.size()));
        }
        z.next_in = end ? nullptr : row.data();
        z.avail_in = end ? 0 : static_cast<uInt>(row.size());
        // Each part but the last ends on a byte boundary, with no final block.
        const int flush = !end ? Z_NO_FLUSH : last ? Z_FINISH : Z_FULL_FLUSH;
        do {
            if (z.total_out == out.size()) out.resize(out.size() * 2);
            z.next_out = out.data() + z.total_out;
            z.avail_out =
                static_cast<uInt>(std::min<std::size_t>(out.size() - z.total_out, 1u << 30));
            deflate(&z, flush);
        } while (z.avail_in != 0 || z.avail_out == 0);
    }
    out.resize(z.total_out);
    deflateEnd(&z);
    part.adler = static_cast<std::uint32_t>(adler);
    part.raw_bytes = static_cast<std::uint64_t>(row.size()) * rows;
    return out;
}

std::size_t png_part_bound(int width, int rows) {
    // compressBound allows for a zlib header and the worst case of stored
    // blocks; the margin covers the flush that ends a part.
    return compressBound((std::size_t{3} * width + 1) * static_cast<std::size_t>(rows)) + 64;
}

bool write_png_parts(AtomicFile& file, int width, int height, const std::vector<PngPart>& parts,
                     std::string& error, const std::string& view_text) {
    std::uint64_t raw_bytes = 0;
    for (const PngPart& part : parts) raw_bytes += part.raw_bytes;
    bool written = false;
    if (width <= 0 || height <= 0 ||
        raw_bytes != (std::uint64_t{3} * width + 1) * static_cast<std::uint64_t>(height)) {
        error = "no picture to write";
    } else {
        written = write_png(file, width, height, view_text, error,
                            [&](png_structp png) { return write_png_parts_data(png, parts); });
    }
    return commit_or_discard(file, written, error);
}

bool save_picture(const std::string& path, PictureFormat format, const Picture& picture,
                  std::string& error, const std::string& view_text) {
    AtomicFile file;
    return file.open(path, error) && write_picture(file, format, picture, error, view_text);
}

}  // namespace quorvel::common
