// paneprobe (or another window program) on a session with the window
// service, headless, keys scripted by frame; every call it makes as the
// trace shows it, with guest addresses as ADDR.
#pragma once

#include "session/session.h"
#include "window/framebuffer.h"
#include "window/window.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace vekos::test {

constexpr uint32_t kBackground = 0x1E1E1E;
constexpr uint32_t kRectangle = 0xFFB482;
constexpr uint32_t kCaption = 0xDEDEDE;

// Keeps copies of the presented frames whose numbers it is given.
class FrameKeeper final : public Viewer {
public:
    void frame_presented(const Framebuffer& frame, uint64_t number) override
    {
        if (wanted.count(number))
            kept.insert_or_assign(number, frame);
    }
    std::set<uint64_t> wanted;
    std::map<uint64_t, Framebuffer> kept;
};

class WindowRun {
public:
    // build/bin/paneprobe.
    explicit WindowRun(WindowOptions options = {});

    Stop run(const std::vector<std::string>& argv = {"paneprobe"}) { return session_.run(argv); }
    void keep_frames(std::set<uint64_t> numbers) { frames_.wanted = std::move(numbers); }
    const Framebuffer& frame(uint64_t number) const { return frames_.kept.at(number); }

    Window& gui() { return *session_.window(); }
    Session& session() { return session_; }
    const std::vector<std::string>& transcript() const { return transcript_; }
    const std::string& output() const { return session_.captured()->output(); }
    // The x of every gui_fill_rect, in order.
    std::vector<int32_t> rectangle_xs() const;

private:
    FrameKeeper frames_;
    std::vector<std::string> transcript_;
    Session session_;
};

// paneprobe's frame with the rectangle at x: background, rectangle, caption,
// drawn directly.
Framebuffer paneprobe_frame(int rect_x);

} // namespace vekos::test
