// The Windows error codes the watcher names, as constants error_<name>,
// from the one table that also maps errno values and holds the texts.
#pragma once
#include <cstdint>

#define WINDOWS_ERROR(code, name, errnos, text) constexpr uint32_t error_##name = code;
#include "windows_errors.def"
#undef WINDOWS_ERROR
