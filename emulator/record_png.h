// --screenshot FILE.png: a frame as an 8-bit RGB PNG (libpng).
#pragma once

#include "framebuffer.h"

#include <filesystem>

namespace vekos {

// Throws std::runtime_error naming the file when it cannot be written.
void write_png(const std::filesystem::path& path, const Framebuffer& frame);

} // namespace vekos
