// Host view of the shared call list: names by number and numbers by name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

extern "C" {
#include "kernel/vekos_calls.h"
}

namespace vekos {

// The call's name ("write", "gui_create"), or nullopt for a number not in the list.
std::optional<std::string_view> call_name(uint32_t number);
std::optional<uint32_t> call_number(std::string_view name);
bool is_gui_call(uint32_t number);

} // namespace vekos
