#include "net/body_bound.h"

namespace velda {

bool BodyBound::announced_passes(uint64_t length) const {
    return length != 0 && (held_before > max_bytes || length > max_bytes - held_before);
}

// Decided before the bytes are read: what passes the bound never reaches the sink.
bool BodyBound::next_read_passes(uint64_t received, uint64_t available) const {
    uint64_t room = held_before > max_bytes ? 0 : max_bytes - held_before;
    return received > room || available > room - received;
}

}  // namespace velda
