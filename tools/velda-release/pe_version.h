#pragma once

#include <string>
#include <string_view>

namespace velda {

// The version a Windows executable's version resource gives: the file version of its fixed
// part (VS_FIXEDFILEINFO), as "major.minor.patch". An executable without a version resource, or
// with a file version whose fourth number is not 0, is refused: *why says why.
[[nodiscard]] bool read_executable_version(std::string_view bytes, std::string* version,
                                           std::string* why);

}  // namespace velda
