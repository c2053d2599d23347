#include "net/http_body.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

using namespace velda;

namespace {

struct GrowthCase {
    const char* name;
    uint32_t announced;
    std::vector<uint32_t> reads;
    std::vector<size_t> capacities;  // after begin, then after each read's room
};

// Fills a body as the transfer does, one byte value per read so the contents can be checked.
HttpBody fill(const GrowthCase& c, std::vector<size_t>* capacities) {
    HttpBody body;
    EXPECT_TRUE(body.begin(c.announced));
    capacities->push_back(body.capacity());
    char value = 'a';
    for (uint32_t count : c.reads) {
        char* place = body.room(count);
        EXPECT_NE(place, nullptr);
        std::memset(place, value++, count);
        body.commit(count);
        capacities->push_back(body.capacity());
    }
    EXPECT_TRUE(body.finish());
    return body;
}

TEST(HttpBody, GrowsThenLandsOnTheBodyAndItsNul) {
    const GrowthCase cases[] = {
        {"empty body", 0, {}, {0}},
        {"announced, one read", 100, {100}, {101, 101}},
        {"announced, several reads", 100, {40, 60}, {101, 101, 101}},
        {"no length: doubling", 0, {10, 10, 10}, {0, 11, 22, 44}},
        {"more than announced", 10, {10, 10}, {11, 11, 22}},
    };
    for (const GrowthCase& c : cases) {
        std::vector<size_t> capacities;
        HttpBody body = fill(c, &capacities);
        EXPECT_EQ(capacities, c.capacities) << c.name;
        uint32_t total = 0;
        for (uint32_t count : c.reads) {
            total += count;
        }
        EXPECT_EQ(body.size(), total) << c.name;
        EXPECT_EQ(body.capacity(), total + size_t{1}) << c.name;
        ASSERT_NE(body.data(), nullptr) << c.name;
        EXPECT_EQ(body.data()[total], '\0') << c.name;
        char value = 'a';
        size_t offset = 0;
        for (uint32_t count : c.reads) {
            for (uint32_t i = 0; i < count; ++i) {
                EXPECT_EQ(body.data()[offset++], value) << c.name;
            }
            ++value;
        }
    }
}

TEST(HttpBody, MoveHandsOverTheBlock) {
    std::vector<size_t> capacities;
    HttpBody first = fill({"", 3, {3}, {}}, &capacities);
    const char* block = first.data();
    HttpBody second(std::move(first));
    EXPECT_EQ(first.data(), nullptr);
    EXPECT_EQ(first.size(), 0u);
    EXPECT_EQ(second.data(), block);
    HttpBody third;
    third = std::move(second);
    EXPECT_EQ(second.data(), nullptr);
    EXPECT_EQ(third.data(), block);
    EXPECT_STREQ(third.data(), "aaa");
}

}  // namespace
