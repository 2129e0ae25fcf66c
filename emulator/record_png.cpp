#include "record_png.h"

#include <png.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace vekos {

void write_png(const std::filesystem::path& path, const Framebuffer& frame)
{
    std::vector<uint8_t> rgb;
    rgb.reserve(frame.pixels().size() * 3);
    for (uint32_t p : frame.pixels()) {
        rgb.push_back(uint8_t(p >> 16));
        rgb.push_back(uint8_t(p >> 8));
        rgb.push_back(uint8_t(p));
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = png_uint_32(frame.width());
    image.height = png_uint_32(frame.height());
    image.format = PNG_FORMAT_RGB;
    const bool ok = png_image_write_to_file(&image, path.c_str(), 0, rgb.data(), 0, nullptr) != 0;
    const std::string why = image.message;
    png_image_free(&image);
    if (!ok)
        throw std::runtime_error("--screenshot " + path.string() + ": cannot write the PNG (" + why + ")");
}

} // namespace vekos
