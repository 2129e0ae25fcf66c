// GIFs decoded and composed frame by frame, and PNGs decoded, for the tests
// of the recordings.
#pragma once

#include "window/framebuffer.h"

#include <gif_lib.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vekos::test {

struct DecodedGif {
    std::shared_ptr<GifFileType> gif; // null when it cannot be read (a failure is added)
    std::vector<Framebuffer> frames;  // each image drawn over the ones before
};
DecodedGif decode_gif(const std::string& path);

// nullopt (and a failure added) when it cannot be read.
std::optional<Framebuffer> read_png(const std::string& path);

} // namespace vekos::test
