#include "driver.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The bytes of a text in UTF-16 or UTF-32, with a byte order mark, in either byte order.
std::string Encoded(const std::u32string& text, int nUnitBytes, bool bBigEndian) {
    std::u32string units;
    for (char32_t c : U"\uFEFF" + text) {
        if (nUnitBytes == 2 && c >= 0x10000) {
            units += static_cast<char32_t>(0xD800 + ((c - 0x10000) >> 10));
            units += static_cast<char32_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            units += c;
        }
    }
    std::string bytes;
    for (char32_t unit : units) {
        for (int i = 0; i < nUnitBytes; i++) {
            int nShift = 8 * (bBigEndian ? nUnitBytes - 1 - i : i);
            bytes += static_cast<char>((unit >> nShift) & 0xFF);
        }
    }
    return bytes;
}

// The place of element B, from the offset the parser gives it, must be where an editor shows it.
TEST(KxbPositionAt, PlacesAnElementWhereItStandsInEveryEncodingAndLineEnd) {
    const struct {
        const char* what;
        std::string bytes;
        int nLine;
        int nColumn;
    } cases[] = {
        {"line feeds", "<R>\n<A/>\n  <B/></R>", 3, 4},
        {"carriage return and line feed", "<R>\r\n<A/>\r\n  <B/></R>", 3, 4},
        {"lone carriage returns", "<R>\r<A/>\r  <B/></R>", 3, 4},
        {"UTF-8 byte order mark", "\xEF\xBB\xBF<R><B/></R>", 1, 5},
        {"UTF-8 two-byte character: columns count bytes", "<R>\n\xC3\xA9<B/></R>", 2, 4},
        {"Latin-1 is counted as the UTF-8 it becomes",
         "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<R>\xE9\xE9<B/></R>", 2, 9},
        {"UTF-16 little-endian", Encoded(U"<R>\r\n\u00E9<B/></R>", 2, false), 2, 4},
        {"UTF-16 big-endian", Encoded(U"<R>\n\n  <B/></R>", 2, true), 3, 4},
        {"UTF-16 surrogate pair is four bytes", Encoded(U"<R>\U0001F600<B/></R>", 2, false), 1, 9},
        {"UTF-16 private-use U+E000 just past the surrogates is three bytes",
         Encoded(U"<R><!--\uE000-->\n<B/></R>", 2, false), 2, 2},
        {"UTF-32 little-endian", Encoded(U"<R>\n\u20AC<B/></R>", 4, false), 2, 5},
        {"UTF-32 big-endian", Encoded(U"<R>\n<A/><B/></R>", 4, true), 2, 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        pugi::xml_document doc;
        pugi::xml_parse_result parsed =
            doc.load_buffer(c.bytes.data(), c.bytes.size(), pugi::parse_default, pugi::encoding_auto);
        ASSERT_TRUE(parsed) << parsed.description();
        pugi::xml_node b = doc.first_child().child("B");
        ASSERT_TRUE(b);
        KxbPosition position = KxbPositionAt(c.bytes, parsed.encoding, b.offset_debug());
        EXPECT_EQ(position.nLine, c.nLine);
        EXPECT_EQ(position.nColumn, c.nColumn);
        // Only the bytes up to the element are needed to place it.
        std::string sPrefix = c.bytes.substr(0, KxbBytesToReach(parsed.encoding, b.offset_debug()));
        KxbPosition fromPrefix = KxbPositionAt(sPrefix, parsed.encoding, b.offset_debug());
        EXPECT_EQ(fromPrefix.nLine, c.nLine);
        EXPECT_EQ(fromPrefix.nColumn, c.nColumn);
    }
}

TEST(KxbPositionAt, PlacesWhereTheParserStoppedAndNeverPastTheText) {
    const std::string bytes = "<R>\r\n<A>\r\n</R>";
    pugi::xml_document doc;
    pugi::xml_parse_result parsed = doc.load_buffer(bytes.data(), bytes.size());
    ASSERT_FALSE(parsed);
    KxbPosition position = KxbPositionAt(bytes, parsed.encoding, parsed.offset);
    EXPECT_EQ(position.nLine, 3);
    EXPECT_EQ(position.nColumn, 3);
    // A parser that stops at the first byte of a line stops on that line, not at the end of the last.
    const std::string lineStart = "<R/>\n<";
    parsed = doc.load_buffer(lineStart.data(), lineStart.size());
    ASSERT_EQ(parsed.offset, 5);
    position = KxbPositionAt(lineStart, parsed.encoding, parsed.offset);
    EXPECT_EQ(position.nLine, 2);
    EXPECT_EQ(position.nColumn, 1);
    // An offset beyond the text stays at its end.
    std::vector<KxbPosition> positions = KxbPositionsAt(bytes, pugi::encoding_utf8, {1000, -1, 1});
    EXPECT_EQ(positions[0].nLine, 3);
    EXPECT_EQ(positions[0].nColumn, 5);
    EXPECT_EQ(positions[1].nLine, 0);
    EXPECT_EQ(positions[2].nColumn, 2);
}

} // namespace
