#include "window/presenter.h"

#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace vekos {
namespace {

// Frames the recorder may fall behind by before the guest waits for it.
constexpr size_t kMaxQueued = 4;
constexpr size_t kMaxSpare = kMaxQueued + 2;
// How often the display's events are read while no frame comes.
constexpr auto kPumpInterval = std::chrono::milliseconds(5);

bool has_graphical_session()
{
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return true;
    }
    return false;
}

} // namespace

Presenter::Presenter(PresenterOptions options) : options_(std::move(options))
{
    thread_ = std::thread(&Presenter::output_thread, this, options_.display);
    std::unique_lock lock(mutex_);
    wake_guest_.wait(lock, [&] { return ready_; });
    if (failure_) {
        lock.unlock();
        thread_.join();
        std::rethrow_exception(failure_);
    }
}

Presenter::~Presenter()
{
    if (thread_.joinable()) {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_output_.notify_all();
        thread_.join();
    }
}

uint64_t Presenter::finish()
{
    if (thread_.joinable()) {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_output_.notify_all();
        thread_.join();
    }
    std::lock_guard lock(mutex_);
    check_failure();
    return recorded_;
}

void Presenter::check_failure()
{
    if (failure_)
        std::rethrow_exception(failure_);
}

void Presenter::output_thread(DisplayKind wanted)
{
    // The display lives and dies on this thread: SDL wants one thread for a window.
    std::unique_ptr<Display> display;
    std::unique_ptr<GifRecorder> recorder;
    try {
        DisplayKind chosen = DisplayKind::none;
        if (wanted == DisplayKind::window) {
            display = make_sdl_display();
            chosen = DisplayKind::window;
        } else if (wanted == DisplayKind::terminal) {
            display = make_terminal_display();
            chosen = DisplayKind::terminal;
        } else if (wanted == DisplayKind::automatic && has_graphical_session()) {
            try {
                display = make_sdl_display();
                chosen = DisplayKind::window;
            } catch (const DisplayUnavailable&) {
                // auto: no usable display is no error
            }
        }
        {
            std::lock_guard lock(mutex_);
            display_ = chosen;
            ready_ = true;
        }
        wake_guest_.notify_all();
        serve(display.get(), recorder);
        if (recorder) {
            recorder->close();
            std::lock_guard lock(mutex_);
            recorded_ = recorder->frames();
        }
    } catch (...) {
        {
            std::lock_guard lock(mutex_);
            failure_ = std::current_exception();
            ready_ = true;
            closed_ = true;
        }
        wake_guest_.notify_all();
    }
}

void Presenter::serve(Display* display, std::unique_ptr<GifRecorder>& recorder)
{
    std::vector<int32_t> typed;
    bool was_closed = false;
    for (;;) {
        std::optional<Opening> opening;
        std::deque<std::unique_ptr<Framebuffer>> frames;
        bool stop = false;
        {
            std::unique_lock lock(mutex_);
            auto work = [&] { return stopping_ || opening_ || !queued_.empty(); };
            if (display)
                wake_output_.wait_for(lock, kPumpInterval, work);
            else
                wake_output_.wait(lock, work);
            opening = std::exchange(opening_, std::nullopt);
            frames.swap(queued_);
            stop = stopping_;
        }
        wake_guest_.notify_all(); // room in the queue

        if (opening && display)
            display->open(opening->title, opening->hint, opening->width, opening->height);
        if (options_.record && !frames.empty() && !recorder) // nothing is written before a frame
            recorder = std::make_unique<GifRecorder>(*options_.record, options_.width, options_.height);
        if (recorder)
            for (const auto& frame : frames)
                recorder->add(*frame);
        if (display && !frames.empty())
            display->show(*frames.back());
        if (!frames.empty()) {
            std::lock_guard lock(mutex_);
            for (auto& frame : frames)
                if (spare_.size() < kMaxSpare)
                    spare_.push_back(std::move(frame));
        }
        if (display) {
            typed.clear();
            display->pump(typed);
            const bool closing = display->closed() && !was_closed;
            if (!typed.empty() || closing) {
                {
                    std::lock_guard lock(mutex_);
                    keys_.insert(keys_.end(), typed.begin(), typed.end());
                    if (closing) {
                        keys_.push_back(GUI_KEY_ESCAPE); // closing the window asks the program to quit
                        closed_ = true;
                    }
                }
                was_closed = display->closed();
                wake_guest_.notify_all();
            }
        }
        if (stop)
            return;
    }
}

void Presenter::window_opened(std::string_view title, std::string_view hint, int width, int height)
{
    {
        std::lock_guard lock(mutex_);
        check_failure();
        if (display_ == DisplayKind::none)
            return;
        opening_ = Opening{std::string(title), std::string(hint), width, height};
    }
    wake_output_.notify_all();
}

void Presenter::frame_presented(const Framebuffer& frame, uint64_t)
{
    std::unique_ptr<Framebuffer> copy;
    {
        std::unique_lock lock(mutex_);
        check_failure();
        if (display_ == DisplayKind::none && !options_.record)
            return;
        if (options_.record) {
            // Every frame is recorded: wait while the recorder is behind.
            wake_guest_.wait(lock, [&] { return queued_.size() < kMaxQueued || failure_ || interrupted_; });
            check_failure();
        } else {
            // Only shown: a frame not shown yet is replaced by this newer one.
            while (!queued_.empty()) {
                spare_.push_back(std::move(queued_.front()));
                queued_.pop_front();
            }
        }
        if (!spare_.empty()) {
            copy = std::move(spare_.back());
            spare_.pop_back();
        }
    }
    if (copy)
        *copy = frame;
    else
        copy = std::make_unique<Framebuffer>(frame);
    {
        std::lock_guard lock(mutex_);
        queued_.push_back(std::move(copy));
    }
    wake_output_.notify_all();
}

void Presenter::take_keys(std::vector<int32_t>& codes)
{
    std::lock_guard lock(mutex_);
    check_failure();
    codes.insert(codes.end(), keys_.begin(), keys_.end());
    keys_.clear();
}

void Presenter::interrupt()
{
    {
        std::lock_guard lock(mutex_);
        interrupted_ = true;
    }
    wake_guest_.notify_all();
}

bool Presenter::wait_keys(std::vector<int32_t>& codes)
{
    std::unique_lock lock(mutex_);
    if (display_ == DisplayKind::none)
        return false;
    wake_guest_.wait(lock, [&] { return !keys_.empty() || closed_ || failure_ || interrupted_; });
    check_failure();
    if (keys_.empty())
        return false;
    codes.insert(codes.end(), keys_.begin(), keys_.end());
    keys_.clear();
    return true;
}

} // namespace vekos
