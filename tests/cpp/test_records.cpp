#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

#include "introspect/introspect.h"

namespace {

using introspect::Struct;

cMember member(const char* name, const void* value, int32_t elements, int32_t type) {
    return cMember{name, value, elements, static_cast<cType>(type)};
}

TEST(CTypeSize, WidthsPerCode) {
    const int32_t expected[CTYPE_COUNT] = {0, 1, 1, 1, 1, 2, 2, 4, 4, 4, 4, 8,
                                           8, 1, 1, 2, 2, 4, 4, 8, 8, 4, 8, 0};
    for (int code = 0; code < CTYPE_COUNT; ++code) EXPECT_EQ(cTypeSize[code], expected[code]) << code;
}

TEST(Struct, EmptyRecordKeepsNameAndFullTypeNumber) {
    cStruct s{"empty", nullptr, 0, 300};
    Struct record(&s);
    EXPECT_EQ(record.getName(), "empty");
    EXPECT_EQ(record.getType(), 300u);
    EXPECT_EQ(record.getNumChildren(), 0);
    EXPECT_EQ(record.begin(), record.end());
}

TEST(Struct, SkipsEntriesWithoutATypeCode) {
    int32_t i = -7;
    float f = 2.5f;
    uint8_t junk = 1;
    cMember members[] = {member("i", &i, 1, INT), member("zero", &junk, 1, 0),
                         member("big", &junk, 1, 99), member("f", &f, 1, FLOAT)};
    cStruct s{"rec", members, 4, 1};
    Struct record(&s);
    ASSERT_EQ(record.getNumChildren(), 2);
    EXPECT_EQ(record.innerVector()[0]->getName(), "i");
    EXPECT_EQ(record.innerVector()[0]->getTypeAsEnum(), INT);
    EXPECT_EQ(record.innerVector()[1]->getName(), "f");
    EXPECT_EQ(*static_cast<float*>(record.innerVector()[1]->getInnerPointer()), 2.5f);
}

TEST(Struct, CodesSharingAClassKeepTheirOwnCode) {
    int8_t a = -1, b = -2;
    cMember members[] = {member("a", &a, 1, INT8_T), member("b", &b, 1, SIGNED_CHAR)};
    cStruct s{"rec", members, 2, 0};
    Struct record(&s);
    EXPECT_EQ(record.innerVector()[0]->getTypeAsEnum(), INT8_T);
    EXPECT_EQ(record.innerVector()[1]->getTypeAsEnum(), SIGNED_CHAR);
}

TEST(Struct, LongMembersHoldThirtyTwoBitElements) {
    // 16 bytes of source: a 64-bit `long` reading would pick up the guard words.
    const int32_t values[4] = {-1, 2, std::numeric_limits<int32_t>::min(), 0x5A5A5A5A};
    cMember members[] = {member("l", values, 3, LONG), member("ul", values, 3, UNSIGNED_LONG)};
    cStruct s{"rec", members, 2, 0};
    Struct record(&s);
    const auto* l = static_cast<const int32_t*>(record.innerVector()[0]->getInnerPointer());
    const auto* ul = static_cast<const uint32_t*>(record.innerVector()[1]->getInnerPointer());
    EXPECT_EQ(record.innerVector()[0]->getNumElements(), 3u);
    EXPECT_EQ(l[0], -1);
    EXPECT_EQ(l[2], std::numeric_limits<int32_t>::min());
    EXPECT_EQ(ul[0], 0xFFFFFFFFu);
    EXPECT_EQ(ul[1], 2u);
}

TEST(Struct, DeepCopiesEverything) {
    char name[] = "orig";
    char memberName[] = "text";
    char text[16] = {'A', 'T', 'T', 0, 'x', 'y'};
    cMember members[] = {member(memberName, text, 16, CHAR)};
    cStruct s{name, members, 1, 5};
    Struct record(&s);
    std::memset(text, 'Z', sizeof text);
    std::strcpy(name, "gone");
    std::strcpy(memberName, "lost");
    members[0].elements = 1;
    const auto* m = record.innerVector()[0];
    EXPECT_EQ(record.getName(), "orig");
    EXPECT_EQ(m->getName(), "text");
    ASSERT_EQ(m->getNumElements(), 16u);
    // All 16 bytes are copied, NUL and what follows it included.
    EXPECT_EQ(std::memcmp(m->getInnerPointer(), "ATT\0xy\0\0\0\0\0\0\0\0\0\0", 16), 0);
}

TEST(Struct, RecordsSharingALayoutKeepTheirOwnValues) {
    int32_t value = 5;
    cMember members[] = {member("v", &value, 1, INT32_T), member("skipped", &value, 1, 0)};
    cStruct s{"shared", members, 2, 9};
    introspect::recordLayout* layout = introspect::recordLayout::create(s);
    auto* first = new Struct(&s, *layout);
    value = 6;
    auto* second = new Struct(&s, *layout);
    layout->release();  // the records hold their own references
    EXPECT_EQ(&first->getLayout(), &second->getLayout());
    EXPECT_EQ(first->getName(), "shared");
    EXPECT_EQ(first->getType(), 9u);
    ASSERT_EQ(second->getNumChildren(), 1);
    EXPECT_EQ(*static_cast<int32_t*>(first->innerVector()[0]->getInnerPointer()), 5);
    EXPECT_EQ(*static_cast<int32_t*>(second->innerVector()[0]->getInnerPointer()), 6);
    Quillon::deleteStruct(first);
    EXPECT_EQ(second->innerVector()[0]->getName(), "v");  // still alive through `second`
    Quillon::deleteStruct(second);
}

TEST(Struct, ZeroElementMember) {
    cMember members[] = {member("none", nullptr, 0, DOUBLE)};
    cStruct s{"rec", members, 1, 0};
    Struct record(&s);
    EXPECT_EQ(record.innerVector()[0]->getNumElements(), 0u);
}

TEST(Struct, FailedConstructionsThrowAndReleaseEverything) {
    // Run under LeakSanitizer: every case must release what it had built.
    int32_t v = 1;
    cMember withNone[] = {member("ok", &v, 1, INT), member("bad", &v, 1, NONE)};
    cStruct noneStruct{"rec", withNone, 2, 0};
    try {
        Struct record(&noneStruct);
        FAIL() << "NONE member accepted";
    } catch (const char* text) {
        EXPECT_STREQ(text, "tried to instantiate empty template!");
    }

    // Members are checked in order: a NONE member after a bad one does not
    // take over its error.
    cMember nullName[] = {member("ok", &v, 1, INT), member(nullptr, &v, 1, INT), member("bad", &v, 1, NONE)};
    cStruct nullMember{"rec", nullName, 3, 0};
    EXPECT_THROW(Struct record(&nullMember), std::logic_error);

    cStruct nullRecordName{nullptr, nullptr, 0, 0};
    EXPECT_THROW(Struct record(&nullRecordName), std::logic_error);

    cMember negative[] = {member("ok", &v, 1, INT), member("neg", &v, -1, DOUBLE), member("bad", &v, 1, NONE)};
    cStruct negativeCount{"rec", negative, 3, 0};
    EXPECT_THROW(Struct record(&negativeCount), std::bad_alloc);
}

TEST(DeleteStruct, AcceptsNullAndRecords) {
    Quillon::deleteStruct(nullptr);
    cStruct s{"rec", nullptr, 0, 0};
    Quillon::deleteStruct(new Struct(&s));
}

}  // namespace
