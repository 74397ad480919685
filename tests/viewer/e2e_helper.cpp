// Computes what the viewer should show, through the public interface only.
//   e2e_helper home|place PALETTE OUT.ppm OUT.loc   (a full 768-byte palette)
//   e2e_helper busy OUT_PLACES
// home: the finished start view and its place record. place: the view e2e.sh
// reaches with Page Up, Shift+Page Up and the four arrow keys (each move made
// on a finished picture, as in the test), its place record, and its picture
// recomputed after a restore with preview off.
#include <cstdio>
#include <cstring>

#include "quorvel.h"

namespace {

void finish(qv_handle handle) {
    while (qv_refine_image(handle)) {
    }
}

}  // namespace

// A places file whose first slot holds a view inside the set at the highest
// iteration limit: the engine never finishes it.
int write_busy_places(const char* path) {
    qv_handle handle = qv_create_context(16);
    Location places[12];
    for (Location& place : places) qv_store_location_to(handle, &place);
    qv_set_view_params_from_doubles(handle, -0.1, 0.0, 0.01);
    qv_store_location_to(handle, &places[0]);
    qv_delete_context(&handle);
    unsigned char* limit = reinterpret_cast<unsigned char*>(&places[0]) + 96;
    for (int i = 0; i < 4; ++i) limit[i] = 0xff;
    std::FILE* file = std::fopen(path, "wb");
    const bool ok = file != nullptr && std::fwrite(places, sizeof places, 1, file) == 1 &&
                    std::fclose(file) == 0;
    return ok ? 0 : 2;
}

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "busy") == 0) return write_busy_places(argv[2]);
    if (argc != 5) return 1;
    unsigned char palette[768] = {};
    std::FILE* file = std::fopen(argv[2], "rb");
    if (file == nullptr || std::fread(palette, 1, sizeof palette, file) != sizeof palette) return 1;
    std::fclose(file);
    qv_handle handle = qv_create_context(96);
    qv_set_image_properties(handle, 600, 600, 1, 1.75f);
    qv_set_palette(handle, palette);
    Location location;
    if (std::strcmp(argv[1], "place") == 0) {
        qv_zoom_centered(handle, 1.6f);
        qv_zoom_centered(handle, 2.56f);
        const float moves[4][2] = {{-0.125f, 0}, {0.125f, 0}, {0, 0.125f}, {0, -0.125f}};
        for (const auto& move : moves) {
            finish(handle);
            qv_move(handle, move[0], move[1]);
        }
        qv_store_location_to(handle, &location);
        qv_toggle_preview(handle);
        qv_restore_location_from(handle, &location);
    } else {
        qv_store_location_to(handle, &location);
    }
    finish(handle);
    std::FILE* picture = std::fopen(argv[3], "wb");
    std::FILE* record = std::fopen(argv[4], "wb");
    const unsigned char* rgb = qv_get_rgb_image(handle);
    const bool ok = picture != nullptr && record != nullptr && rgb != nullptr &&
                    std::fprintf(picture, "P6\n600 600\n255\n") > 0 &&
                    std::fwrite(rgb, 3 * 600, 600, picture) == 600 &&
                    std::fwrite(&location, sizeof location, 1, record) == 1 &&
                    std::fclose(picture) == 0 && std::fclose(record) == 0;
    qv_delete_context(&handle);
    return ok ? 0 : 2;
}
