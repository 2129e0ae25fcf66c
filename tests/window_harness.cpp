#include "window_harness.h"

#include "calls.h"
#include "guest_memory.h"
#include "harness.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace vekos::test {
namespace {

constexpr uint64_t kInstructionLimit = 100'000'000;  // a run that never quits stops here

std::filesystem::path make_root()
{
    std::string templ = (std::filesystem::temp_directory_path() / "vekos-window-XXXXXX").string();
    if (!mkdtemp(templ.data()))
        throw std::runtime_error("cannot create the test sandbox directory");
    return templ;
}

std::vector<uint32_t> peek_words(const GuestMemory& m, uint32_t addr, size_t count)
{
    std::vector<uint8_t> bytes(count * 4);
    if (!m.peek(addr, bytes))
        return {};
    std::vector<uint32_t> words(count);
    std::memcpy(words.data(), bytes.data(), bytes.size());
    return words;
}

KernelOptions kernel_options(const std::filesystem::path& root)
{
    KernelOptions options;
    options.root = root;
    options.fast_clock = true;
    options.keep_log = true;
    return options;
}

MachineOptions machine_options()
{
    MachineOptions options;
    options.max_instructions = kInstructionLimit;
    return options;
}

} // namespace

std::optional<int32_t> CallRecorder::handle(GuestMemory& m, const CallRegs& regs)
{
    SeenCall seen;
    seen.regs = regs;
    switch (regs.eax) {
    case VEKOS_SYS_gui_create:
    case VEKOS_SYS_gui_attach:
        seen.text = m.read_cstring(regs.ebx, 4096).value_or("?");
        seen.hint = m.read_cstring(regs.ecx, 4096).value_or("?");
        break;
    case VEKOS_SYS_gui_clear: seen.record = peek_words(m, regs.ecx, 1); break;
    case VEKOS_SYS_gui_fill_rect: seen.record = peek_words(m, regs.ecx, 5); break;
    case VEKOS_SYS_gui_draw_text:
        seen.record = peek_words(m, regs.ecx, 4);
        if (seen.record.size() == 4)
            seen.text = m.read_cstring(seen.record[3], 4096).value_or("?");
        break;
    default: break;
    }
    seen.answer = inner_.handle(m, regs);
    if (regs.eax == VEKOS_SYS_gui_poll_event || regs.eax == VEKOS_SYS_gui_wait_event)
        seen.record = peek_words(m, regs.ecx, 5);
    calls.push_back(std::move(seen));
    return calls.back().answer;
}

WindowRun::WindowRun(GuiOptions options, std::filesystem::path program)
    : root_(make_root()),
      image_(ElfImage::load(program.empty() ? build_dir() / "bin/paneprobe" : program)),
      gui_(std::move(options), &frames_),
      recorder_(gui_),
      kernel_(kernel_options(root_), console_),
      machine_(image_, kernel_, machine_options())
{
    kernel_.set_window(&recorder_);
}

WindowRun::~WindowRun()
{
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
}

Stop WindowRun::run(const std::vector<std::string>& argv) { return machine_.start(argv); }

std::vector<int32_t> WindowRun::rectangle_xs() const
{
    std::vector<int32_t> xs;
    for (const SeenCall& c : recorder_.calls)
        if (c.regs.eax == VEKOS_SYS_gui_fill_rect && !c.record.empty())
            xs.push_back(int32_t(c.record[0]));
    return xs;
}

} // namespace vekos::test
