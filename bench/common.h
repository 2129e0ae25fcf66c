// Shared pieces of the vekos benchmarks: the benchmark image, a quiet
// console, and the figures collected for the summary printed at the end.
#pragma once

#include "cpu/elf_image.h"
#include "kernel/console.h"

#include <cstdint>
#include <span>
#include <string>

namespace vekos::bench {

// The benchmark guest image, parsed once.
const ElfImage& bench_image();
uint32_t bench_symbol(const std::string& name);

// Swallows output; input is always at its end.
class NullConsole : public Console {
public:
    int read(std::span<uint8_t>) override { return 0; }
    int write(int, std::span<const uint8_t> bytes) override { return int(bytes.size()); }
};

} // namespace vekos::bench
