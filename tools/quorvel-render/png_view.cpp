#include "png_view.h"

#include <png.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>

#include "regular_file.h"

namespace quorvel::render {
namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// libpng reports errors by longjmp, so nothing with a destructor is created
// inside; the text is copied out before the structures go.
bool read_text(std::FILE* file, std::string& text, bool& found, int& width, int& height) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (png == nullptr) return false;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_init_io(png, file);
    png_read_info(png, info);
    png_textp chunks = nullptr;
    width = static_cast<int>(png_get_image_width(png, info));
    height = static_cast<int>(png_get_image_height(png, info));
    const int count = png_get_text(png, info, &chunks, nullptr);
    for (int i = 0; i < count && !found; ++i) {
        if (std::strcmp(chunks[i].key, common::kViewChunkKeyword) == 0) {
            text.assign(chunks[i].text, chunks[i].text_length);
            found = true;
        }
    }
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

// A regular file opened for reading, or null (a FIFO is refused, never
// waited on).
std::unique_ptr<std::FILE, FileCloser> open_for_reading(const std::string& path,
                                                        std::string& problem) {
    const int fd = common::open_regular_file(path, problem);
    if (fd < 0) return nullptr;
    std::unique_ptr<std::FILE, FileCloser> file(::fdopen(fd, "rb"));
    if (!file) {
        problem = "it cannot be opened";
        ::close(fd);
    }
    return file;
}

}  // namespace

bool is_png_file(const std::string& path) {
    std::string problem;
    std::unique_ptr<std::FILE, FileCloser> file = open_for_reading(path, problem);
    png_byte signature[8];
    return file && std::fread(signature, 1, 8, file.get()) == 8 &&
           png_sig_cmp(signature, 0, 8) == 0;
}

std::optional<PictureView> read_png_view(const std::string& path, std::string& reason) {
    std::string problem;
    std::unique_ptr<std::FILE, FileCloser> file = open_for_reading(path, problem);
    if (!file) {
        reason = "cannot read '" + path + "': " + problem;
        return std::nullopt;
    }
    std::string text;
    bool found = false;
    PictureView picture;
    if (!read_text(file.get(), text, found, picture.width, picture.height)) {
        reason = "'" + path + "' is not a readable PNG picture";
        return std::nullopt;
    }
    if (!found) {
        reason = "'" + path + "' carries no view (no '" + common::kViewChunkKeyword + "' text)";
        return std::nullopt;
    }
    auto view = common::parse_view_text(text);
    if (!view) {
        reason = "the view in '" + path + "' is damaged";
        return std::nullopt;
    }
    picture.view = *view;
    return picture;
}

}  // namespace quorvel::render
