// Reading a recording back: the lines the recorder writes, and the trace's lines, which a
// recording's call lines are. Strict, so that a damaged recording is refused at the line that is
// wrong rather than read as something else.
#include "hidlink.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// A cursor over one line.
struct LineReader {
    const char* p;
    const char* pEnd;
};

bool Literal(LineReader& line, const char* txtWord) {
    size_t nLength = std::strlen(txtWord);
    if (static_cast<size_t>(line.pEnd - line.p) < nLength || std::memcmp(line.p, txtWord, nLength) != 0)
        return false;
    line.p += nLength;
    return true;
}

bool AtEnd(const LineReader& line) {
    return line.p == line.pEnd;
}

// A decimal number as the recorder writes it: an optional minus, digits, no leading zero but 0.
bool Decimal(LineReader& line, long long lMin, long long lMax, long long* lValue) {
    const char* pStart = line.p;
    bool bNegative = line.p < line.pEnd && *line.p == '-';
    if (bNegative) line.p++;
    const char* pDigits = line.p;
    unsigned long long lMagnitude = 0;
    while (line.p < line.pEnd && *line.p >= '0' && *line.p <= '9') {
        if (lMagnitude > (ULLONG_MAX - 9) / 10) return false;
        lMagnitude = lMagnitude * 10 + static_cast<unsigned>(*line.p - '0');
        line.p++;
    }
    size_t nDigits = static_cast<size_t>(line.p - pDigits);
    if (nDigits == 0 || (nDigits > 1 && *pDigits == '0') || (bNegative && lMagnitude == 0)) {
        line.p = pStart;
        return false;
    }
    if (lMagnitude > static_cast<unsigned long long>(LLONG_MAX)) return false;
    long long lRead = bNegative ? -static_cast<long long>(lMagnitude) : static_cast<long long>(lMagnitude);
    if (lRead < lMin || lRead > lMax) return false;
    *lValue = lRead;
    return true;
}

int HexDigit(char c, bool bUpper) {
    if (c >= '0' && c <= '9') return c - '0';
    if (bUpper && c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (!bUpper && c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Two uppercase hex digits.
bool Byte(LineReader& line, unsigned char* byte) {
    if (line.pEnd - line.p < 2) return false;
    int nHigh = HexDigit(line.p[0], true);
    int nLow = HexDigit(line.p[1], true);
    if (nHigh < 0 || nLow < 0) return false;
    *byte = static_cast<unsigned char>(nHigh << 4 | nLow);
    line.p += 2;
    return true;
}

// "[AA 55 01]".
bool Bytes(LineReader& line, std::vector<unsigned char>* pBytes) {
    pBytes->clear();
    if (!Literal(line, "[")) return false;
    if (Literal(line, "]")) return true;
    for (;;) {
        unsigned char byte = 0;
        if (!Byte(line, &byte)) return false;
        pBytes->push_back(byte);
        if (Literal(line, "]")) return true;
        if (!Literal(line, " ")) return false;
    }
}

// " -> S": lowercase hex without leading zeros, up to 32 bits.
bool Status(LineReader& line, int* nStatus) {
    if (!Literal(line, " -> ")) return false;
    const char* pDigits = line.p;
    unsigned long long lValue = 0;
    while (line.p < line.pEnd && HexDigit(*line.p, false) >= 0) {
        lValue = lValue << 4 | static_cast<unsigned>(HexDigit(*line.p, false));
        line.p++;
        if (line.p - pDigits > 8) return false;
    }
    size_t nDigits = static_cast<size_t>(line.p - pDigits);
    if (nDigits == 0 || (nDigits > 1 && *pDigits == '0')) return false;
    *nStatus = static_cast<int>(static_cast<unsigned int>(lValue));
    return true;
}

// "kbI ".
bool Keyboard(LineReader& line, int* nKeyboard) {
    long long lIndex = 0;
    if (!Literal(line, "kb") || line.p == line.pEnd || *line.p == '-' || !Decimal(line, 0, INT_MAX, &lIndex))
        return false;
    *nKeyboard = static_cast<int>(lIndex);
    return Literal(line, " ");
}

// Reads one call line after its time; false when it is none.
bool CallLine(LineReader& line, RecordedCall* call) {
    long long lValue = 0;
    if (Literal(line, "LibraryVersion ")) {
        call->nKind = CALL_LIBRARY_VERSION;
        for (int i = 0; i < 3; i++) {
            if ((i > 0 && !Literal(line, ".")) || !Decimal(line, INT_MIN, INT_MAX, &lValue)) return false;
            call->arVersion[i] = static_cast<int>(lValue);
        }
        return Status(line, &call->nStatus);
    }
    if (Literal(line, "Enumerate count=")) {
        call->nKind = CALL_ENUMERATE;
        if (!Decimal(line, INT_MIN, INT_MAX, &lValue)) return false;
        call->nCount = static_cast<int>(lValue);
        return true;
    }
    if (Literal(line, "Release")) {
        call->nKind = CALL_RELEASE;
        return true;
    }
    if (!Keyboard(line, &call->nKeyboard)) return false;
    if (Literal(line, "Open")) {
        call->nKind = CALL_OPEN;
        return Status(line, &call->nStatus);
    }
    if (Literal(line, "EnumerateModules")) {
        call->nKind = CALL_ENUMERATE_MODULES;
        return Status(line, &call->nStatus);
    }
    if (Literal(line, "Close")) {
        call->nKind = CALL_CLOSE;
        return Status(line, &call->nStatus);
    }
    if (Literal(line, "Answer capacity=")) {
        call->nKind = CALL_ANSWER;
        if (!Decimal(line, INT_MIN, INT_MAX, &lValue)) return false;
        call->nCapacity = static_cast<int>(lValue);
        if (!Literal(line, " reported=")) return true;
        if (!Decimal(line, INT_MIN, INT_MAX, &lValue)) return false;
        call->bReported = true;
        call->nReported = static_cast<int>(lValue);
        return true;
    }
    call->nKind = CALL_SEND_COMMAND;
    if (!Literal(line, "SendCommand cmd=") || !Byte(line, &call->cmd) || !Literal(line, " dst=") ||
        !Byte(line, &call->dst) || !Literal(line, " data=") || !Bytes(line, &call->pData) ||
        !Status(line, &call->nStatus)) {
        return false;
    }
    if (AtEnd(line)) return true;
    call->bAnswerAsked = true;
    return Literal(line, " answer=") && Bytes(line, &call->pAnswer);
}

} // namespace

int ReadRecording(const std::string& sText, std::vector<RecordedCall>* calls, std::string* sError) {
    calls->clear();
    const RecordedCall* answer = nullptr;
    RecordedCall pendingAnswer;
    int nLine = 0;
    for (size_t nBegin = 0; nBegin < sText.size();) {
        size_t nEnd = sText.find('\n', nBegin);
        // A last line without its line feed is what a run killed while writing leaves: it is not read.
        if (nEnd == std::string::npos) break;
        nLine++;
        LineReader line{sText.data() + nBegin, sText.data() + nEnd};
        nBegin = nEnd + 1;
        if (line.p < line.pEnd && *line.p == '#') continue;
        RecordedCall call;
        call.nLine = nLine;
        long long lTime = 0;
        if (!Decimal(line, 0, LLONG_MAX, &lTime) || !Literal(line, " ") || !CallLine(line, &call) ||
            !AtEnd(line)) {
            *sError = "line " + std::to_string(nLine) + ": not a call of the recording";
            return nLine;
        }
        call.lTime = lTime;
        if (answer != nullptr &&
            (call.nKind != CALL_SEND_COMMAND || call.nKeyboard != answer->nKeyboard || !call.bAnswerAsked)) {
            // An Answer line belongs to the call right after it.
            *sError = "line " + std::to_string(answer->nLine) +
                      ": an Answer line that no SendCommand of its keyboard asking for an answer follows";
            return answer->nLine;
        }
        if (call.nKind == CALL_ANSWER) {
            pendingAnswer = call;
            answer = &pendingAnswer;
            continue;
        }
        if (answer != nullptr) {
            call.bCapacity = true;
            call.nCapacity = answer->nCapacity;
            call.bReported = answer->bReported;
            call.nReported = answer->nReported;
            answer = nullptr;
        }
        calls->push_back(call);
    }
    // An Answer line at the end belongs to a call that a killed run did not finish writing.
    return 0;
}
