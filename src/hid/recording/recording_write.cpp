// Writing recording lines: the trace's call lines and the lines only a recording has. Numbers as
// run annotations show them: statuses in lowercase hex without leading zeros (a negative one as its
// 32-bit pattern), bytes as two uppercase hex digits with single blanks between them.
#include "recording.h"

namespace {

const char HEX_UPPER[] = "0123456789ABCDEF";
const char HEX_LOWER[] = "0123456789abcdef";

void AppendByte(std::string* sOut, unsigned char byte) {
    *sOut += HEX_UPPER[byte >> 4];
    *sOut += HEX_UPPER[byte & 0x0F];
}

// "[AA 55 01]".
void AppendBytes(std::string* sOut, const unsigned char* pBytes, std::size_t nBytes) {
    *sOut += '[';
    for (std::size_t i = 0; i < nBytes; i++) {
        if (i > 0) *sOut += ' ';
        AppendByte(sOut, pBytes[i]);
    }
    *sOut += ']';
}

// " -> S".
void AppendStatus(std::string* sOut, int nStatus) {
    unsigned int nValue = static_cast<unsigned int>(nStatus);
    char arDigits[8];
    int nDigits = 0;
    do {
        arDigits[nDigits++] = HEX_LOWER[nValue & 0x0F];
        nValue >>= 4;
    } while (nValue != 0);
    *sOut += " -> ";
    while (nDigits > 0) *sOut += arDigits[--nDigits];
}

// "T kbI ".
void AppendKeyboard(std::string* sOut, long long lTime, int nKeyboard) {
    *sOut += std::to_string(lTime);
    *sOut += " kb";
    *sOut += std::to_string(nKeyboard);
    *sOut += ' ';
}

} // namespace

void RecordingAppendHeader(std::string* sOut, const std::string& sProgram, const std::string& sArguments,
                           const std::string& sStarted) {
    *sOut += txtRecordingHeader;
    *sOut += '\n';
    *sOut +=
        txtRecordingProgram + sProgram + "\n# arguments:" + sArguments + "\n# started: " + sStarted + "\n";
}

void RecordingAppendEnd(std::string* sOut, int nExitStatus, int nStopSignal) {
    *sOut += nStopSignal != 0 ? "# stopped by signal " + std::to_string(nStopSignal) + ": exit status "
                              : std::string("# ended: exit status ");
    *sOut += std::to_string(nExitStatus) + "\n";
}

void RecordingAppendLibraryVersion(std::string* sOut, long long lTime, const int arVersion[3], int nStatus) {
    *sOut += std::to_string(lTime) + " LibraryVersion " + std::to_string(arVersion[0]) + "." +
             std::to_string(arVersion[1]) + "." + std::to_string(arVersion[2]);
    AppendStatus(sOut, nStatus);
    *sOut += '\n';
}

void RecordingAppendEnumerate(std::string* sOut, long long lTime, int nCount) {
    *sOut += std::to_string(lTime) + " Enumerate count=" + std::to_string(nCount) + "\n";
}

void RecordingAppendKeyboardCall(std::string* sOut, int nKind, long long lTime, int nKeyboard, int nStatus) {
    AppendKeyboard(sOut, lTime, nKeyboard);
    *sOut += nKind == CALL_OPEN ? "Open" : nKind == CALL_CLOSE ? "Close" : "EnumerateModules";
    AppendStatus(sOut, nStatus);
    *sOut += '\n';
}

void RecordingAppendAnswer(std::string* sOut, long long lTime, int nKeyboard, int nCapacity, int nReported) {
    AppendKeyboard(sOut, lTime, nKeyboard);
    *sOut += "Answer capacity=" + std::to_string(nCapacity);
    if (nReported != RecordingDelivered(nCapacity, nReported))
        *sOut += " reported=" + std::to_string(nReported);
    *sOut += '\n';
}

void RecordingAppendSendCommand(std::string* sOut, long long lTime, int nKeyboard, unsigned char cmd,
                                unsigned char dst, const unsigned char* pData, std::size_t nData, int nStatus,
                                bool bAnswerAsked, const unsigned char* pAnswer, std::size_t nAnswer) {
    AppendKeyboard(sOut, lTime, nKeyboard);
    *sOut += "SendCommand cmd=";
    AppendByte(sOut, cmd);
    *sOut += " dst=";
    AppendByte(sOut, dst);
    *sOut += " data=";
    AppendBytes(sOut, pData, pData != nullptr ? nData : 0);
    AppendStatus(sOut, nStatus);
    if (bAnswerAsked) {
        *sOut += " answer=";
        AppendBytes(sOut, pAnswer, pAnswer != nullptr ? nAnswer : 0);
    }
    *sOut += '\n';
}

void RecordingAppendRelease(std::string* sOut, long long lTime) {
    *sOut += std::to_string(lTime) + " Release\n";
}

void RecordingAppendCall(std::string* sOut, const RecordedCall& call) {
    switch (call.nKind) {
    case CALL_LIBRARY_VERSION:
        RecordingAppendLibraryVersion(sOut, call.lTime, call.arVersion, call.nStatus);
        break;
    case CALL_ENUMERATE:
        RecordingAppendEnumerate(sOut, call.lTime, call.nCount);
        break;
    case CALL_SEND_COMMAND:
        RecordingAppendSendCommand(sOut, call.lTime, call.nKeyboard, call.cmd, call.dst, call.pData.data(),
                                   call.pData.size(), call.nStatus, call.bAnswerAsked, call.pAnswer.data(),
                                   call.pAnswer.size());
        break;
    case CALL_RELEASE:
        RecordingAppendRelease(sOut, call.lTime);
        break;
    default:
        RecordingAppendKeyboardCall(sOut, call.nKind, call.lTime, call.nKeyboard, call.nStatus);
        break;
    }
}
