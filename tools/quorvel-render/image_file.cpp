#include "image_file.h"

#include <fcntl.h>
#include <png.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

namespace quorvel::render {
namespace {

// The pending temporary file, for the signal handler (which may only unlink).
char g_pending[4096];

extern "C" void remove_pending_and_exit(int signal_number) {
    if (g_pending[0] != '\0') unlink(g_pending);
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

void set_pending(const std::string& path) {
    if (path.size() < sizeof g_pending) {
        std::memcpy(g_pending, path.c_str(), path.size() + 1);
    }
}

std::string folder_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool write_tga(FILE* file, const uint8_t* rgb, int width, int height) {
    const uint8_t header[18] = {0,
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
                                static_cast<uint8_t>(width & 0xFF),
                                static_cast<uint8_t>(width >> 8),
                                static_cast<uint8_t>(height & 0xFF),
                                static_cast<uint8_t>(height >> 8),
                                24,
                                0};
    if (std::fwrite(header, 1, sizeof header, file) != sizeof header) return false;
    const size_t row_bytes = static_cast<size_t>(width) * 3;
    std::vector<uint8_t> row(row_bytes);
    // Origin at the lower left: bottom row first, blue-green-red.
    for (int y = height - 1; y >= 0; --y) {
        const uint8_t* src = rgb + static_cast<size_t>(y) * row_bytes;
        uint8_t* dst = row.data();
        for (size_t i = 0; i < row_bytes; i += 3) {
            dst[i] = src[i + 2];
            dst[i + 1] = src[i + 1];
            dst[i + 2] = src[i];
        }
        if (std::fwrite(dst, 1, row_bytes, file) != row_bytes) return false;
    }
    return true;
}

// libpng reports errors by longjmp, so nothing with a destructor lives here.
bool write_png(FILE* file, const uint8_t* rgb, int width, int height) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (png == nullptr) return false;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    // Palette-coloured bands repeat whole pixels, which the compressor finds
    // best unfiltered; this is 4x faster than the defaults and smaller too.
    png_set_compression_level(png, 3);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const size_t row_bytes = static_cast<size_t>(width) * 3;
    for (int y = 0; y < height; ++y) {
        png_write_row(png, rgb + static_cast<size_t>(y) * row_bytes);
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

void install_interrupt_cleanup() {
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) signal(s, remove_pending_and_exit);
}

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    if (!temp_path_.empty()) unlink(temp_path_.c_str());
    temp_path_.clear();
    g_pending[0] = '\0';
}

bool OutputFile::open(const std::string& path, std::string& error) {
    discard();
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            error = "'" + path + "' is a folder";
            return false;
        }
        // A write-protected picture is one the user wants kept.
        if (access(path.c_str(), W_OK) != 0) {
            error = "'" + path + "' is not writable";
            return false;
        }
    }
    const std::string folder = folder_of(path);
    std::string temp = folder + "/.quorvel-render-XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        error = "cannot write into folder '" + folder + "': " + std::strerror(errno);
        return false;
    }
    fd_ = fd;
    temp_path_ = name.data();
    path_ = path;
    set_pending(temp_path_);
    // mkstemp makes the file private; a picture gets the usual permissions.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd_, 0666 & ~mask);
    return true;
}

bool OutputFile::write_and_commit(ImageFormat format, const uint8_t* rgb, int width, int height,
                                  std::string& error) {
    if (fd_ < 0) {
        error = "no output file open";
        return false;
    }
    FILE* file = fdopen(fd_, "wb");
    if (file == nullptr) {
        error = std::string("cannot write '") + temp_path_ + "': " + std::strerror(errno);
        return false;
    }
    fd_ = -1;  // the stream owns the descriptor now
    bool ok = format == ImageFormat::png ? write_png(file, rgb, width, height)
                                         : write_tga(file, rgb, width, height);
    const int saved_errno = errno;
    ok = (std::fflush(file) == 0) && ok;
    ok = (std::fclose(file) == 0) && ok;
    if (!ok) {
        error =
            "writing '" + path_ + "' failed: " + std::strerror(saved_errno ? saved_errno : errno);
        discard();
        return false;
    }
    if (std::rename(temp_path_.c_str(), path_.c_str()) != 0) {
        error = "cannot rename into '" + path_ + "': " + std::strerror(errno);
        discard();
        return false;
    }
    temp_path_.clear();
    g_pending[0] = '\0';
    return true;
}

}  // namespace quorvel::render
