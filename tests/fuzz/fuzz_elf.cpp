// libFuzzer target: the program loader on arbitrary files.  Every input is
// either refused with a LoadError (status 126 and a message) or loaded into a
// session and run for a few thousand instructions in a sandbox of its own:
// nothing may crash, hang or take memory beyond what libFuzzer's -rss_limit_mb
// and -timeout allow.  The seeds are real vekos programs, so mutations start
// from files the loader accepts.
#include "base/errors.h"
#include "session/session.h"

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace vekos;

constexpr uint64_t kInstructionLimit = 5000;
constexpr uint64_t kQuotaBytes = 64 << 10;

// libFuzzer sees only host code built for it; what the loader and the run made
// of an input shows through these counters instead (refusal text, how the run
// ended, how far it got), so inputs that reach new places are kept.
__attribute__((section("__libfuzzer_extra_counters"))) uint8_t g_features[1 << 12];

void feature(std::string_view what, uint64_t detail)
{
    uint8_t& c = g_features[(std::hash<std::string_view>{}(what) ^ detail * 0x9E3779B97F4A7C15ull) % sizeof g_features];
    c += c < 255;
}

// Stops the run, naming the fault of the input.
void check(bool holds, const std::string& what)
{
    if (!holds)
        std::fprintf(stderr, "fuzz_elf: %s\n", what.c_str()), std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    SessionOptions options; // a sandbox of its own, removed with the session
    options.kernel.fast_clock = true;
    options.kernel.keep_log = true;
    options.kernel.quota = FsQuota{kQuotaBytes, kQuotaBytes};
    options.machine.max_instructions = kInstructionLimit;
    try {
        Session session(ElfImage::parse(std::vector<uint8_t>(data, data + size), "fuzzed"), std::move(options));
        const Stop stop = session.run({"fuzzed"});
        check(stop.why != Stop::Why::Faulted || stop.fault, "a fault without a report");
        check(stop.why != Stop::Why::Returned && stop.why != Stop::Why::Timeout,
            "a program run ended as a call or a timeout");
        feature(stop.fault ? stop.fault->kind : "", uint64_t(stop.why));
        feature("instructions", std::bit_width(session.machine().instructions_executed()));
        feature("calls", session.calls().size());
    } catch (const LoadError& e) { // a refusal must say 126 and name the file
        const std::string what = e.what();
        check(e.status() == exit_status::cannot_load && what.starts_with("fuzzed: "),
            "a refusal without status 126 and the file's name: " + what);
        feature(what.substr(0, what.find_first_of("0123456789")), 0); // the kind of refusal, not its numbers
    }
    return 0;
}
