#include "window/display_terminal.h"

#include "base/unique_fd.h"
#include "window/display.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

namespace vekos {

namespace {

// ---- Giving the terminal back on signals -----------------------------------
//
// The one piece of process-wide mutable state in vekos-run, because a signal
// handler can reach nothing else: the terminal and the mode to put back.  It
// is set (then armed) while a TerminalMode holds the terminal in raw mode, and
// disarmed before that mode is put back.  The handler only calls
// async-signal-safe functions (write, tcsetattr, raise).
struct SignalRestore {
    int fd = -1;
    termios mode{};
};
SignalRestore g_signal_restore;
volatile sig_atomic_t g_signal_restore_armed = 0;

constexpr std::array kRestoreSignals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGABRT};

extern "C" void restore_terminal_then_die(int signal_number)
{
    if (g_signal_restore_armed) {
        ssize_t ignored = write(g_signal_restore.fd, kTerminalLeave.data(), kTerminalLeave.size());
        (void)ignored;
        tcsetattr(g_signal_restore.fd, TCSANOW, &g_signal_restore.mode);
    }
    // SA_RESETHAND put the default action back: once this handler returns,
    // the signal ends the process as it would have without the display.
    raise(signal_number);
}

// Raw mode, the alternate screen and a hidden cursor for as long as it lives.
class TerminalMode {
public:
    explicit TerminalMode(int fd) : fd_(fd)
    {
        if (tcgetattr(fd, &saved_) != 0)
            throw DisplayUnavailable(
                std::string("--display terminal: /dev/tty is not a terminal: ") + std::strerror(errno));
        g_signal_restore.fd = fd;
        g_signal_restore.mode = saved_;
        g_signal_restore_armed = 1;
        struct sigaction action { };
        action.sa_handler = restore_terminal_then_die;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESETHAND;
        for (size_t i = 0; i < kRestoreSignals.size(); ++i)
            sigaction(kRestoreSignals[i], &action, &previous_[i]);

        termios raw = saved_;
        // Keys one by one, unechoed; ISIG stays, so Ctrl-C still interrupts.
        raw.c_lflag &= ~tcflag_t(ICANON | ECHO | IEXTEN);
        raw.c_iflag &= ~tcflag_t(IXON | ICRNL | INLCR | ISTRIP);
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        raw.c_cc[VSUSP] = _POSIX_VDISABLE; // a stopped process would keep the screen raw
        tcsetattr(fd, TCSANOW, &raw);
        write_all("\x1b[?1049h\x1b[?25l\x1b[0m\x1b[2J");
    }

    ~TerminalMode()
    {
        g_signal_restore_armed = 0;
        write_all(kTerminalLeave);
        tcsetattr(fd_, TCSANOW, &saved_);
        for (size_t i = 0; i < kRestoreSignals.size(); ++i)
            sigaction(kRestoreSignals[i], &previous_[i], nullptr);
    }
    TerminalMode(const TerminalMode&) = delete;
    TerminalMode& operator=(const TerminalMode&) = delete;

    void write_all(std::string_view bytes) const
    {
        while (!bytes.empty()) {
            ssize_t n = ::write(fd_, bytes.data(), bytes.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return; // the terminal went away: nothing left to show on
            bytes.remove_prefix(size_t(n));
        }
    }

private:
    int fd_;
    termios saved_{};
    std::array<struct sigaction, kRestoreSignals.size()> previous_{};
};

UniqueFd open_tty()
{
    UniqueFd fd(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!fd)
        throw DisplayUnavailable(std::string("--display terminal: no terminal to draw on (/dev/tty: ")
            + std::strerror(errno) + "); try --display none");
    return fd;
}

class TerminalDisplay final : public Display {
public:
    TerminalDisplay() : fd_(open_tty()), mode_(fd_.get()) { }

    void open(std::string_view title, std::string_view hint, int, int) override
    {
        title_ = std::string(title);
        hint_ = std::string(hint);
        status_drawn_ = false;
    }

    void show(const Framebuffer& frame) override
    {
        winsize size{};
        int columns = 80, rows = 24;
        if (ioctl(fd_.get(), TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 1) {
            columns = size.ws_col;
            rows = size.ws_row;
        }
        if (columns != columns_ || rows != rows_) {
            renderer_.invalidate();
            status_drawn_ = false;
            columns_ = columns;
            rows_ = rows;
        }
        std::string out = renderer_.render(frame, columns, rows);
        if (!status_drawn_) {
            const size_t room = size_t(std::max(0, columns - 1));
            std::string status = terminal_safe(title_, room);
            if (!hint_.empty() && room > status.size() + 3)
                status += " \xe2\x80\x94 " + terminal_safe(hint_, room - status.size() - 3); // em dash
            out += "\x1b[" + std::to_string(rows) + ";1H\x1b[0m\x1b[2K" + status;
            status_drawn_ = true;
        }
        mode_.write_all(out);
    }

    void pump(std::vector<int32_t>& keys) override
    {
        pollfd p{fd_.get(), POLLIN, 0};
        while (!closed_ && poll(&p, 1, 0) > 0) {
            if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) {
                closed_ = true;
                break;
            }
            uint8_t buf[256];
            ssize_t n = read(fd_.get(), buf, sizeof buf);
            if (n <= 0)
                break;
            decoder_.feed(std::span<const uint8_t>(buf, size_t(n)), keys);
        }
    }

    bool closed() const override { return closed_; }

private:
    UniqueFd fd_;
    TerminalMode mode_; // after fd_: put back before the descriptor closes
    HalfBlockRenderer renderer_;
    TerminalKeyDecoder decoder_;
    std::string title_, hint_;
    bool status_drawn_ = false;
    bool closed_ = false;
    int columns_ = 0, rows_ = 0;
};

} // namespace

std::unique_ptr<Display> make_terminal_display() { return std::make_unique<TerminalDisplay>(); }

} // namespace vekos
