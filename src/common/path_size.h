#pragma once

#include <cstddef>

// Every file path and file name the launcher forms fits 260 bytes, NUL included; longer ones
// are cut, as the paths of the Windows ANSI calls are.
inline constexpr size_t kPathSize = 260;
