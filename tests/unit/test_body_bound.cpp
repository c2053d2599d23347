#include "net/body_bound.h"

#include <gtest/gtest.h>

#include <cstring>

#include "net/http_body.h"

using namespace velda;

namespace {

TEST(BodyBound, StopsWhatPassesTheWholeBodysBound) {
    struct Case {
        const char* name;
        BodyBound bound;
        uint64_t announced;
        bool announced_passes;
        uint64_t received;
        uint64_t available;
        bool read_passes;
    };
    const Case cases[] = {
        {"exactly the bound", {256, 0}, 256, false, 200, 56, false},
        {"one byte past", {256, 0}, 257, true, 256, 1, true},
        {"nothing announced", {256, 0}, 0, false, 0, 256, false},
        {"received already past", {256, 0}, 0, false, 300, 0, true},
        {"continued part fills it", {1000, 600}, 400, false, 399, 1, false},
        {"continued part and its rest pass", {1000, 600}, 401, true, 400, 1, true},
        {"part already past the bound", {1000, 1200}, 1, true, 0, 1, true},
        {"no bound: any 32-bit length", {}, 0xFFFFFFFFu, false, kHttpBodyLimit - 1, 1, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.bound.announced_passes(c.announced), c.announced_passes) << c.name;
        EXPECT_EQ(c.bound.next_read_passes(c.received, c.available), c.read_passes) << c.name;
    }
}

// The block of a bounded body never outgrows the bound and its NUL, whatever was announced.
TEST(BodyBound, BodyBlockStaysWithinTheBound) {
    struct Case {
        const char* name;
        uint32_t announced;
        uint32_t read_size;
    };
    const Case cases[] = {
        {"no length, small reads", 0, 1000},
        {"no length, one read of all", 0, 64 << 10},
        {"announced exactly", 64 << 10, 8192},
    };
    constexpr uint32_t kBound = 64 << 10;
    for (const Case& c : cases) {
        HttpBody body(kBound);
        ASSERT_TRUE(body.begin(c.announced)) << c.name;
        uint32_t filled = 0;
        while (filled < kBound) {
            uint32_t count = c.read_size < kBound - filled ? c.read_size : kBound - filled;
            char* place = body.room(count);
            ASSERT_NE(place, nullptr) << c.name;
            std::memset(place, 'x', count);
            body.commit(count);
            filled += count;
            EXPECT_LE(body.capacity(), kBound + size_t{1}) << c.name;
        }
        ASSERT_TRUE(body.finish()) << c.name;
        EXPECT_EQ(body.size(), kBound) << c.name;
        EXPECT_EQ(body.data()[kBound], '\0') << c.name;
        HttpBody moved = std::move(body);
        EXPECT_EQ(moved.capacity(), kBound + size_t{1}) << c.name;
    }
}

}  // namespace
