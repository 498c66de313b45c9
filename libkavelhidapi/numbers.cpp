// Numbers and byte lists of the simulation file and the trace.
#include "model.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>

namespace kavelvk {

namespace {

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

const char txtUpperDigits[] = "0123456789ABCDEF";
const char txtLowerDigits[] = "0123456789abcdef";

} // namespace

bool ParseHexNumber(const char* text, long* value) {
    if (text == nullptr || *text == '\0') return false;
    char* pEnd = nullptr;
    errno = 0;
    long lValue = std::strtol(text, &pEnd, 16);
    // Unlike a script's numbers, -1 is a valid value here (a status or a count).
    if (errno != 0 || pEnd == text || *pEnd != '\0') return false;
    *value = lValue;
    return true;
}

bool ParseStatus(const char* text, int* status) {
    long lValue = 0;
    if (!ParseHexNumber(text, &lValue)) return false;
    if (lValue >= INT32_MIN && lValue <= INT32_MAX) {
        *status = static_cast<int>(lValue);
        return true;
    }
    // A status written as the 32-bit pattern the annotations show (FFFFFFFF is -1).
    if (lValue > INT32_MAX && lValue <= static_cast<long>(UINT32_MAX)) {
        *status = static_cast<int>(static_cast<std::int32_t>(static_cast<std::uint32_t>(lValue)));
        return true;
    }
    return false;
}

bool ParseByteList(const char* text, std::vector<std::uint8_t>* bytes) {
    bytes->clear();
    if (text == nullptr || *text == '\0') return true;
    for (const char* p = text;; p += 3) {
        int nHigh = HexDigitValue(p[0]);
        if (nHigh < 0) return false;
        int nLow = HexDigitValue(p[1]);
        if (nLow < 0) return false;
        bytes->push_back(static_cast<std::uint8_t>(nHigh * 16 + nLow));
        if (p[2] == '\0') return true;
        if (p[2] != ' ') return false;
    }
}

bool ParseLibraryVersion(const char* text, int version[3]) {
    const char* p = text;
    for (int i = 0; i < 3; ++i) {
        if (*p < '0' || *p > '9') return false;
        long lPart = 0;
        while (*p >= '0' && *p <= '9') {
            lPart = lPart * 10 + (*p - '0');
            if (lPart > INT_MAX) return false;
            ++p;
        }
        version[i] = static_cast<int>(lPart);
        if (i < 2 && *p++ != '.') return false;
    }
    return *p == '\0';
}

void AppendByteList(std::string* out, const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) out->push_back(' ');
        out->push_back(txtUpperDigits[bytes[i] >> 4]);
        out->push_back(txtUpperDigits[bytes[i] & 0x0F]);
    }
}

namespace {

void AppendHex(std::string* out, unsigned long value, const char* digits) {
    char arDigits[2 * sizeof(unsigned long)];
    int nDigits = 0;
    do {
        arDigits[nDigits++] = digits[value & 0x0F];
        value >>= 4;
    } while (value != 0);
    while (nDigits > 0) out->push_back(arDigits[--nDigits]);
}

} // namespace

void AppendStatus(std::string* out, int status) {
    AppendHex(out, static_cast<std::uint32_t>(status), txtLowerDigits);
}

void AppendUpperHex(std::string* out, unsigned long value) {
    AppendHex(out, value, txtUpperDigits);
}

std::string OneLine(const std::string& text) {
    std::string sLine;
    sLine.reserve(text.size());
    for (char c : text) {
        auto uc = static_cast<unsigned char>(c);
        if (uc < 0x20 || uc == 0x7F) {
            sLine += "\\x";
            sLine.push_back(txtUpperDigits[uc >> 4]);
            sLine.push_back(txtUpperDigits[uc & 0x0F]);
        } else {
            sLine.push_back(c);
        }
    }
    return sLine;
}

} // namespace kavelvk
