#pragma once

#include <cstddef>

namespace velda {

// Every file path and file name the launcher forms fits 260 bytes, NUL included. A path that
// would not fit is never cut, since a cut one names another file: the step that forms it fails
// (join_path in install_paths.h). A name taken from outside, longer than this, is held cut to it
// only to be refused when it is joined to its folder.
inline constexpr size_t kPathSize = 260;

}  // namespace velda
