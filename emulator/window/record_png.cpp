#include "window/record_png.h"

#include <png.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace vekos {

void write_png(OutputFile& out, const Framebuffer& frame)
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
    // Encoded in memory first (the size is asked, then the bytes), then written whole.
    png_alloc_size_t size = 0;
    bool ok = png_image_write_to_memory(&image, nullptr, &size, 0, rgb.data(), 0, nullptr) != 0;
    std::vector<uint8_t> encoded(size);
    ok = ok && png_image_write_to_memory(&image, encoded.data(), &size, 0, rgb.data(), 0, nullptr) != 0;
    const std::string why = image.message;
    png_image_free(&image);
    if (!ok)
        throw std::runtime_error(out.name() + ": cannot encode the PNG (" + why + ")");
    encoded.resize(size);
    out.write(encoded);
}

} // namespace vekos
