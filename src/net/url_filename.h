#pragma once

#include <cstddef>
#include <string_view>

#include "common/path_size.h"

namespace velda {

// Why Windows cannot hold a name as one file of a folder; None when it can.
enum class FileNameFault {
    None,
    Empty,
    ForbiddenByte,       // a control byte or one of <>:"/\|?*
    TrailingDotOrSpace,  // dropped by Windows, which turns "." and ".." into folders
    DeviceName,          // CON, NUL, COM1 and the like, whatever extension follows
};

// The first fault of name, in the order above; *fault_at is the offending byte's index for
// ForbiddenByte.
[[nodiscard]] FileNameFault file_name_fault(std::string_view name, size_t* fault_at = nullptr);

// Last path segment of url without its query, or empty when the URL names no usable file.
void extract_filename_from_url(const char* url, char out[kPathSize]);

}  // namespace velda
