#include "places.h"

#include <unistd.h>

#include <bit>
#include <cstdio>

#include "atomic_file.h"
#include "regular_file.h"

namespace quorvel::viewer {

static_assert(std::endian::native == std::endian::little,
              "Location records are stored in memory order, which is little-endian");

bool read_places(const std::string& path, Places& places) {
    std::string problem;
    const int fd = common::open_regular_file(path, problem);
    if (fd < 0) return false;
    std::FILE* file = ::fdopen(fd, "rb");
    if (file == nullptr) {
        ::close(fd);
        return false;
    }
    for (Location& place : places) {
        if (std::fread(&place, 1, sizeof place, file) != sizeof place) break;
    }
    std::fclose(file);
    return true;
}

bool write_places(const std::string& path, const Places& places, std::string& error) {
    return common::replace_file(path, places.data(), sizeof(Location) * places.size(), error);
}

}  // namespace quorvel::viewer
