#include "install/disk_room.h"

#include "common/text.h"

namespace velda {

namespace {

uint64_t saturating_add(uint64_t a, uint64_t b) {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

uint64_t saturating_multiply(uint64_t a, uint64_t b) {
    return (b != 0 && a > UINT64_MAX / b) ? UINT64_MAX : a * b;
}

}  // namespace

DiskRoomNeed package_need(uint64_t package_bytes, uint64_t unpacked_bytes, uint64_t entry_count) {
    return {true, package_bytes, unpacked_bytes, saturating_add(entry_count, 1)};
}

DiskRoomNeed direct_executable_need(uint64_t executable_bytes) {
    return {true, 0, executable_bytes, 1};
}

DiskRoomNeed changed_files_need(uint64_t list_bytes, uint64_t changed_bytes,
                                uint64_t changed_count) {
    return {true, list_bytes, changed_bytes, saturating_add(changed_count, 2)};
}

uint64_t disk_bytes_needed(const DiskRoomNeed& need, uint64_t cluster_bytes) {
    uint64_t cluster = cluster_bytes == 0 ? kDefaultClusterBytes : cluster_bytes;
    uint64_t total = saturating_add(need.download_bytes, need.staged_bytes);
    total = saturating_add(total, saturating_multiply(need.file_count, cluster));
    return saturating_add(total, kDiskRoomMarginBytes);
}

bool disk_has_room(const DiskRoomNeed& need, const VolumeRoom& room) {
    return !need.known || disk_bytes_needed(need, room.cluster_bytes) <= room.free_bytes;
}

void format_no_room_line(const char* means, const DiskRoomNeed& need, const VolumeRoom& room,
                         char out[kNoRoomLineSize]) {
    format_bounded(out, kNoRoomLineSize,
                   "Sin espacio en disco para %s: necesita %llu bytes, hay %llu libres.", means,
                   static_cast<unsigned long long>(disk_bytes_needed(need, room.cluster_bytes)),
                   static_cast<unsigned long long>(room.free_bytes));
}

}  // namespace velda
