#pragma once

#include <cstdint>

namespace velda {

// What a means writes before its commit. Backups cost no room: they are renames on the same
// volume. A size the manifest does not give (a manifest of an older tool) makes the need
// unknown, and such a means is not held back.
struct DiskRoomNeed {
    bool known;
    uint64_t download_bytes;  // what is downloaded and still there when staging is complete
    uint64_t staged_bytes;    // the staged files
    uint64_t file_count;      // files written: each may round up by a cluster
};

struct VolumeRoom {
    uint64_t free_bytes;     // free to this user (quotas counted)
    uint64_t cluster_bytes;  // allocation unit; 0 when unknown
};

// Room left over whatever the means writes: the launcher's log, the record, the directories'
// growth, and a volume that other programs (and Windows itself) do not find full to the byte.
inline constexpr uint64_t kDiskRoomMarginBytes = 64ull * 1024 * 1024;
// Cluster size assumed when the volume does not say (NTFS's default).
inline constexpr uint64_t kDefaultClusterBytes = 4096;

// The package downloaded, then unpacked into staging while it is still there.
[[nodiscard]] DiskRoomNeed package_need(uint64_t package_bytes, uint64_t unpacked_bytes,
                                        uint64_t entry_count);
// Velda.exe alone, downloaded straight into staging.
[[nodiscard]] DiskRoomNeed direct_executable_need(uint64_t executable_bytes);
// The list and the hash file, then every changed file downloaded into staging.
[[nodiscard]] DiskRoomNeed changed_files_need(uint64_t list_bytes, uint64_t changed_bytes,
                                              uint64_t changed_count);

// Bytes the volume must have free: the need, each file rounded up by a cluster, and the margin;
// saturates instead of wrapping.
[[nodiscard]] uint64_t disk_bytes_needed(const DiskRoomNeed& need, uint64_t cluster_bytes);

// True when the means may start: its need is unknown, or the volume has the bytes.
[[nodiscard]] bool disk_has_room(const DiskRoomNeed& need, const VolumeRoom& room);

// "Sin espacio en disco para <means>: necesita <n> bytes, hay <m> libres."
inline constexpr unsigned kNoRoomLineSize = 256;
void format_no_room_line(const char* means, const DiskRoomNeed& need, const VolumeRoom& room,
                         char out[kNoRoomLineSize]);

// The free room of the volume that holds folder (or its nearest existing ancestor); false when
// it cannot be read.
[[nodiscard]] bool query_volume_room(const char* folder, VolumeRoom* out);

}  // namespace velda
