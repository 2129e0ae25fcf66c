#include "kernel/calls.h"

namespace vekos {
namespace {

#define VEKOS_GENERAL_ROW(name, number, ebx, ecx, edx)                                                                 \
    CallInfo{#name, number, {ArgKind::ebx, ArgKind::ecx, ArgKind::edx}, false},
#define VEKOS_GUI_ROW(name, number, ebx, ecx, edx)                                                                     \
    CallInfo{#name, number, {ArgKind::ebx, ArgKind::ecx, ArgKind::edx}, true},
constexpr CallInfo kCalls[] = {VEKOS_GENERAL_CALLS(VEKOS_GENERAL_ROW) VEKOS_GUI_CALLS(VEKOS_GUI_ROW)};
#undef VEKOS_GENERAL_ROW
#undef VEKOS_GUI_ROW

} // namespace

std::span<const CallInfo> all_calls() { return kCalls; }

const CallInfo* find_call(uint32_t number)
{
    for (const CallInfo& c : kCalls)
        if (c.number == number)
            return &c;
    return nullptr;
}

const CallInfo* find_call(std::string_view name)
{
    for (const CallInfo& c : kCalls)
        if (c.name == name)
            return &c;
    return nullptr;
}

} // namespace vekos
