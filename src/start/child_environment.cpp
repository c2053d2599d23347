#include "start/child_environment.h"

#include <string_view>
#include <vector>

namespace velda {

namespace {

wchar_t ascii_upper(wchar_t c) {
    return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

// An entry's name runs to its first '=' after the first character: the hidden per-drive
// entries ("=C:=C:\dir") begin with one.
std::wstring_view name_of(std::wstring_view entry) {
    size_t equals = entry.find(L'=', 1);
    return equals == std::wstring_view::npos ? entry : entry.substr(0, equals);
}

int compare_names(std::wstring_view left, std::wstring_view right) {
    size_t common = left.size() < right.size() ? left.size() : right.size();
    for (size_t i = 0; i < common; ++i) {
        wchar_t a = ascii_upper(left[i]);
        wchar_t b = ascii_upper(right[i]);
        if (a != b) {
            return a < b ? -1 : 1;
        }
    }
    return left.size() == right.size() ? 0 : (left.size() < right.size() ? -1 : 1);
}

std::vector<std::wstring> entries_of(const wchar_t* block) {
    std::vector<std::wstring> entries;
    for (const wchar_t* entry = block; entry != nullptr && *entry != L'\0';) {
        std::wstring text(entry);
        entry += text.size() + 1;
        entries.push_back(std::move(text));
    }
    return entries;
}

// Replaces every entry of the same name (the parent's block need not be in order), then puts
// the new one before the first name that sorts after it.
void set_variable(std::vector<std::wstring>* entries, const ChildVariable& variable) {
    std::erase_if(*entries, [&](const std::wstring& entry) {
        return compare_names(name_of(entry), variable.name) == 0;
    });
    auto at = entries->begin();
    while (at != entries->end() && compare_names(name_of(*at), variable.name) < 0) {
        ++at;
    }
    entries->insert(at, std::wstring(variable.name) + L"=" + variable.value);
}

}  // namespace

std::wstring environment_block_with(const wchar_t* parent_block, const ChildVariable* variables,
                                    size_t variable_count) {
    std::vector<std::wstring> entries = entries_of(parent_block);
    for (size_t i = 0; i < variable_count; ++i) {
        set_variable(&entries, variables[i]);
    }
    std::wstring block;
    for (const std::wstring& entry : entries) {
        block += entry;
        block.push_back(L'\0');
    }
    // An empty block is two NULs, a full one ends with one after its last entry's.
    if (entries.empty()) {
        block.push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

}  // namespace velda
