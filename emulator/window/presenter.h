// What vekos-run does with the presented frames: shows them on a display and
// records them, on an output thread of its own, so the guest never waits for
// a window, a terminal or an encoder (unless the recorder falls behind by a
// few frames).  Keys typed on the display come back to the window service.
#pragma once

#include "window/display.h"
#include "window/record_gif.h"
#include "window/window.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vekos {

// --display: auto is a window when an X or Wayland display is there and SDL
// can open it, else none.
enum class DisplayKind { automatic, window, terminal, none };

struct PresenterOptions {
    DisplayKind display = DisplayKind::automatic;
    OutputFile* record = nullptr; // --record FILE.gif: opened at the first frame
    int width = kWindowWidth;
    int height = kWindowHeight;
};

class Presenter final : public Viewer {
public:
    // Opens the display and the recording; throws DisplayUnavailable or
    // std::runtime_error with a message for the user.
    explicit Presenter(PresenterOptions options);
    ~Presenter() override;
    Presenter(const Presenter&) = delete;
    Presenter& operator=(const Presenter&) = delete;

    // The display in use (automatic resolved to window or none).
    DisplayKind display() const { return display_; }
    // Shows and records what is still queued, ends the recording and closes
    // the display; rethrows an error of the output thread.  Answers the
    // number of frames recorded.
    uint64_t finish();

    void window_opened(std::string_view title, std::string_view hint, int width, int height) override;
    void frame_presented(const Framebuffer& frame, uint64_t number) override;
    void take_keys(std::vector<int32_t>& codes) override;
    bool wait_keys(std::vector<int32_t>& codes) override;
    void interrupt() override;

private:
    struct Opening {
        std::string title, hint;
        int width, height;
    };
    void output_thread(DisplayKind wanted);
    void serve(Display* display, std::unique_ptr<GifRecorder>& recorder);
    void check_failure(); // with mutex_ held

    PresenterOptions options_;
    DisplayKind display_ = DisplayKind::none;

    std::mutex mutex_;
    std::condition_variable wake_output_; // work for the output thread
    std::condition_variable wake_guest_;  // keys, room in the queue, ready
    bool ready_ = false;
    bool stopping_ = false;
    bool closed_ = false; // the user closed the display
    bool interrupted_ = false;
    std::exception_ptr failure_;
    std::optional<Opening> opening_;
    std::deque<std::unique_ptr<Framebuffer>> queued_;
    std::vector<std::unique_ptr<Framebuffer>> spare_;
    std::vector<int32_t> keys_;
    uint64_t recorded_ = 0;
    std::thread thread_;
};

} // namespace vekos
