// --screenshot FILE.png: a frame as an 8-bit RGB PNG (libpng).
#pragma once

#include "cli/output_file.h"
#include "window/framebuffer.h"

namespace vekos {

// Throws std::runtime_error naming the file when it cannot be written.
void write_png(OutputFile& out, const Framebuffer& frame);

} // namespace vekos
