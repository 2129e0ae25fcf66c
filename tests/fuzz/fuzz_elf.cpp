// libFuzzer target: the program loader on arbitrary files.  Every input is
// either refused with a LoadError (status 126 and a message) or loaded into a
// machine and run for a few thousand instructions in a sandbox of its own:
// nothing may crash, hang or take memory beyond what libFuzzer's -rss_limit_mb
// and -timeout allow.  The seeds are real vekos programs, so mutations start
// from files the loader accepts.
#include "console.h"
#include "elf_image.h"
#include "errors.h"
#include "kernel.h"
#include "machine.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace vekos;

constexpr uint64_t kInstructionLimit = 5000;
constexpr uint64_t kQuotaBytes = 64 << 10;

struct Sandbox {
    std::filesystem::path root;
    Sandbox()
    {
        std::string templ = (std::filesystem::temp_directory_path() / "vekos-fuzz-elf-XXXXXX").string();
        if (!mkdtemp(templ.data()))
            std::abort();
        root = templ;
    }
    ~Sandbox()
    {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    // What a program left behind is gone before the next one runs.
    void clear()
    {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(root, ec))
            std::filesystem::remove_all(entry.path(), ec);
    }
};

// A refusal must say 126 and name the file.
void check_refusal(const LoadError& e)
{
    if (e.status() != exit_status::cannot_load || std::string(e.what()).rfind("fuzzed: ", 0) != 0) {
        std::fprintf(stderr, "fuzz_elf: a refusal without status 126 and the file's name: %s\n", e.what());
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Sandbox sandbox;
    sandbox.clear();
    CapturedConsole console;
    KernelOptions options;
    options.root = sandbox.root;
    options.fast_clock = true;
    options.quota = FsQuota{kQuotaBytes, kQuotaBytes};
    Kernel kernel(options, console);
    try {
        const ElfImage image = ElfImage::parse(std::vector<uint8_t>(data, data + size), "fuzzed");
        Machine machine(image, kernel, MachineOptions{.max_instructions = kInstructionLimit});
        const Stop stop = machine.start({"fuzzed"});
        if (stop.why == Stop::Why::Faulted && !stop.fault) {
            std::fprintf(stderr, "fuzz_elf: a fault without a report\n");
            std::abort();
        }
        if (stop.why == Stop::Why::Returned || stop.why == Stop::Why::Timeout) {
            std::fprintf(stderr, "fuzz_elf: a program run ended as a call or a timeout\n");
            std::abort();
        }
    } catch (const LoadError& e) {
        check_refusal(e);
    }
    return 0;
}
