#include "install/disk_room.h"

#include <windows.h>

#include <cstring>

#include "common/path_size.h"
#include "common/text.h"

namespace velda {

bool query_volume_room(const char* folder, VolumeRoom* out) {
    *out = {0, 0};
    // A first installation's folder does not exist yet: its nearest ancestor is on the volume.
    char existing[kPathSize] = {};
    copy_bounded(existing, kPathSize, folder);
    while (GetFileAttributesA(existing) == INVALID_FILE_ATTRIBUTES) {
        char* cut = std::strrchr(existing, '\\');
        if (cut == nullptr) {
            return false;
        }
        *cut = '\0';
    }
    ULARGE_INTEGER free_to_caller = {};
    if (!GetDiskFreeSpaceExA(existing, &free_to_caller, nullptr, nullptr)) {
        return false;
    }
    out->free_bytes = free_to_caller.QuadPart;
    char root[kPathSize] = {};
    DWORD sectors_per_cluster = 0;
    DWORD bytes_per_sector = 0;
    DWORD free_clusters = 0;
    DWORD clusters = 0;
    if (GetVolumePathNameA(existing, root, kPathSize) &&
        GetDiskFreeSpaceA(root, &sectors_per_cluster, &bytes_per_sector, &free_clusters,
                          &clusters)) {
        out->cluster_bytes = static_cast<uint64_t>(sectors_per_cluster) * bytes_per_sector;
    }
    return true;
}

}  // namespace velda
