#pragma once

#include <cstddef>
#include <string>

namespace velda {

// One variable a child gets on top of the launcher's environment.
struct ChildVariable {
    const wchar_t* name;
    const wchar_t* value;
};

// The child's environment block: every "NAME=value" of parent_block (each ended by a NUL, the
// block by one more), with each variable of variables set to its value. An entry of the same
// name, compared without regard to ASCII case as Windows compares names, is replaced; a new one
// goes where a case-blind order of names puts it. The result ends with the block's closing NUL.
std::wstring environment_block_with(const wchar_t* parent_block, const ChildVariable* variables,
                                    size_t variable_count);

}  // namespace velda
