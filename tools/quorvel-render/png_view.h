// Reading the view chunk back from a PNG picture, for --place picture.png.
#pragma once

#include <optional>
#include <string>

#include "view_text.h"

namespace quorvel::render {

// True when the file starts with the PNG signature.
bool is_png_file(const std::string& path);
// The picture's view; empty with a reason when it has none or is unreadable.
std::optional<common::ViewText> read_png_view(const std::string& path, std::string& reason);

}  // namespace quorvel::render
