// The commands that read and write files through a dialog: the palette, the
// history files and the picture (keys p, H, h and S).
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "emergency.h"
#include "history_files.h"
#include "picture_file.h"
#include "regular_file.h"
#include "view_text.h"

namespace quorvel::viewer {
namespace {

// The original check opened the file with "wb", which emptied an existing
// history before the engine had written anything. Here an existing file is
// only tested for write access, and a file made just for the test is removed
// again if the save fails.
enum class Creatable { no, existing, created };
Creatable check_creatable(const std::string& path) {
    if (::access(path.c_str(), F_OK) == 0) {
        return ::access(path.c_str(), W_OK) == 0 ? Creatable::existing : Creatable::no;
    }
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return Creatable::no;
    std::fclose(file);
    return Creatable::created;
}

}  // namespace

void Commands::choose_palette() {
    const FileDialog dialog{.title = "Select a new palette, baby",
                            .filters = {{"Palettes", "*.PAL"}, {"All files", "*.*"}},
                            .initial_directory = state_.program_dir};
    auto path = dialogs_.open_file(dialog);
    if (!path) return;
    std::string error;
    if (!read_palette(*path, state_.palette, error)) {
        std::fprintf(out_, "cannot read the palette %s: %s; keeping the palette in use\n",
                     path->c_str(), error.c_str());
        return;
    }
    state_.palette_path = *path;
    qv_set_palette(state_.handle, state_.palette.data());
}

void Commands::save_history() {
    const FileDialog dialog{
        .title = "Save your history today!",
        .filters = {{"Full work progress", "*.q"}, {"Coords and settings only", "*.q"}},
        .file_name = "history.q",
        .default_extension = "q",
        .overwrite_prompt = true};
    auto choice = dialogs_.save_file(dialog);
    if (!choice) return;
    const Creatable creatable = check_creatable(choice->path);
    bool saved = false;
    if (creatable != Creatable::no) {
        note_engine_save(choice->path);
        saved = choice->filter_index == 1 ? qv_save_all(state_.handle, choice->path.c_str())
                                          : qv_save_minimum(state_.handle, choice->path.c_str());
        if (!saved && creatable == Creatable::created) std::remove(choice->path.c_str());
    }
    if (!saved) dialogs_.message("Whoops! Something went wrong!", "Oh no ...");
}

void Commands::load_history() {
    const FileDialog dialog{.title = "Recover your history for a better tomorrow",
                            .filters = {{"Quorvel histories", "*.q"}}};
    auto path = dialogs_.open_file(dialog);
    if (!path) return;
    // The engine only says yes or no; what the viewer can tell itself, it says.
    std::optional<std::string> problem = history_file_problem(*path);
    if (!problem && !qv_load(state_.handle, path->c_str())) problem = "it is damaged";
    if (problem)
        dialogs_.message(
            "This didn't work too well, I'm afraid :( Cannot load " + *path + ": " + *problem,
            "*gnarf*");
}

void Commands::export_picture() {
    const auto width = static_cast<std::int16_t>(qv_get_image_width(state_.handle));
    const auto height = static_cast<std::int16_t>(qv_get_image_height(state_.handle));
    const std::uint8_t* rgb = qv_get_rgb_image(state_.handle);
    if (rgb == nullptr) return;
    const FileDialog dialog{.title = "Give me a name ... save me!",
                            .filters = {{"TGA images", "*.TGA"}, {"PNG images", "*.png"}},
                            .file_name = "yipiieh.TGA",
                            .default_extension = "TGA",
                            .overwrite_prompt = true};
    auto choice = dialogs_.save_file(dialog);
    if (!choice) return;
    // The dialog makes no engine call, so the image pointer is still valid.
    // The extension decides; the chosen filter only for names without a known one.
    const auto format = common::picture_format_for(choice->path)
                            .value_or(choice->filter_index == 2 ? common::PictureFormat::png
                                                                : common::PictureFormat::tga);
    std::string error;
    if (!common::save_picture(choice->path, format, {rgb, width, height}, error,
                              common::format_view_text(current_view())))
        std::fprintf(out_, "picture not saved: %s\n", error.c_str());
}

}  // namespace quorvel::viewer
