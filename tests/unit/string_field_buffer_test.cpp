// Text storage for SDK records: where the pointers aim, NUL safety, and giving the storage back.
#include <cstring>

#include <gtest/gtest.h>

#include "sync/string_field_buffer.h"

namespace vaultline {

namespace {

struct TwoTexts {
    char* first = nullptr;
    char* second = nullptr;
};

TEST(StringFieldBuffer, AimsEachPointerAtStorageOfItsLengthFollowedByAZero) {
    TwoTexts record;
    StringFieldBuffer buffer{{3, &record.first}, {5, &record.second}};
    ASSERT_TRUE(buffer.Allocated());
    ASSERT_NE(record.first, nullptr);
    ASSERT_NE(record.second, nullptr);
    EXPECT_GE(record.second - record.first, 3);
    // Filled to the last byte without a NUL, each text still ends inside the buffer.
    std::memset(record.first, 'a', 3);
    std::memset(record.second, 'b', 5);
    EXPECT_STREQ(buffer.Text(0), "aaa");
    EXPECT_STREQ(buffer.Text(1), "bbbbb");
}

TEST(StringFieldBuffer, ZeroLengthsStillGiveEmptyTexts) {
    TwoTexts record;
    StringFieldBuffer buffer{{0, &record.first}, {0, &record.second}};
    ASSERT_TRUE(buffer.Allocated());
    EXPECT_STREQ(buffer.Text(0), "");
    EXPECT_STREQ(buffer.Text(1), "");
    EXPECT_STREQ(buffer.Text(7), "");
}

TEST(StringFieldBuffer, DestructionAndMoveAssignmentNullThePointersTheyOwned) {
    TwoTexts first;
    TwoTexts second;
    {
        StringFieldBuffer owner{{4, &first.first}};
        StringFieldBuffer other{{4, &second.first}};
        owner = std::move(other);
        EXPECT_EQ(first.first, nullptr);  // released by the assignment
        EXPECT_NE(second.first, nullptr);
        StringFieldBuffer moved(std::move(owner));
        EXPECT_FALSE(owner.Allocated());
        EXPECT_NE(second.first, nullptr);
    }
    EXPECT_EQ(second.first, nullptr);
}

TEST(StringFieldBuffer, RefusesLengthsBeyondItsBoundWithoutAllocating) {
    TwoTexts record;
    const uint64_t huge = ~uint64_t{0};
    StringFieldBuffer overflowing{{huge, &record.first}, {2, &record.second}};
    EXPECT_FALSE(overflowing.Allocated());
    EXPECT_EQ(record.first, nullptr);
    EXPECT_EQ(record.second, nullptr);
    EXPECT_STREQ(overflowing.Text(0), "");

    StringFieldBuffer tooLarge{{StringFieldBuffer::kMaxTotalLength, &record.first}};
    EXPECT_FALSE(tooLarge.Allocated());
}

}  // namespace

}  // namespace vaultline
