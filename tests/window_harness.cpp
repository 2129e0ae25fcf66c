#include "window_harness.h"

#include "cpu/guest_memory.h"
#include "harness.h"
#include "kernel/calls.h"

#include <cstring>

namespace vekos::test {
namespace {

constexpr uint64_t kInstructionLimit = 100'000'000; // a run that never quits stops here

std::vector<uint32_t> peek_words(const GuestMemory& m, uint32_t addr, size_t count)
{
    std::vector<uint8_t> bytes(count * 4);
    if (!m.peek(addr, bytes))
        return {};
    std::vector<uint32_t> words(count);
    std::memcpy(words.data(), bytes.data(), bytes.size());
    return words;
}

// What a window call pointed to, read once the call is answered (the records
// the calls read are unchanged by then; the event record is filled).
SeenCall seen(const GuestMemory& m, const CallRecord& call)
{
    const CallRegs& regs = call.in;
    SeenCall s{regs, call.answer, {}, {}, {}};
    switch (regs.eax) {
    case VEKOS_SYS_gui_create:
    case VEKOS_SYS_gui_attach:
        s.text = m.read_cstring(regs.ebx, 4096).value_or("?");
        s.hint = m.read_cstring(regs.ecx, 4096).value_or("?");
        break;
    case VEKOS_SYS_gui_clear: s.record = peek_words(m, regs.ecx, 1); break;
    case VEKOS_SYS_gui_fill_rect: s.record = peek_words(m, regs.ecx, 5); break;
    case VEKOS_SYS_gui_draw_text:
        s.record = peek_words(m, regs.ecx, 4);
        if (s.record.size() == 4)
            s.text = m.read_cstring(s.record[3], 4096).value_or("?");
        break;
    case VEKOS_SYS_gui_poll_event:
    case VEKOS_SYS_gui_wait_event: s.record = peek_words(m, regs.ecx, 5); break;
    default: break;
    }
    return s;
}

SessionOptions window_options(WindowOptions window, Viewer* viewer, std::vector<SeenCall>& seen_calls)
{
    SessionOptions options;
    options.kernel.fast_clock = true;
    options.kernel.keep_log = true;
    options.kernel.observer = [&seen_calls](const GuestMemory& m, const CallRecord& call) {
        const CallInfo* info = find_call(call.in.eax);
        if (info && info->gui)
            seen_calls.push_back(seen(m, call));
    };
    options.machine.max_instructions = kInstructionLimit;
    options.window = std::move(window);
    options.viewer = viewer;
    return options;
}

} // namespace

WindowRun::WindowRun(WindowOptions options, std::filesystem::path program)
    : session_(
        program.empty() ? build_dir() / "bin/paneprobe" : program, window_options(std::move(options), &frames_, seen_))
{
}

std::vector<int32_t> WindowRun::rectangle_xs() const
{
    std::vector<int32_t> xs;
    for (const SeenCall& c : seen_)
        if (c.regs.eax == VEKOS_SYS_gui_fill_rect && !c.record.empty())
            xs.push_back(int32_t(c.record[0]));
    return xs;
}

} // namespace vekos::test
