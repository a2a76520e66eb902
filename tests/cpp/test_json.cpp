#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "introspect/introspect.h"

namespace {

using introspect::Struct;

std::string render(cStruct s) { return Struct(&s).to_json(); }

std::string renderMember(const void* value, int32_t elements, int32_t type, const char* name = "m") {
    cMember m{name, value, elements, static_cast<cType>(type)};
    cStruct s{"r", &m, 1, 0};
    Struct record(&s);
    return record.innerVector()[0]->to_json();
}

TEST(Json, RecordLayout) {
    const uint64_t unixTime = 1700000000000000ULL;
    const uint32_t boot = 5000;
    cMember members[] = {{"time_unix_usec", &unixTime, 1, UINT64_T}, {"time_boot_ms", &boot, 1, UINT32_T}};
    EXPECT_EQ(render({"system_time", members, 2, 2}),
              "{\n"
              "    \"packet_name\": \"system_time\",\n"
              "    \"packet_id\": 2,\n"
              "    \"time_unix_usec\": 1700000000000000,\n"
              "    \"time_boot_ms\": 5000\n"
              "}\n");
    EXPECT_EQ(render({"empty", nullptr, 0, 60053}),
              "{\n    \"packet_name\": \"empty\",\n    \"packet_id\": 60053\n}\n");
}

TEST(Json, NumberFormatsPerType) {
    const uint8_t bytes[] = {1, 2, 3};
    EXPECT_EQ(renderMember(bytes, 3, UINT8_T), "    \"m\": [1, 2, 3]");
    EXPECT_EQ(renderMember(bytes, 0, UINT8_T), "    \"m\": []");
    const char a = 'A', ff = static_cast<char>(0xFF);
    EXPECT_EQ(renderMember(&a, 1, CHAR), "    \"m\": 65");
    EXPECT_EQ(renderMember(&ff, 1, CHAR), "    \"m\": -1");
    const uint8_t flags[] = {1, 0, 1};
    EXPECT_EQ(renderMember(flags, 3, BOOL), "    \"m\": [1, 0, 1]");
    const float floats[] = {1.5f, -2.0f};
    EXPECT_EQ(renderMember(floats, 2, FLOAT), "    \"m\": [1.500000, -2.000000]");
    const uint64_t u64 = std::numeric_limits<uint64_t>::max();
    const int64_t i64 = std::numeric_limits<int64_t>::min();
    EXPECT_EQ(renderMember(&u64, 1, UNSIGNED_LONG_LONG), "    \"m\": 18446744073709551615");
    EXPECT_EQ(renderMember(&i64, 1, LONG_LONG), "    \"m\": -9223372036854775808");
    const int8_t s8 = -128;
    const uint16_t u16 = 65535;
    const int32_t s32 = std::numeric_limits<int32_t>::min();
    const uint32_t u32 = 4294967295u;
    EXPECT_EQ(renderMember(&s8, 1, INT8_T), "    \"m\": -128");
    EXPECT_EQ(renderMember(&s8, 1, UNSIGNED_CHAR), "    \"m\": 128");
    EXPECT_EQ(renderMember(&u16, 1, UINT16_T), "    \"m\": 65535");
    EXPECT_EQ(renderMember(&u16, 1, SHORT), "    \"m\": -1");
    EXPECT_EQ(renderMember(&s32, 1, LONG), "    \"m\": -2147483648");
    EXPECT_EQ(renderMember(&u32, 1, UNSIGNED_LONG), "    \"m\": 4294967295");
    const double d = 0.5;
    EXPECT_EQ(renderMember(&d, 1, DOUBLE), "    \"m\": 0.500000");
}

TEST(Json, NonFiniteValuesAreNull) {
    const double values[] = {std::nan(""), std::numeric_limits<double>::infinity(), 1.0};
    EXPECT_EQ(renderMember(values, 3, DOUBLE), "    \"m\": [null, null, 1.000000]");
    const float inf = -std::numeric_limits<float>::infinity();
    EXPECT_EQ(renderMember(&inf, 1, FLOAT), "    \"m\": null");
}

TEST(Json, CharTextsStopAtNulAndAtCount) {
    const char att[16] = {'A', 'T', 'T'};
    EXPECT_EQ(renderMember(att, 16, CHAR), "    \"m\": \"ATT\"");
    const char full[6] = {'a', 'b', 'c', 'd', 'e', 'f'};
    EXPECT_EQ(renderMember(full, 4, CHAR), "    \"m\": \"abcd\"");  // never past count
    const char empty[4] = {};
    EXPECT_EQ(renderMember(empty, 4, CHAR), "    \"m\": \"\"");
}

TEST(Json, EscapesNamesAndTexts) {
    const char text[] = "q\"b\\c\n\x01";
    EXPECT_EQ(renderMember(text, 7, CHAR), "    \"m\": \"q\\\"b\\\\c\\u000a\\u0001\"");
    const uint8_t v = 1;
    EXPECT_EQ(renderMember(&v, 1, UINT8_T, "a\"b"), "    \"a\\\"b\": 1");
    cStruct s{"x\\y\t", nullptr, 0, 1};
    EXPECT_EQ(render(s), "{\n    \"packet_name\": \"x\\\\y\\u0009\",\n    \"packet_id\": 1\n}\n");
}

TEST(Json, Utf8IsKeptAndStrayBytesEscaped) {
    const char valid[] = "\xC3\xA9t\xC3\xA9";  // "été"
    EXPECT_EQ(renderMember(valid, 5, CHAR), "    \"m\": \"\xC3\xA9t\xC3\xA9\"");
    const char invalid[] = {'A', static_cast<char>(0xFF), static_cast<char>(0xC3), 'B',
                            static_cast<char>(0xED), static_cast<char>(0xA0), static_cast<char>(0x80)};
    // 0xFF never starts UTF-8, 0xC3 lacks its continuation, ED A0 80 is a surrogate.
    EXPECT_EQ(renderMember(invalid, 7, CHAR), "    \"m\": \"A\\u00ff\\u00c3B\\u00ed\\u00a0\\u0080\"");
    const char truncated[] = {'x', static_cast<char>(0xE2), static_cast<char>(0x82)};
    EXPECT_EQ(renderMember(truncated, 3, CHAR), "    \"m\": \"x\\u00e2\\u0082\"");
}

}  // namespace
