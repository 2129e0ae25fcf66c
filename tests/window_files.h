// Files the window tests make and read back: a scratch directory, GIFs
// decoded and composed frame by frame, PNGs decoded, and paneprobe's frame
// as it must look.
#pragma once

#include "window/framebuffer.h"

#include <gif_lib.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vekos::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// paneprobe's frame with the rectangle at x: background, rectangle, caption.
Framebuffer paneprobe_frame(int rect_x);

struct GifCloser {
    void operator()(GifFileType* gif) const;
};

struct DecodedGif {
    std::unique_ptr<GifFileType, GifCloser> gif; // null when it cannot be read (a failure is added)
    std::vector<Framebuffer> frames;             // each image drawn over the ones before
};
DecodedGif decode_gif(const std::string& path);

// nullopt (and a failure added) when it cannot be read.
std::optional<Framebuffer> read_png(const std::string& path);

} // namespace vekos::test
