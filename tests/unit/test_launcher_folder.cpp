#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/path_size.h"
#include "launcher/launcher_folder.h"

using namespace velda;

namespace {

struct FolderCase {
    std::string module_path;
    bool ok;
    std::string folder;
};

TEST(LauncherFolder, CutsAtTheLastSeparatorOfEitherKind) {
    const FolderCase cases[] = {
        {"C:\\apps\\launcher.exe", true, "C:\\apps"},
        {"C:/apps/launcher.exe", true, "C:/apps"},
        {"C:\\apps/sub\\launcher.exe", true, "C:\\apps/sub"},
        {"C:\\apps\\sub/launcher.exe", true, "C:\\apps\\sub"},
        {"C:\\launcher.exe", true, "C:"},
        {"a\\b", true, "a"},
        // The first character is never examined.
        {"\\launcher.exe", false, ""},
        {"/launcher.exe", false, ""},
        {"launcher.exe", false, ""},
    };
    for (const FolderCase& c : cases) {
        char buffer[kPathSize] = {};
        std::strcpy(buffer, c.module_path.c_str());
        bool ok = launcher_folder_from_module_path(buffer, c.module_path.size(), sizeof(buffer));
        EXPECT_EQ(ok, c.ok) << c.module_path;
        if (c.ok) {
            EXPECT_EQ(std::string(buffer), c.folder) << c.module_path;
        }
    }
}

TEST(LauncherFolder, ModuleNameThatDidNotFitFails) {
    char buffer[kPathSize] = {};
    std::memset(buffer, 'a', 259);
    buffer[3] = '\\';
    EXPECT_FALSE(launcher_folder_from_module_path(buffer, kPathSize, sizeof(buffer)));
    EXPECT_FALSE(launcher_folder_from_module_path(buffer, 0, sizeof(buffer)));
    EXPECT_TRUE(launcher_folder_from_module_path(buffer, 259, sizeof(buffer)));
    EXPECT_STREQ(buffer, "aaa");
}

}  // namespace
