// --record FILE.gif: the presented frames as an animated GIF that loops.
//
// Every frame gets a delay of 2 hundredths of a second: GIF delays count
// hundredths, so the guest's 16 ms frames cannot be written exactly, and most
// viewers play a delay under 2 as 10.  A recording of a 62.5 frames-a-second
// program therefore plays at 50 frames a second (0.8 of real time), every
// frame shown.
//
// Only the rectangle that changed since the previous frame is stored (a
// frame that did not change stores one pixel), over the previous frame.  Each
// stored rectangle has its own colour table: its exact colours when there are
// at most 256, else 256 chosen by giflib's median-cut quantiser.
#pragma once

#include "cli/output_file.h"
#include "window/framebuffer.h"

#include <cstdint>
#include <string>
#include <vector>

struct GifFileType;

namespace vekos {

class GifRecorder {
public:
    static constexpr int kDelayHundredths = 2;

    // Starts the file; throws std::runtime_error naming it.
    GifRecorder(OutputFile& out, int width, int height);
    ~GifRecorder();
    GifRecorder(const GifRecorder&) = delete;
    GifRecorder& operator=(const GifRecorder&) = delete;

    void add(const Framebuffer& frame); // throws std::runtime_error on a write error
    // Ends the file; throws std::runtime_error on a write error.  The
    // destructor ends it too, silently, if close() was not called.
    void close();

    uint64_t frames() const { return frames_; }

private:
    [[noreturn]] void fail(const char* what, int error);
    static int put(GifFileType* gif, const uint8_t* bytes, int length);

    OutputFile& out_;
    std::string write_error_; // what the output file said, when a write failed
    int width_, height_;
    GifFileType* gif_ = nullptr;
    uint64_t frames_ = 0;
    std::vector<uint32_t> previous_;
    std::vector<uint8_t> indices_;
};

} // namespace vekos
