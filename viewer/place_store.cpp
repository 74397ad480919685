#include "place_store.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "atomic_file.h"
#include "deep_view.h"
#include "history_files.h"
#include "regular_file.h"

namespace quorvel::viewer {
namespace {

// The records of the places that have a text, made by a context of their own so
// that the viewer's history is not touched. False, naming the slot, when the
// engine refuses one.
bool records_from_texts(const PlaceTexts& texts, Places& places, std::string& problem) {
    qv_handle scratch = qv_create_context(8);
    qv_set_image_properties(scratch, 1, 1, 1, -1.0f);
    bool taken = true;
    for (int slot = 0; slot < kPlaceCount && taken; ++slot) {
        const auto& text = texts[slot];
        if (!text) continue;
        taken = qv_set_view_from_strings(scratch, text->view.x.c_str(), text->view.y.c_str(),
                                         text->view.radius.c_str()) == 1;
        if (!taken) {
            problem = "line " + std::to_string(slot + 1) + ": the engine refuses this place";
            break;
        }
        qv_store_location_to(scratch, &places[slot]);
        places[slot].max_iterations = text->iterations;  // little-endian, as places.cpp asserts
    }
    qv_delete_context(&scratch);
    return taken;
}

// The whole file, if it is a regular one that can be read.
std::optional<std::string> read_text_file(const std::string& path, std::string& problem) {
    const int fd = common::open_regular_file(path, problem);
    if (fd < 0) return std::nullopt;
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) problem = std::string("it cannot be read (") + std::strerror(errno) + ")";
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (!problem.empty()) return std::nullopt;
    return text;
}

}  // namespace

void load_places(qv_handle handle, const std::string& places_path, Places& places,
                 PlaceTexts& texts, std::FILE* out) {
    const std::string text_path = places_text_path(places_path);
    std::string problem;
    if (const auto contents = read_text_file(text_path, problem)) {
        // Empty lines take the binary file's records, or the view on show.
        PlaceTexts read_texts;
        Places records;
        for (Location& place : records) qv_store_location_to(handle, &place);
        read_places(places_path, records);
        if (parse_places_text(*contents, read_texts, problem) &&
            records_from_texts(read_texts, records, problem)) {
            places = records;
            texts = std::move(read_texts);
            std::fprintf(out, "Loading places: %s\n", text_path.c_str());
            return;
        }
        const std::string aside = text_path + ".bad";
        if (std::rename(text_path.c_str(), aside.c_str()) == 0) problem += "; kept as " + aside;
    }
    if (problem != "it is missing")
        std::fprintf(out, "cannot use the places file %s: %s; reading %s instead\n",
                     text_path.c_str(), problem.c_str(), places_path.c_str());
    texts = PlaceTexts{};
    if (read_places(places_path, places)) {
        std::fprintf(out, "Loading places: %s\n", places_path.c_str());
    } else {
        std::fputs("No preset places found\n", out);
        for (Location& place : places) qv_store_location_to(handle, &place);
    }
}

void store_place(qv_handle handle, Location& place, std::optional<PlaceText>& text) {
    qv_store_location_to(handle, &place);
    ExactView view = exact_view(handle);
    text.reset();
    PlaceMapping mapping;
    int smooth = 0;
    qv_get_colour_mapping(handle, &mapping.density, &mapping.phase, &smooth);
    mapping.smooth = smooth != 0;
    if (!view.radius.empty())
        text = PlaceText{std::move(view), qv_get_maximum_iterations(handle),
                         mapping == PlaceMapping{} ? std::nullopt : std::optional(mapping)};
}

void restore_place(qv_handle handle, const Location& place, const std::optional<PlaceText>& text) {
    if (text && qv_set_view_from_strings(handle, text->view.x.c_str(), text->view.y.c_str(),
                                         text->view.radius.c_str()) == 1) {
        set_iteration_limit(handle, text->iterations);
        if (text->mapping)
            qv_set_colour_mapping(handle, text->mapping->density, text->mapping->phase,
                                  text->mapping->smooth ? 1 : 0);
        return;
    }
    qv_restore_location_from(handle, &place);
}

bool save_places(const std::string& places_path, const Places& places, const PlaceTexts& texts,
                 std::string& error) {
    const std::string text = format_places_text(texts);
    const bool text_written =
        common::replace_file(places_text_path(places_path), text.data(), text.size(), error);
    std::string binary_error;
    const bool binary_written = write_places(places_path, places, binary_error);
    if (text_written && !binary_written) error = binary_error;
    return text_written && binary_written;
}

void set_iteration_limit(qv_handle handle, std::uint32_t limit) {
    // The engine truncates the product, so the factor aims at limit + 1/2;
    // a second step mends what the float's rounding missed.
    for (int step = 0; step < 3; ++step) {
        const unsigned now = qv_get_maximum_iterations(handle);
        if (now == limit || now == 0) return;
        const long double factor = (static_cast<long double>(limit) + 0.5L) / now;
        qv_adjust_maximum_iterations(handle, static_cast<float>(factor));
    }
}

}  // namespace quorvel::viewer
