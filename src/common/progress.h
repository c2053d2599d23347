#pragma once

#include <cstdint>

namespace velda {

// How far a long step is: called with done and total, and total is 0 when it is not known.
using ProgressCallback = void (*)(uint32_t done, uint32_t total, void* user_data);

}  // namespace velda
