// Reading the view chunk back from a PNG picture, for --place picture.png.
#pragma once

#include <optional>
#include <string>

#include "view_text.h"

namespace quorvel::render {

// True when the file starts with the PNG signature.
bool is_png_file(const std::string& path);
struct PictureView {
    common::ViewText view;
    int width = 0, height = 0;  // the picture's size
};

// The picture's view and size; empty with a reason when it has no view or is
// unreadable.
std::optional<PictureView> read_png_view(const std::string& path, std::string& reason);

}  // namespace quorvel::render
