// Computes what the viewer should show, through the public interface only.
//   e2e_helper home PALETTE OUT.ppm OUT.loc
//       the finished start view and its place record
//   e2e_helper place PALETTE OUT.ppm OUT.loc
//       the view that e2e.sh reaches with Page Up, Shift+Page Up and the four
//       arrow keys (each move made on a finished picture, as in the test),
//       its place record, and its picture recomputed after a restore with
//       preview off
#include <cstdio>
#include <cstring>

#include "quorvel.h"

namespace {

qv_handle new_context(const char* palette_path) {
    qv_handle handle = qv_create_context(96);
    qv_set_image_properties(handle, 600, 600, 1, 1.75f);
    unsigned char palette[768] = {};
    if (std::FILE* file = std::fopen(palette_path, "rb")) {
        if (std::fread(palette, 1, sizeof palette, file) != sizeof palette)
            std::fputs("short palette\n", stderr);
        std::fclose(file);
    }
    qv_set_palette(handle, palette);
    return handle;
}

void finish(qv_handle handle) {
    while (qv_refine_image(handle)) {
    }
}

bool write_picture(qv_handle handle, const char* path) {
    const int width = qv_get_image_width(handle), height = qv_get_image_height(handle);
    const unsigned char* rgb = qv_get_rgb_image(handle);
    std::FILE* out = std::fopen(path, "wb");
    if (rgb == nullptr || out == nullptr) return false;
    std::fprintf(out, "P6\n%d %d\n255\n", width, height);
    std::fwrite(rgb, 3, static_cast<std::size_t>(width) * height, out);
    return std::fclose(out) == 0;
}

bool write_location(const Location& place, const char* path) {
    std::FILE* out = std::fopen(path, "wb");
    if (out == nullptr || std::fwrite(&place, sizeof place, 1, out) != 1) return false;
    return std::fclose(out) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 || (std::strcmp(argv[1], "home") != 0 && std::strcmp(argv[1], "place") != 0)) {
        std::fprintf(stderr, "usage: %s home|place PALETTE OUT.ppm OUT.loc\n", argv[0]);
        return 1;
    }
    qv_handle handle = new_context(argv[2]);
    Location place;
    if (std::strcmp(argv[1], "place") == 0) {
        qv_zoom_centered(handle, 1.6f);
        qv_zoom_centered(handle, 2.56f);
        const float moves[4][2] = {{-0.125f, 0}, {0.125f, 0}, {0, 0.125f}, {0, -0.125f}};
        for (const auto& move : moves) {
            finish(handle);
            qv_move(handle, move[0], move[1]);
        }
        qv_store_location_to(handle, &place);
        qv_toggle_preview(handle);
        qv_restore_location_from(handle, &place);
    } else {
        qv_store_location_to(handle, &place);
    }
    finish(handle);
    const bool ok = write_picture(handle, argv[3]) && write_location(place, argv[4]);
    qv_delete_context(&handle);
    return ok ? 0 : 2;
}
