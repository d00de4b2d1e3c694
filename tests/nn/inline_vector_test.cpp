#include <gtest/gtest.h>

#include <string>

#include "nn/allocation_counter.h"
#include "nn/inline_vector.h"

TEST(InlineVector, NewVectorIsEmptyAndUsesItsInlineElement) {
    InlineVector<float> v;
    EXPECT_EQ(v.size, 0u);
    EXPECT_EQ(v.capacity, 1u);
    EXPECT_EQ(v.data, &v.inlineElement);
}

TEST(InlineVector, ResizeToZeroOrOneNeverAllocates) {
    AllocationScope scope;
    InlineVector<float> v;
    v.resize(1);
    v.data[0] = 2.5f;
    v.resize(0);
    v.resize(1);
    EXPECT_EQ(scope.count(), 0u);
    EXPECT_EQ(v.capacity, 1u);
    EXPECT_EQ(v.data, &v.inlineElement);
    EXPECT_EQ(v[0], 2.5f);
}

TEST(InlineVector, CapacityDoublesToTheSmallestPowerOfTwoAndNeverShrinks) {
    InlineVector<float> v;
    v.resize(3);
    EXPECT_EQ(v.capacity, 4u);
    v.resize(4);
    EXPECT_EQ(v.capacity, 4u);
    v.resize(5);
    EXPECT_EQ(v.capacity, 8u);
    v.resize(9);
    EXPECT_EQ(v.capacity, 16u);
    v.resize(2);
    EXPECT_EQ(v.capacity, 16u);
    EXPECT_EQ(v.size, 2u);
    v.clear();
    EXPECT_EQ(v.size, 0u);
    EXPECT_EQ(v.capacity, 16u);
}

TEST(InlineVector, ShrinkingKeepsTheTailAndRegrowingShowsItAgain) {
    InlineVector<float> v;
    v.resize(5);
    EXPECT_EQ(v.capacity, 8u);
    for (uint64_t i = 0; i < 8; ++i) v[i] = static_cast<float>(i) + 0.5f;
    v.resize(2);
    EXPECT_EQ(v.capacity, 8u);
    EXPECT_EQ(v.size, 2u);
    for (uint64_t i = 2; i < 8; ++i) EXPECT_EQ(v.data[i], static_cast<float>(i) + 0.5f);

    AllocationScope scope;
    v.resize(5);
    EXPECT_EQ(scope.count(), 0u);
    EXPECT_EQ(v[2], 2.5f);
    EXPECT_EQ(v[3], 3.5f);
    EXPECT_EQ(v[4], 4.5f);
}

TEST(InlineVector, GrowthCopiesTheUsedElementsAndAllocatesOnlyWhenCapacityIsExceeded) {
    InlineVector<float> v;
    v.resize(1);
    v[0] = -1.0f;
    {
        AllocationScope scope;
        v.resize(2);
        EXPECT_EQ(scope.count(), 1u);
    }
    EXPECT_NE(v.data, &v.inlineElement);
    EXPECT_EQ(v[0], -1.0f);
    // The inline element is left as it was when the data moved out.
    EXPECT_EQ(v.inlineElement, -1.0f);

    AllocationScope scope;
    v.resize(1);
    v.resize(2);
    v.pushBack(7.0f);  // grows to 4
    EXPECT_EQ(scope.count(), 1u);
    v.pushBack(8.0f);  // fits
    EXPECT_EQ(scope.count(), 1u);
    EXPECT_EQ(v.size, 4u);
    EXPECT_EQ(v[0], -1.0f);
    EXPECT_EQ(v[2], 7.0f);
    EXPECT_EQ(v[3], 8.0f);
}

TEST(InlineVector, NestedVectorsAreCopiedWithCapacityFittingTheirSize) {
    InlineVector<InlineVector<float>> outer;
    outer.resize(1);
    outer[0].resize(8);
    outer[0].resize(3);
    outer[0][0] = 1.0f;
    outer[0][1] = 2.0f;
    outer[0][2] = 3.0f;
    ASSERT_EQ(outer[0].capacity, 8u);

    outer.resize(2);
    ASSERT_EQ(outer.capacity, 2u);
    EXPECT_EQ(outer[0].size, 3u);
    EXPECT_EQ(outer[0].capacity, 4u);
    EXPECT_EQ(outer[0][0], 1.0f);
    EXPECT_EQ(outer[0][1], 2.0f);
    EXPECT_EQ(outer[0][2], 3.0f);
    // The fresh element beyond the old size is an empty vector.
    EXPECT_EQ(outer[1].size, 0u);
    EXPECT_EQ(outer[1].capacity, 1u);
    EXPECT_EQ(outer[1].data, &outer[1].inlineElement);
}

TEST(InlineVector, StringsMoveToTheHeapWhileTheInlineStringKeepsItsText) {
    // Long enough that std::string holds them on the heap too, so a stale
    // reference shows up under AddressSanitizer.
    const std::string first = "the first name, long enough to live on the heap";
    const std::string second = "the second name, also long enough for the heap";
    InlineVector<std::string> names;
    names.pushBack(first);
    EXPECT_EQ(names.capacity, 1u);
    EXPECT_EQ(names.data, &names.inlineElement);

    names.pushBack(second);
    EXPECT_EQ(names.size, 2u);
    EXPECT_EQ(names.capacity, 2u);
    EXPECT_NE(names.data, &names.inlineElement);
    EXPECT_EQ(names[0], first);
    EXPECT_EQ(names[1], second);
    EXPECT_EQ(names.inlineElement, first);
}

TEST(InlineVector, PushingBackOwnElementSurvivesGrowth) {
    InlineVector<std::string> names;
    names.pushBack("an element that is long enough to be heap allocated");
    names.pushBack("another element that is long enough to be on the heap");
    ASSERT_EQ(names.size, names.capacity);
    names.pushBack(names[0]);
    ASSERT_EQ(names.size, 3u);
    EXPECT_EQ(names[2], names[0]);
}
