// The hex byte list, the notation of every data field of the writer elements, and the layout of
// the memory messages that carry such lists.
#include "writers.h"

#include "driver.h"

int HexByteListAppend(const std::string& text, std::vector<unsigned char>& arData) {
    const std::string sData = trim(text);
    const size_t nBytes = (sData.size() + 1) / 3;
    const size_t nBefore = arData.size();
    arData.reserve(nBefore + nBytes);
    // Each byte sits on a grid of three characters: two digits, then a separator that is never
    // looked at; characters after the last whole pair are ignored.
    char field[3] = {0, 0, 0};
    for (size_t i = 0; i < nBytes; ++i) {
        field[0] = sData[3 * i];
        field[1] = sData[3 * i + 1];
        long lValue = StrHexToLong(field);
        if (lValue == NOT_DEFINED) {
            arData.resize(nBefore);
            return 1;
        }
        // Any other value counts: a field such as -2 gives its low byte, 0xFE.
        arData.push_back(static_cast<unsigned char>(lValue & 0xFF));
    }
    return 0;
}

void MemoryMessageAddress(long lAddress, std::vector<unsigned char>& arData, size_t nMore) {
    // A memory address travels as its low 16 bits, low byte first; higher bits wrap away.
    const unsigned long ulAddress = static_cast<unsigned long>(lAddress);
    arData.clear();
    arData.reserve(2 + nMore);
    arData.push_back(static_cast<unsigned char>(ulAddress & 0xFF));
    arData.push_back(static_cast<unsigned char>((ulAddress >> 8) & 0xFF));
}

int MemoryMessageData(long lAddress, const std::string& text, std::vector<unsigned char>& arData) {
    // The list's size is known from its length, so the buffer is allocated once.
    MemoryMessageAddress(lAddress, arData, (text.size() + 1) / 3);
    return HexByteListAppend(text, arData);
}
