// The hex byte list, the notation of every data field of the writer elements, and the memory
// writes that carry such lists.
#include "writers.h"

#include "driver.h"
#include "hidlink.h"

#include <array>

namespace {

// The value of every character as a hexadecimal digit, -1 for a character that is not one.
constexpr std::array<signed char, 256> MakeHexDigitValues() {
    std::array<signed char, 256> values{};
    for (int c = 0; c < 256; ++c) {
        values[c] = c >= '0' && c <= '9'   ? static_cast<signed char>(c - '0')
                    : c >= 'A' && c <= 'F' ? static_cast<signed char>(c - 'A' + 10)
                    : c >= 'a' && c <= 'f' ? static_cast<signed char>(c - 'a' + 10)
                                           : -1;
    }
    return values;
}

constexpr std::array<signed char, 256> HEX_DIGIT_VALUES = MakeHexDigitValues();

} // namespace

int HexByteListAppend(std::string_view text, std::vector<unsigned char>& arData) {
    // The list is the text without white space at either end, read where it stands.
    // The text is read in place, never copied: data blocks can be megabytes long.
    const size_t nFirst = text.find_first_not_of(WHITESPACE);
    const size_t nLength =
        nFirst == std::string_view::npos ? 0 : text.find_last_not_of(WHITESPACE) + 1 - nFirst;
    const char* pList = text.data() + (nLength == 0 ? 0 : nFirst);
    const size_t nBytes = (nLength + 1) / 3;
    const size_t nBefore = arData.size();
    arData.resize(nBefore + nBytes);
    unsigned char* pOut = arData.data() + nBefore;
    // Each byte sits on a grid of three characters: two digits, then a separator that is never
    // looked at; characters after the last whole pair are ignored.
    for (size_t i = 0; i < nBytes; ++i) {
        const char c0 = pList[3 * i];
        const char c1 = pList[3 * i + 1];
        const int nHigh = HEX_DIGIT_VALUES[static_cast<unsigned char>(c0)];
        const int nLow = HEX_DIGIT_VALUES[static_cast<unsigned char>(c1)];
        // Two plain digits, nearly every field of a real script, are read directly: the number
        // parser would give the same value.
        if ((nHigh | nLow) >= 0) {
            pOut[i] = static_cast<unsigned char>(nHigh << 4 | nLow);
            continue;
        }
        // Anything else (a sign, a blank before a digit, a lone digit) is left to the number
        // parser, which decides what counts.
        const char field[3] = {c0, c1, 0};
        long lValue = StrHexToLong(field);
        if (lValue == NOT_DEFINED) {
            arData.resize(nBefore);
            return 1;
        }
        // Any other value counts: a field such as -2 gives its low byte, 0xFE.
        pOut[i] = static_cast<unsigned char>(lValue & 0xFF);
    }
    return 0;
}

int MemoryMessageData(long lAddress, std::string_view text, std::vector<unsigned char>& arData) {
    // The list's size is known from its length, so the buffer is allocated once.
    MemoryMessageAddress(lAddress, arData, (text.size() + 1) / 3);
    return HexByteListAppend(text, arData);
}
