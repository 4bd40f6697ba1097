// The watcher's exit codes as constants exit_<name>, from the one table the
// host's Python package reads too.
#pragma once
#include <cstdint>

#define EXIT_CODE(code, name, text) constexpr uint32_t exit_##name = code;
#include "corvamire/exit_codes.def"
#undef EXIT_CODE
