#include "places.h"

#include <unistd.h>

#include <bit>
#include <cstdio>

namespace quorvel::viewer {

static_assert(std::endian::native == std::endian::little,
              "Location records are stored in memory order, which is little-endian");

bool read_places(const std::string& path, Places& places) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    for (Location& place : places) {
        if (std::fread(&place, 1, sizeof place, file) != sizeof place) break;
    }
    std::fclose(file);
    return true;
}

bool write_places(const std::string& path, const Places& places) {
    const std::string temp = path + ".tmp" + std::to_string(getpid());
    std::FILE* file = std::fopen(temp.c_str(), "wb");
    if (file == nullptr) return false;
    bool ok = std::fwrite(places.data(), sizeof(Location), places.size(), file) == places.size();
    ok = std::fflush(file) == 0 && ok;
    ok = fsync(fileno(file)) == 0 && ok;
    ok = std::fclose(file) == 0 && ok;
    if (ok && std::rename(temp.c_str(), path.c_str()) == 0) return true;
    std::remove(temp.c_str());
    return false;
}

}  // namespace quorvel::viewer
