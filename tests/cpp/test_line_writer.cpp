// Text lines: values laid out as Python's json and csv modules and repr lay
// them out, and rows of several batches merged by index.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "lines/lineWriter.h"
#include "lines/valueText.h"

using namespace lines;

namespace {

std::string number(double value) {
    std::string out;
    appendDouble(out, value);
    return out;
}

std::string text(const std::string& value) {
    std::string out;
    appendString(out, value.data(), value.size());
    return out;
}

std::string isoTime(int64_t microseconds) {
    std::string out;
    appendIsoTime(out, microseconds);
    return out;
}

}  // namespace

TEST(ValueText, FloatsAsPythonRepr) {
    EXPECT_EQ(number(0.1f), "0.10000000149011612");  // float32, widened
    EXPECT_EQ(number(1.0), "1.0");
    EXPECT_EQ(number(-0.0), "-0.0");
    EXPECT_EQ(number(0.0001), "0.0001");
    EXPECT_EQ(number(1e-5), "1e-05");
    EXPECT_EQ(number(1.5e-7), "1.5e-07");
    EXPECT_EQ(number(1e15), "1000000000000000.0");
    EXPECT_EQ(number(1e16), "1e+16");
    EXPECT_EQ(number(1.5e16), "1.5e+16");
    EXPECT_EQ(number(123456789012345678.0), "1.2345678901234568e+17");
    EXPECT_EQ(number(-1234.5), "-1234.5");
    EXPECT_EQ(number(1e300), "1e+300");
    EXPECT_EQ(number(5e-324), "5e-324");  // smallest subnormal
    EXPECT_EQ(number(std::numeric_limits<float>::denorm_min()), "1.401298464324817e-45");
    EXPECT_EQ(number(std::numeric_limits<double>::max()), "1.7976931348623157e+308");
    EXPECT_EQ(number(std::nan("")), "null");
    EXPECT_EQ(number(-std::numeric_limits<double>::infinity()), "null");
}

TEST(ValueText, CsvCellsAsPythonCsv) {
    std::string out;
    appendPythonFloat(out, std::nan(""));
    out += ' ';
    appendPythonFloat(out, -std::numeric_limits<double>::infinity());
    out += ' ';
    appendPythonFloat(out, 0.5);
    for (const char* cell : {" plain é", "a,b", "say \"hi\"", "two\nlines", "cr\r"}) {
        out += ' ';
        appendCsvText(out, cell, std::strlen(cell));
    }
    out += ' ';
    appendIsoTime(out, 0, false);
    EXPECT_EQ(out, "nan -inf 0.5  plain é \"a,b\" \"say \"\"hi\"\"\" \"two\nlines\" \"cr\r\" "
                   "1970-01-01T00:00:00.000000Z");
}

TEST(ValueText, IntegersWhole) {
    std::string out;
    appendInteger(out, std::numeric_limits<uint64_t>::max());
    out += ',';
    appendInteger(out, std::numeric_limits<int64_t>::min());
    EXPECT_EQ(out, "18446744073709551615,-9223372036854775808");
}

TEST(ValueText, StringsAsEnsureAscii) {
    EXPECT_EQ(text("plain ~"), "\"plain ~\"");
    EXPECT_EQ(text("\"q\" \\ \n\r\t\b\f"), R"("\"q\" \\ \n\r\t\b\f")");
    EXPECT_EQ(text(std::string("\x00\x01\x1f\x7f", 4)), R"("\u0000\u0001\u001f\u007f")");
    EXPECT_EQ(text("\xc3\xa9\xe2\x82\xac"), R"("\u00e9\u20ac")");        // é €
    EXPECT_EQ(text("\xf0\x9f\x98\x80"), R"("\ud83d\ude00")");            // beyond the BMP
    EXPECT_EQ(text("a\xff" "b\xc3"), R"("a\u00ffb\u00c3")");             // stray bytes as Latin-1
    EXPECT_EQ(text("\xed\xa0\x80"), R"("\u00ed\u00a0\u0080")");          // encoded surrogate
}

TEST(ValueText, TimesAsIso8601) {
    EXPECT_EQ(isoTime(0), "\"1970-01-01T00:00:00.000000Z\"");
    EXPECT_EQ(isoTime(1683220541055000), "\"2023-05-04T17:15:41.055000Z\"");
    EXPECT_EQ(isoTime(-1), "\"1969-12-31T23:59:59.999999Z\"");
    EXPECT_EQ(isoTime(951782400000000), "\"2000-02-29T00:00:00.000000Z\"");
    EXPECT_EQ(isoTime(-62135596800000001), "\"0000-12-31T23:59:59.999999Z\"");
    EXPECT_EQ(isoTime(253402300800000000), "\"10000-01-01T00:00:00.000000Z\"");
    EXPECT_EQ(isoTime(std::numeric_limits<int64_t>::max()), "\"294247-01-10T04:00:54.775807Z\"");
}

TEST(ValueText, Base64) {
    std::string out;
    const uint8_t data[] = {'M', 'a', 'n', 0xff};
    for (std::size_t n = 0; n <= 4; ++n) appendBase64(out, data, n);
    EXPECT_EQ(out, R"("""TQ==""TWE=""TWFu""TWFu/w==")");
}

// A record batch of an index column and one float32 column, built by hand.
struct handBatch {
    std::vector<uint64_t> index;
    std::vector<float> values;
    std::vector<uint8_t> validity;
    const void* indexBuffers[2];
    const void* valueBuffers[2];
    ArrowArray indexArray{}, valueArray{}, batch{};
    ArrowArray* children[2];
    ArrowSchema indexSchema{}, valueSchema{}, schema{};
    ArrowSchema* schemaChildren[2];

    handBatch(std::vector<uint64_t> indexes, std::vector<float> floats, uint8_t valid = 0xff,
              const char* valueFormat = "f")
        : index(std::move(indexes)), values(std::move(floats)), validity{valid} {
        indexBuffers[0] = nullptr;
        indexBuffers[1] = index.data();
        valueBuffers[0] = validity.data();
        valueBuffers[1] = values.data();
        auto length = static_cast<int64_t>(index.size());
        indexArray = {length, 0, 0, 2, 0, indexBuffers, nullptr, nullptr, nullptr, nullptr};
        valueArray = {length, valid == 0xff ? 0 : 1, 0, 2, 0, valueBuffers, nullptr, nullptr, nullptr, nullptr};
        children[0] = &indexArray;
        children[1] = &valueArray;
        batch = {length, 0, 0, 1, 2, nullptr, children, nullptr, nullptr, nullptr};
        indexSchema = {"L", "_index", nullptr, 0, 0, nullptr, nullptr, nullptr, nullptr};
        valueSchema = {valueFormat, "v", nullptr, 0, 0, nullptr, nullptr, nullptr, nullptr};
        schemaChildren[0] = &indexSchema;
        schemaChildren[1] = &valueSchema;
        schema = {"+s", "", nullptr, 0, 2, schemaChildren, nullptr, nullptr, nullptr};
    }

    linePiece piece(const std::string& name) const {
        linePiece p;
        p.schema = &schema;
        p.array = &batch;
        p.start = "{\"name\":\"" + name + "\"";
        p.keys = {"", ",\"v\":"};
        p.written = {false, true};
        p.end = "}\n";
        return p;
    }
};

TEST(LineWriter, InterleavesPiecesByIndex) {
    handBatch a({0, 3, 4}, {0.5f, NAN, 2.0f}, 0b101);
    handBatch b({1, 2, 5}, {0.1f, 1e-5f, 1e16f});
    std::string out;
    writeLines({a.piece("A"), b.piece("B")}, lineFormat::json, out);
    EXPECT_EQ(out,
              "{\"name\":\"A\",\"v\":0.5}\n"
              "{\"name\":\"B\",\"v\":0.10000000149011612}\n"
              "{\"name\":\"B\",\"v\":9.999999747378752e-06}\n"
              "{\"name\":\"A\",\"v\":null}\n"
              "{\"name\":\"A\",\"v\":2.0}\n"
              "{\"name\":\"B\",\"v\":1.0000000272564224e+16}\n");
}

TEST(LineWriter, RefusesUnknownTypesBeforeWriting) {
    handBatch good({0}, {1.0f});
    handBatch odd({1}, {1.0f}, 0xff, "e");  // half floats
    std::string out = "kept";
    EXPECT_THROW(writeLines({good.piece("A"), odd.piece("B")}, lineFormat::json, out), std::invalid_argument);
    EXPECT_EQ(out, "kept");
}

TEST(LineWriter, CsvRowsLeaveMissingValuesEmpty) {
    handBatch a({0, 1}, {NAN, 2.5f}, 0b01);
    linePiece piece = a.piece("A");
    piece.start = "";
    piece.keys = {"", ""};
    piece.end = "\n";
    std::string out;
    writeLines({piece}, lineFormat::csv, out);
    EXPECT_EQ(out, "nan\n\n");
}
