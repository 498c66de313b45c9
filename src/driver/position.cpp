// Lines and columns of a script: the parser reports offsets into the UTF-8 text it read, which for
// a file in another encoding is the text it converted the file to. The file's bytes are walked in
// its own encoding, counting how many UTF-8 bytes each character became.
#include "driver.h"

#include <algorithm>
#include <fstream>
#include <numeric>

namespace {

// Bytes of one code unit in each encoding the parser reports.
size_t UnitBytes(pugi::xml_encoding encoding) {
    switch (encoding) {
    case pugi::encoding_utf16_le:
    case pugi::encoding_utf16_be:
        return 2;
    case pugi::encoding_utf32_le:
    case pugi::encoding_utf32_be:
        return 4;
    default:
        return 1;
    }
}

// Reads one code unit at pBytes (UnitBytes long) in the byte order of the encoding.
unsigned long ReadUnit(const unsigned char* pBytes, pugi::xml_encoding encoding) {
    switch (encoding) {
    case pugi::encoding_utf16_le:
        return pBytes[0] | pBytes[1] << 8;
    case pugi::encoding_utf16_be:
        return pBytes[0] << 8 | pBytes[1];
    case pugi::encoding_utf32_le:
        return pBytes[0] | pBytes[1] << 8 | pBytes[2] << 16 | static_cast<unsigned long>(pBytes[3]) << 24;
    case pugi::encoding_utf32_be:
        return static_cast<unsigned long>(pBytes[0]) << 24 | pBytes[1] << 16 | pBytes[2] << 8 | pBytes[3];
    default:
        return pBytes[0];
    }
}

// The UTF-8 length of a character.
size_t Utf8Length(unsigned long character) {
    return character < 0x80 ? 1 : character < 0x800 ? 2 : character < 0x10000 ? 3 : 4;
}

// A walk through the bytes of a file, character by character.
struct TextCursor {
    size_t nByte = 0;      // next byte of the file
    ptrdiff_t nText = 0;   // offset in the parsed text of that character
    int nLine = 1;         //
    int nColumn = 1;       // in bytes of the parsed text
    bool bAfterCr = false; // the last character was a carriage return
};

// Moves the cursor over one character of the file; false at its end.
bool StepCharacter(std::string_view bytes, pugi::xml_encoding encoding, TextCursor& cursor) {
    const size_t nUnit = UnitBytes(encoding);
    if (cursor.nByte + nUnit > bytes.size()) return false;
    const unsigned char* pBytes = reinterpret_cast<const unsigned char*>(bytes.data()) + cursor.nByte;
    unsigned long character = ReadUnit(pBytes, encoding);
    size_t nUnits = 1;
    size_t nText = 1;
    if (encoding == pugi::encoding_utf8) {
        // The parser takes UTF-8 as it stands, byte for byte.
        nText = 1;
    } else if (nUnit == 2 && character >= 0xD800 && character < 0xE000) {
        // A surrogate pair becomes one four-byte character; a lone surrogate is dropped.
        bool bPair = character < 0xDC00 && cursor.nByte + 2 * nUnit <= bytes.size() &&
                     (ReadUnit(pBytes + nUnit, encoding) & 0xFC00) == 0xDC00;
        nUnits = bPair ? 2 : 1;
        nText = bPair ? 4 : 0;
    } else {
        nText = Utf8Length(character);
    }
    cursor.nByte += nUnits * nUnit;
    cursor.nText += static_cast<ptrdiff_t>(nText);
    // A line ends at a line feed, a carriage return and line feed, or a lone carriage return.
    if (character == '\n' && cursor.bAfterCr) {
        cursor.nColumn = 1;
    } else if (character == '\n' || character == '\r') {
        cursor.nLine++;
        cursor.nColumn = 1;
    } else {
        cursor.nColumn += static_cast<int>(nText);
    }
    cursor.bAfterCr = character == '\r';
    return true;
}

// The bytes of the byte order mark at the file's beginning; 0 when there is none.
size_t ByteOrderMarkBytes(std::string_view bytes, pugi::xml_encoding encoding) {
    const unsigned long BYTE_ORDER_MARK = 0xFEFF;
    const std::string_view txtUtf8Mark = "\xEF\xBB\xBF";
    if (encoding == pugi::encoding_utf8) {
        return bytes.substr(0, txtUtf8Mark.size()) == txtUtf8Mark ? txtUtf8Mark.size() : 0;
    }
    const size_t nUnit = UnitBytes(encoding);
    if (nUnit == 1 || bytes.size() < nUnit) return 0;
    return ReadUnit(reinterpret_cast<const unsigned char*>(bytes.data()), encoding) == BYTE_ORDER_MARK ? nUnit
                                                                                                       : 0;
}

} // namespace

size_t KxbBytesToReach(pugi::xml_encoding encoding, ptrdiff_t nOffset) {
    // Every code unit gives at least one byte of parsed text (but a lone surrogate, which is left
    // out); one more character covers the character at the offset.
    return (static_cast<size_t>(std::max<ptrdiff_t>(nOffset, 0)) + 2) * UnitBytes(encoding);
}

std::vector<KxbPosition> KxbPositionsAt(std::string_view bytes, pugi::xml_encoding encoding,
                                        const std::vector<ptrdiff_t>& offsets) {
    std::vector<KxbPosition> positions(offsets.size());
    std::vector<size_t> order(offsets.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return offsets[a] < offsets[b]; });
    TextCursor cursor;
    // A byte order mark is part of the parsed text (three bytes in UTF-8) but not of the first line.
    const size_t UTF8_MARK_BYTES = 3;
    cursor.nByte = ByteOrderMarkBytes(bytes, encoding);
    cursor.nText = cursor.nByte > 0 ? UTF8_MARK_BYTES : 0;
    TextCursor next;
    for (size_t i : order) {
        if (offsets[i] < 0) continue;
        // Up to the character that holds the offset; an offset past the end stays at the end.
        bool bInside = false;
        next = cursor;
        while (StepCharacter(bytes, encoding, next)) {
            if (next.nText > offsets[i]) {
                bInside = true;
                break;
            }
            cursor = next;
        }
        positions[i].nLine = cursor.nLine;
        positions[i].nColumn =
            cursor.nColumn +
            (bInside ? static_cast<int>(std::max<ptrdiff_t>(offsets[i] - cursor.nText, 0)) : 0);
    }
    return positions;
}

KxbPosition KxbPositionAt(std::string_view bytes, pugi::xml_encoding encoding, ptrdiff_t nOffset) {
    return KxbPositionsAt(bytes, encoding, {nOffset}).front();
}

std::vector<KxbPosition> KxbPlaceOffsets(const std::string& filename, pugi::xml_encoding encoding,
                                         const std::vector<ptrdiff_t>& offsets) {
    ptrdiff_t nLast = -1;
    for (ptrdiff_t nOffset : offsets) nLast = std::max(nLast, nOffset);
    if (nLast < 0) return std::vector<KxbPosition>(offsets.size());
    // The file is read again only as far as the last place asked for, and only when one is.
    std::ifstream in(filename, std::ios::binary);
    if (!in) return {};
    std::string sBytes(KxbBytesToReach(encoding, nLast), '\0');
    in.read(&sBytes[0], static_cast<std::streamsize>(sBytes.size()));
    sBytes.resize(static_cast<size_t>(in.gcount()));
    return KxbPositionsAt(sBytes, encoding, offsets);
}

std::string KxbPlaceText(const std::string& filename, const KxbPosition& position) {
    if (position.nLine == 0) return filename;
    return filename + ":" + std::to_string(position.nLine) + ":" + std::to_string(position.nColumn);
}
