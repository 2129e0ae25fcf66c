// paneprobe (or another window program) on a session with the window
// service, headless, keys scripted by frame; every call it makes as the
// trace shows it, with guest addresses as ADDR; and recordings read back.
#pragma once

#include "session/session.h"
#include "window/framebuffer.h"
#include "window/window.h"

#include <gif_lib.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vekos::test {

constexpr uint32_t kBackground = 0x1E1E1E;
constexpr uint32_t kRectangle = 0xFFB482;

// The viewer keeps copies of the presented frames whose numbers it is given.
class WindowRun final : public Viewer {
public:
    // build/bin/paneprobe.
    explicit WindowRun(WindowOptions options = {});

    Stop run(const std::vector<std::string>& argv = {"paneprobe"}) { return session_.run(argv); }
    void keep_frames(std::set<uint64_t> numbers) { wanted_ = std::move(numbers); }
    const Framebuffer& frame(uint64_t number) const { return kept_.at(number); }
    void frame_presented(const Framebuffer& frame, uint64_t number) override
    {
        if (wanted_.count(number))
            kept_.insert_or_assign(number, frame);
    }

    Window& gui() { return *session_.window(); }
    Session& session() { return session_; }
    const std::vector<std::string>& transcript() const { return transcript_; }
    const std::string& output() const { return session_.captured()->output(); }
    // The x of every gui_fill_rect, in order.
    std::vector<int32_t> rectangle_xs() const;

private:
    std::set<uint64_t> wanted_;
    std::map<uint64_t, Framebuffer> kept_;
    std::vector<std::string> transcript_;
    Session session_;
};

// paneprobe's frame with the rectangle at x: background, rectangle, caption,
// drawn directly.
Framebuffer paneprobe_frame(int rect_x);

// Recordings read back: GIFs decoded and composed frame by frame, and PNGs.
struct DecodedGif {
    std::shared_ptr<GifFileType> gif; // null when it cannot be read (a failure is added)
    std::vector<Framebuffer> frames;  // each image drawn over the ones before
};
DecodedGif decode_gif(const std::string& path);

// nullopt (and a failure added) when it cannot be read.
std::optional<Framebuffer> read_png(const std::string& path);

} // namespace vekos::test
