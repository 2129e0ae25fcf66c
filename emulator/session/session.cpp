#include "session/session.h"

#include "coverage/lcov_tracefile.h"
#include "coverage/line_coverage.h"

#include <iostream>

#include <stdexcept>

namespace vekos {

KernelOptions Session::with_root(KernelOptions options, const std::filesystem::path& root)
{
    options.root = root;
    return options;
}

Session::Session(const std::filesystem::path& program, SessionOptions options)
    : Session(ElfImage::load(program), std::move(options))
{
}

Session::Session(ElfImage image, SessionOptions options)
    : image_(std::move(image)),
      own_root_(options.root.empty() ? std::make_optional<TempDir>("vekos-session") : std::nullopt),
      root_(own_root_ ? own_root_->path() : options.root),
      own_console_(options.console ? nullptr : std::make_unique<CapturedConsole>()),
      kernel_(with_root(std::move(options.kernel), root_), options.console ? *options.console : *own_console_)
{
    if (options.window) {
        window_.emplace(std::move(*options.window), options.viewer);
        kernel_.set_window(&*window_);
    }
    if (options.coverage) {
        lines_ = std::make_unique<coverage::LineTable>(coverage::LineTable::from_elf(image_.name()));
        coverage_file_ = options.coverage;
        options.machine.coverage = true;
    }
    machine_ = std::make_unique<Machine>(image_, kernel_, options.machine);
}

Session::~Session()
{
    try {
        write_coverage();
    } catch (const std::exception& e) {
        std::cerr << "vekos: coverage: " << e.what() << "\n";
    }
    machine_.reset(); // before the kernel it calls and the image it runs
}

void Session::write_coverage()
{
    if (!coverage_file_)
        return;
    coverage::Tracefile run;
    run.add("", coverage::count_lines(*lines_, coverage::executed_blocks(machine_->block_runs())));
    const std::filesystem::path file = *std::exchange(coverage_file_, std::nullopt);
    coverage::merge_into_tracefile(file, run);
}

Stop Session::run(const std::vector<std::string>& argv) { return machine_->start(argv); }

Stop Session::call(std::string_view name, std::span<const uint32_t> args) { return call(symbol(name), args); }

Stop Session::call(uint32_t address, std::span<const uint32_t> args) { return machine_->call(address, args); }

void Session::reset()
{
    machine_->reset();
    kernel_.reset();
    if (own_console_)
        own_console_->clear();
    if (window_)
        window_->reset();
    if (own_root_)
        for (const auto& entry : std::filesystem::directory_iterator(root_))
            std::filesystem::remove_all(entry.path());
}

uint32_t Session::symbol(std::string_view name) const
{
    auto s = image_.symbol(std::string(name));
    if (!s)
        throw std::invalid_argument(image_.name() + " has no symbol " + std::string(name));
    return s->value;
}

void Session::poke(uint32_t addr, std::span<const uint8_t> bytes)
{
    if (!machine_->memory().poke(addr, bytes))
        throw std::out_of_range("guest memory not mapped at " + std::to_string(addr));
}

std::vector<uint8_t> Session::peek(uint32_t addr, uint32_t len) const
{
    std::vector<uint8_t> bytes(len);
    if (!machine_->memory().peek(addr, bytes))
        throw std::out_of_range("guest memory not mapped at " + std::to_string(addr));
    return bytes;
}

uint32_t Session::peek_u32(uint32_t addr) const
{
    const std::vector<uint8_t> b = peek(addr, 4);
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

void Session::poke_u32(uint32_t addr, uint32_t value)
{
    const uint8_t b[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
    poke(addr, b);
}

std::string Session::peek_string(uint32_t addr) const
{
    auto s = machine_->memory().read_cstring(addr, 1 << 20);
    if (!s)
        throw std::out_of_range("no readable string at " + std::to_string(addr));
    return *s;
}

} // namespace vekos
