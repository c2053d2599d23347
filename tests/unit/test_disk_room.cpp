#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "install/disk_room.h"

using namespace velda;

namespace {

constexpr uint64_t kMiB = 1024 * 1024;

TEST(DiskRoom, NeedOfEachMeansAgainstTheFreeBytes) {
    const uint64_t margin = kDiskRoomMarginBytes;
    struct Case {
        const char* what;
        DiskRoomNeed need;
        VolumeRoom room;
        uint64_t needed;
        bool room_enough;
    } cases[] = {
        {"package: zip and unpacked files, 4 KiB clusters",
         package_need(100 * kMiB, 250 * kMiB, 9),
         {0, 4096},
         350 * kMiB + 10 * 4096 + margin,
         false},
        {"package exactly fits",
         package_need(100 * kMiB, 250 * kMiB, 9),
         {350 * kMiB + 10 * 4096 + margin, 4096},
         350 * kMiB + 10 * 4096 + margin,
         true},
        {"one byte short",
         package_need(100 * kMiB, 250 * kMiB, 9),
         {350 * kMiB + 10 * 4096 + margin - 1, 4096},
         350 * kMiB + 10 * 4096 + margin,
         false},
        {"Velda.exe alone, 64 KiB clusters",
         direct_executable_need(20 * kMiB),
         {200 * kMiB, 65536},
         20 * kMiB + 65536 + margin,
         true},
        {"changed files: list, hash file and files; cluster unknown",
         changed_files_need(1000, 5 * kMiB, 3),
         {margin, 0},
         1000 + 5 * kMiB + 5 * 4096 + margin,
         false},
        {"sizes not given: never held back", DiskRoomNeed{false, 0, 0, 0}, {0, 4096}, margin, true},
        {"sizes that would wrap saturate",
         package_need(UINT64_MAX, UINT64_MAX, UINT64_MAX),
         {UINT64_MAX - 1, 4096},
         UINT64_MAX,
         false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(disk_bytes_needed(c.need, c.room.cluster_bytes), c.needed) << c.what;
        EXPECT_EQ(disk_has_room(c.need, c.room), c.room_enough) << c.what;
    }
}

TEST(DiskRoom, LineNamesWhatIsNeededAndWhatIsFree) {
    char line[kNoRoomLineSize];
    format_no_room_line("el ZIP completo", direct_executable_need(0), {1234, 4096}, line);
    EXPECT_EQ(std::string(line), "Sin espacio en disco para el ZIP completo: necesita " +
                                     std::to_string(4096 + kDiskRoomMarginBytes) +
                                     " bytes, hay 1234 libres.");
}

}  // namespace
