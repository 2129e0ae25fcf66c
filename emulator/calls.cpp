#include "calls.h"

#include <array>
#include <utility>

namespace vekos {
namespace {

struct Entry {
    std::string_view name;
    uint32_t number;
    bool gui;
};

#define VEKOS_GENERAL_ENTRY(name, number) Entry{#name, number, false},
#define VEKOS_GUI_ENTRY(name, number) Entry{#name, number, true},
constexpr Entry kCalls[] = {VEKOS_GENERAL_CALLS(VEKOS_GENERAL_ENTRY) VEKOS_GUI_CALLS(VEKOS_GUI_ENTRY)};
#undef VEKOS_GENERAL_ENTRY
#undef VEKOS_GUI_ENTRY

const Entry* find(uint32_t number)
{
    for (const Entry& e : kCalls)
        if (e.number == number)
            return &e;
    return nullptr;
}

} // namespace

std::optional<std::string_view> call_name(uint32_t number)
{
    const Entry* e = find(number);
    if (!e)
        return std::nullopt;
    return e->name;
}

std::optional<uint32_t> call_number(std::string_view name)
{
    for (const Entry& e : kCalls)
        if (e.name == name)
            return e.number;
    return std::nullopt;
}

bool is_gui_call(uint32_t number)
{
    const Entry* e = find(number);
    return e && e->gui;
}

} // namespace vekos
