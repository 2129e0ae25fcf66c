// The host's view of the call table (vekos_calls.h): each call's name,
// number and the kind of each argument register, for the dispatch, the
// trace, --inject and the tests.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

extern "C" {
#include "vekos_calls.h"
}

namespace vekos {

// The argument kinds of vekos_calls.h, by the same names.
enum class ArgKind {
    NONE,
    ZERO,
    EVENT_SIZE,
    FD,
    INT,
    UINT,
    FLAG,
    LEN,
    IN_BUF,
    OUT_BUF,
    OUT_STR,
    PATH,
    STR,
    OPEN_FLAGS,
    OPEN_MODE,
    FD_PAIR,
    PTR,
    HANDLE,
    COLOR_REC,
    RECT_REC,
    TEXT_REC,
    EVENT_REC,
    WORD,
};

struct CallInfo {
    std::string_view name;
    uint32_t number;
    std::array<ArgKind, 3> args; // ebx, ecx, edx
    bool gui;
};

std::span<const CallInfo> all_calls();
// nullptr for a number or a name that is not in the table.
const CallInfo* find_call(uint32_t number);
const CallInfo* find_call(std::string_view name);

} // namespace vekos
