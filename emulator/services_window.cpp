// The window service: see services_window.h for the calls and their answers.
#include "services_window.h"

#include "calls.h"
#include "font.h"
#include "guest_memory.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <stdexcept>

namespace vekos {
namespace {

constexpr uint32_t kMaxText = 65535;

// A guest record of `Words` 32-bit little-endian words, read through the
// checked access (it may straddle two adjacent regions, such as data and
// bss); nullopt when any byte of it is not readable by the guest.
template <size_t Words>
std::optional<std::array<uint32_t, Words>> read_record(const GuestMemory& m, uint32_t addr)
{
    std::array<uint8_t, Words * 4> bytes;
    if (!m.accessible(addr, uint32_t(bytes.size()), kRead) || !m.peek(addr, bytes))
        return std::nullopt;
    std::array<uint32_t, Words> words;
    std::memcpy(words.data(), bytes.data(), bytes.size());
    return words;
}

// A guest string for a title or a text: -14 unreadable, -22 too long.
std::optional<std::string> read_text(const GuestMemory& m, uint32_t addr, int32_t& error)
{
    if (auto s = m.read_cstring(addr, kMaxText))
        return s;
    error = m.accessible(addr, kMaxText + 1, kRead) ? -EINVAL : -EFAULT;
    return std::nullopt;
}

std::string lower(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

} // namespace

int32_t parse_key(std::string_view key)
{
    auto bad = [&](const std::string& why) {
        return std::invalid_argument("--keys: key '" + std::string(key) + "': " + why);
    };
    if (key.size() == 1)
        return static_cast<unsigned char>(key[0]);
    static const std::pair<const char*, int32_t> names[] = {
        {"escape", kKeyEscape}, {"esc", kKeyEscape}, {"enter", '\n'},    {"return", '\n'},
        {"tab", '\t'},          {"space", ' '},      {"backspace", '\b'}, {"delete", 0x7F},
        {"comma", ','},
    };
    const std::string name = lower(key);
    for (const auto& [n, code] : names)
        if (name == n)
            return code;
    int base = 10;
    std::string_view digits = key;
    if (name.starts_with("0x")) {
        base = 16;
        digits = key.substr(2);
    }
    int64_t value = 0;
    auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (digits.empty() || ec != std::errc() || p != digits.data() + digits.size())
        throw bad("expected one character, a key name (Escape, Enter, Tab, Space, Backspace, Delete, "
                  "Comma) or a code such as 0x3B or 27");
    if (value < INT32_MIN || value > INT32_MAX)
        throw bad("the code does not fit in 32 bits");
    return int32_t(value);
}

std::vector<ScriptedKey> parse_keys(std::string_view list)
{
    std::vector<ScriptedKey> keys;
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        // "5:," is the key ',' itself.
        size_t colon = list.find(':', start);
        if (colon != std::string_view::npos && comma == colon + 1)
            comma = list.find(',', comma + 1);
        std::string_view entry = list.substr(start, comma == std::string_view::npos ? list.npos : comma - start);
        size_t sep = entry.find(':');
        if (sep == std::string_view::npos || sep == 0 || sep + 1 == entry.size())
            throw std::invalid_argument("--keys: '" + std::string(entry) +
                                        "': expected FRAME:KEY, e.g. 200:q or 300:Escape");
        std::string_view frame = entry.substr(0, sep);
        uint64_t n = 0;
        auto [p, ec] = std::from_chars(frame.data(), frame.data() + frame.size(), n);
        if (ec != std::errc() || p != frame.data() + frame.size() || n == 0)
            throw std::invalid_argument("--keys: '" + std::string(entry) +
                                        "': FRAME must be a whole number from 1 (the first frame)");
        keys.push_back({n, parse_key(entry.substr(sep + 1))});
        if (comma == std::string_view::npos)
            break;
        start = comma + 1;
    }
    return keys;
}

GuiFailure parse_gui_failure(std::string_view text)
{
    if (text == "create")
        return GuiFailure::create;
    if (text == "attach")
        return GuiFailure::attach;
    if (text == "both")
        return GuiFailure::both;
    if (text == "none")
        return GuiFailure::none;
    throw std::invalid_argument("--gui-fail " + std::string(text) + ": expected create, attach or both");
}

GuiService::GuiService(GuiOptions options, GuiFrontEnd* front_end)
    : options_(std::move(options)), front_end_(front_end), canvas_(options_.width, options_.height),
      presented_(options_.width, options_.height)
{
    set_keys(std::move(options_.keys));
}

void GuiService::set_keys(std::vector<ScriptedKey> keys)
{
    std::stable_sort(keys.begin(), keys.end(),
                     [](const ScriptedKey& a, const ScriptedKey& b) { return a.frame < b.frame; });
    options_.keys = std::move(keys);
    next_key_ = 0;
}

void GuiService::detach_presented(bool whole_canvas_redrawn)
{
    if (!canvas_is_presented_)
        return;
    canvas_is_presented_ = false;
    if (whole_canvas_redrawn)
        std::swap(canvas_, presented_);  // the canvas's old pixels do not matter
    else
        presented_ = canvas_;
}

void GuiService::reset()
{
    window_.reset();
    canvas_is_presented_ = false;
    canvas_.clear(0);
    presented_.clear(0);
    frames_ = 0;
    next_key_ = 0;
    events_.clear();
}

std::optional<int32_t> GuiService::handle(GuestMemory& m, const CallRegs& r)
{
    const uint32_t handle = r.ebx;
    switch (r.eax) {
    case VEKOS_SYS_gui_create: return open(m, r.ebx, r.ecx, false);
    case VEKOS_SYS_gui_attach: return open(m, r.ebx, r.ecx, true);
    case VEKOS_SYS_gui_begin:
    case VEKOS_SYS_gui_clear:
    case VEKOS_SYS_gui_fill_rect:
    case VEKOS_SYS_gui_draw_text:
    case VEKOS_SYS_gui_present:
    case VEKOS_SYS_gui_poll_event:
    case VEKOS_SYS_gui_wait_event:
        break;
    default:
        return std::nullopt;
    }
    if (!is_window(handle))
        return -EBADF;
    switch (r.eax) {
    case VEKOS_SYS_gui_begin:
        return 0;
    case VEKOS_SYS_gui_clear: {
        auto rec = read_record<1>(m, r.ecx);
        if (!rec)
            return -EFAULT;
        detach_presented(true);
        canvas_.clear((*rec)[0]);
        return 0;
    }
    case VEKOS_SYS_gui_fill_rect: {
        auto rec = read_record<5>(m, r.ecx);
        if (!rec)
            return -EFAULT;
        const auto& w = *rec;
        detach_presented(false);
        canvas_.fill_rect(int32_t(w[0]), int32_t(w[1]), int32_t(w[2]), int32_t(w[3]), w[4]);
        return 0;
    }
    case VEKOS_SYS_gui_draw_text: {
        auto rec = read_record<4>(m, r.ecx);
        if (!rec)
            return -EFAULT;
        const auto& w = *rec;
        int32_t error = 0;
        auto text = read_text(m, w[3], error);
        if (!text)
            return error;
        detach_presented(false);
        canvas_.draw_text(int32_t(w[0]), int32_t(w[1]), w[2], *text, console_font());
        return 0;
    }
    case VEKOS_SYS_gui_present:
        canvas_is_presented_ = true;
        ++frames_;
        if (front_end_)
            front_end_->frame_presented(canvas_, frames_);
        return 0;
    case VEKOS_SYS_gui_poll_event: return next_event(m, r.ecx, r.edx, false);
    case VEKOS_SYS_gui_wait_event: return next_event(m, r.ecx, r.edx, true);
    default: return std::nullopt;
    }
}

int32_t GuiService::open(GuestMemory& m, uint32_t title_addr, uint32_t hint_addr, bool attach)
{
    const bool fails = options_.fail == GuiFailure::both ||
                       options_.fail == (attach ? GuiFailure::attach : GuiFailure::create);
    if (fails)
        return -ENODEV;
    if (window_)
        return attach ? window_->handle : -EBUSY;
    int32_t error = 0;
    std::string title, hint;
    if (title_addr != 0) {
        auto t = read_text(m, title_addr, error);
        if (!t)
            return error;
        title = std::move(*t);
    }
    if (hint_addr != 0) {
        auto h = read_text(m, hint_addr, error);
        if (!h)
            return error;
        hint = std::move(*h);
    }
    window_ = WindowInfo{kWindowHandle, std::move(title), std::move(hint), attach};
    if (front_end_)
        front_end_->window_opened(window_->title, window_->hint, options_.width, options_.height);
    return window_->handle;
}

void GuiService::gather_keys()
{
    // Scripted keys due by the frame about to be drawn, then the typed ones.
    while (next_key_ < options_.keys.size() && options_.keys[next_key_].frame <= frames_ + 1)
        events_.push_back(GuiEvent{kGuiEventKey, options_.keys[next_key_++].code, {}});
    if (front_end_) {
        typed_.clear();
        front_end_->take_keys(typed_);
        for (int32_t code : typed_)
            events_.push_back(GuiEvent{kGuiEventKey, code, {}});
    }
}

int32_t GuiService::next_event(GuestMemory& m, uint32_t record, uint32_t size, bool wait)
{
    if (size < kGuiEventSize)
        return -EINVAL;
    if (!m.accessible(record, kGuiEventSize, kWrite))
        return -EFAULT;
    gather_keys();
    if (events_.empty() && wait && front_end_) {
        typed_.clear();
        if (front_end_->wait_keys(typed_))
            for (int32_t code : typed_)
                events_.push_back(GuiEvent{kGuiEventKey, code, {}});
    }
    if (events_.empty())
        return 0;
    const GuiEvent e = events_.front();
    events_.pop_front();
    const int32_t words[5] = {e.type, e.code, e.data[0], e.data[1], e.data[2]};
    uint8_t bytes[kGuiEventSize];
    std::memcpy(bytes, words, sizeof bytes);
    m.poke(record, bytes);
    return 1;
}

} // namespace vekos
