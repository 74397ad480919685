#include "counts_file.h"

#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfOutputFile.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <vector>

namespace quorvel::render {

bool write_counts_exr(qv_handle handle, const std::string& path, std::string& reason) {
    const size_t samples = qv_get_pixel_counts(handle, nullptr, nullptr, 0);
    int supersampling = 1;
    const int width = qv_get_image_width(handle), height = qv_get_image_height(handle);
    while (supersampling < 8 &&
           size_t(width) * supersampling * size_t(height) * supersampling < samples)
        ++supersampling;
    const int grid_width = width * supersampling, grid_height = height * supersampling;
    if (samples == 0 || size_t(grid_width) * size_t(grid_height) != samples) {
        reason = "the engine returned no counts";
        return false;
    }
    std::vector<uint32_t> counts(samples);
    std::vector<float> smooth(samples);
    qv_get_pixel_counts(handle, counts.data(), smooth.data(), samples);
    // NF: the fraction alone, which a float keeps to full precision whatever n is.
    for (size_t i = 0; i < samples; ++i)
        smooth[i] =
            counts[i] == 0 ? 0.0f : static_cast<float>(static_cast<double>(smooth[i]) - counts[i]);
    const std::string temp = path + ".quorvel-" + std::to_string(getpid()) + ".exr";
    try {
        Imf::Header header(grid_width, grid_height);
        header.channels().insert("N", Imf::Channel(Imf::UINT));
        header.channels().insert("NF", Imf::Channel(Imf::FLOAT));
        header.compression() = Imf::ZIP_COMPRESSION;
        Imf::FrameBuffer frame;
        frame.insert("N", Imf::Slice(Imf::UINT, reinterpret_cast<char*>(counts.data()),
                                     sizeof(uint32_t), sizeof(uint32_t) * grid_width));
        frame.insert("NF", Imf::Slice(Imf::FLOAT, reinterpret_cast<char*>(smooth.data()),
                                      sizeof(float), sizeof(float) * grid_width));
        Imf::OutputFile file(temp.c_str(), header);
        file.setFrameBuffer(frame);
        file.writePixels(grid_height);
    } catch (const std::exception& e) {
        std::remove(temp.c_str());
        reason = "--counts: cannot write '" + path + "': " + e.what();
        return false;
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        reason = "--counts: cannot write '" + path + "'";
        return false;
    }
    return true;
}

}  // namespace quorvel::render
