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

#include "view_text.h"

namespace quorvel::render {
namespace {

// The pending temporary file and the live workers, for the signal handler
// (which may only unlink and kill).
char g_pending[4096];
constexpr int kMaxWorkers = 1024;
volatile sig_atomic_t g_workers[kMaxWorkers];

extern "C" void remove_pending_and_exit(int signal_number) {
    for (int i = 0; i < kMaxWorkers; ++i) {
        if (g_workers[i] > 0) kill(static_cast<pid_t>(g_workers[i]), SIGTERM);
    }
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
bool write_png(FILE* file, const uint8_t* rgb, int width, int height, const std::string& text) {
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
    png_text chunk{};
    if (!text.empty()) {
        chunk.compression = PNG_TEXT_COMPRESSION_NONE;
        chunk.key = const_cast<char*>(kViewChunkKeyword);
        chunk.text = const_cast<char*>(text.c_str());
        chunk.text_length = text.size();
        png_set_text(png, info, &chunk, 1);
    }
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

std::string temporary_path(const std::string& path, long pid) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return folder + "." + name + "." + std::to_string(pid) + ".part";
}

void set_pending_file(const std::string& path) { set_pending(path); }
void clear_pending_file() { g_pending[0] = '\0'; }

void register_worker(long pid) {
    for (int i = 0; i < kMaxWorkers; ++i) {
        if (g_workers[i] == 0) {
            g_workers[i] = static_cast<sig_atomic_t>(pid);
            return;
        }
    }
}

void unregister_worker(long pid) {
    for (int i = 0; i < kMaxWorkers; ++i) {
        if (g_workers[i] == pid) g_workers[i] = 0;
    }
}

void forget_workers() {
    for (int i = 0; i < kMaxWorkers; ++i) g_workers[i] = 0;
    g_pending[0] = '\0';
}

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
    // A fixed name per process, so that a parent can clean up after a worker
    // that was killed; a stale one from a recycled process id is replaced.
    const std::string temp = temporary_path(path, static_cast<long>(getpid()));
    unlink(temp.c_str());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = "cannot write into folder '" + folder + "': " + std::strerror(errno);
        return false;
    }
    fd_ = fd;
    temp_path_ = temp;
    path_ = path;
    set_pending(temp_path_);
    return true;
}

bool OutputFile::write_and_commit(ImageFormat format, const uint8_t* rgb, int width, int height,
                                  const std::string& view_text, std::string& error) {
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
    bool ok = format == ImageFormat::png ? write_png(file, rgb, width, height, view_text)
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
