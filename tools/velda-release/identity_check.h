#pragma once

#include <string>
#include <vector>

namespace velda {

// What the release says it is, as keyed launchers read it, and what they would refuse of it.
struct IdentityReport {
    std::vector<std::string> lines;  // product, issued, expires, one a line
    std::vector<std::string> traps;
};

// product_id: the launcher's (--product-id), "" when not given: then the product is not judged.
// now_utc: UTC time text of the moment checked against "expires".
[[nodiscard]] IdentityReport check_release_identity(const std::string& manifest_text,
                                                    const std::string& product_id,
                                                    const std::string& now_utc);

}  // namespace velda
