// Reading a recording, or a plain trace, back. Strict: a number, a byte list or a status that the
// writer would have written otherwise is refused at its line, so that a damaged recording is never
// read as something else. What mail and editors do to a text file (CR line ends, a byte-order
// mark, blanks at line ends, blank lines at the end) is read as if it were not there.
#include "recording.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const txtUtf8Mark = "\xEF\xBB\xBF";
const char* const txtNewerHeader = "# kavelhid recording ";
const int RECORDING_VERSION = 1;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

std::string Quote(std::string_view text) {
    return RecordingQuote(text, 40);
}

// A decimal number as the writer writes it: an optional minus (only where lMin is negative), then
// digits without a leading zero but "0" itself, and no "-0". 1: malformed, 2: out of range.
int ParseDecimal(std::string_view text, long long lMin, long long lMax, long long* lValue) {
    bool bNegative = !text.empty() && text[0] == '-';
    std::string_view digits = bNegative ? text.substr(1) : text;
    if (digits.empty() || (bNegative && lMin >= 0)) return 1;
    if (digits[0] == '0' && (digits.size() > 1 || bNegative)) return 1;
    if (!std::all_of(digits.begin(), digits.end(), IsDigit)) return 1;
    // Beyond 19 digits no long long fits; below that the magnitude cannot overflow 64 bits.
    if (digits.size() > 19) return 2;
    unsigned long long lMagnitude = 0;
    for (char c : digits) lMagnitude = lMagnitude * 10 + static_cast<unsigned>(c - '0');
    const unsigned long long lLimit =
        bNegative ? 0 - static_cast<unsigned long long>(lMin) : static_cast<unsigned long long>(lMax);
    if (lMagnitude > lLimit) return 2;
    *lValue = bNegative ? static_cast<long long>(0 - lMagnitude) : static_cast<long long>(lMagnitude);
    return 0;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A byte list exactly as the writer writes it: two uppercase hex digits a byte, single blanks.
bool ParseBytes(std::string_view text, std::vector<unsigned char>* pBytes) {
    pBytes->clear();
    for (std::size_t i = 0; i < text.size(); i += 3) {
        if (text.size() - i < 2 || (text.size() - i > 2 && text[i + 2] != ' ')) return false;
        int nHigh = HexValue(text[i]);
        int nLow = HexValue(text[i + 1]);
        if (nHigh < 0 || nLow < 0) return false;
        pBytes->push_back(static_cast<unsigned char>(nHigh << 4 | nLow));
        if (i + 3 == text.size()) return false; // a blank at the end
    }
    return true;
}

// The blank-separated fields of one line, read in order. Each check names what it expected, so
// that the first fault of the line makes its message.
struct LineCursor {
    std::string_view rest;
    bool bFirst = true;
    std::string* sError = nullptr;
    std::string sPrefix; // the call's name, once known
};

bool Fail(LineCursor& line, const std::string& sWhat) {
    *line.sError = line.sPrefix + sWhat;
    return false;
}

// The next field, up to the next blank; false at the end of the line.
bool Next(LineCursor& line, std::string_view* field) {
    if (!line.bFirst) {
        if (line.rest.empty()) return false;
        line.rest.remove_prefix(1);
    }
    line.bFirst = false;
    *field = line.rest.substr(0, line.rest.find(' '));
    line.rest.remove_prefix(field->size());
    return true;
}

bool Field(LineCursor& line, const char* txtWhat, std::string_view* field) {
    return Next(line, field) ||
           Fail(line, std::string("expected ") + txtWhat + ", found the end of the line");
}

// The next field, which must begin with txtName; *value is what follows it.
bool Named(LineCursor& line, const char* txtName, std::string_view* value) {
    std::string_view field;
    if (!Field(line, txtName, &field)) return false;
    if (field.substr(0, std::strlen(txtName)) != txtName)
        return Fail(line, std::string("expected ") + txtName + ", found " + Quote(field));
    *value = field.substr(std::strlen(txtName));
    return true;
}

bool Word(LineCursor& line, const char* txtWord) {
    std::string_view value;
    if (!Named(line, txtWord, &value)) return false;
    return value.empty() || Fail(line, std::string("expected ") + txtWord + ", found " +
                                           Quote(std::string(txtWord) + std::string(value)));
}

// name=[...]: the bytes hold blanks, so the field runs to the first ']'.
bool Bytes(LineCursor& line, const char* txtName, std::vector<unsigned char>* pBytes) {
    std::string sOpen = std::string(txtName) + "=[";
    if (line.rest.empty()) return Fail(line, "expected " + sOpen + ", found the end of the line");
    std::string_view after = line.rest.substr(1);
    if (after.substr(0, sOpen.size()) != sOpen) {
        std::string_view field;
        Next(line, &field);
        return Fail(line, "expected " + sOpen + ", found " + Quote(field));
    }
    std::size_t nClose = after.find(']');
    if (nClose == std::string_view::npos || (nClose + 1 < after.size() && after[nClose + 1] != ' '))
        return Fail(line, std::string(txtName) + " does not end with ] before a blank or the line's end");
    std::string_view list = after.substr(sOpen.size(), nClose - sOpen.size());
    line.rest = after.substr(nClose + 1);
    line.bFirst = false;
    if (ParseBytes(list, pBytes)) return true;
    return Fail(line, std::string(txtName) + " is not a byte list in uppercase hex: " + Quote(list));
}

bool Decimal(LineCursor& line, std::string_view text, const char* txtWhat, long long lMin, long long lMax,
             long long* lValue) {
    int nParsed = ParseDecimal(text, lMin, lMax, lValue);
    if (nParsed == 0) return true;
    if (nParsed == 2) return Fail(line, std::string(txtWhat) + " is out of range: " + Quote(text));
    return Fail(line,
                std::string(txtWhat) + " is not a decimal number as the trace writes it: " + Quote(text));
}

bool Int(LineCursor& line, std::string_view text, const char* txtWhat, int* nValue) {
    long long lValue = 0;
    if (!Decimal(line, text, txtWhat, INT_MIN, INT_MAX, &lValue)) return false;
    *nValue = static_cast<int>(lValue);
    return true;
}

// "-> S": S in lowercase hex without leading zeros, negatives as their 32-bit pattern.
bool ArrowStatus(LineCursor& line, int* nStatus) {
    std::string_view text;
    if (!Word(line, "->") || !Field(line, "a status", &text)) return false;
    bool bHex = !text.empty() && std::all_of(text.begin(), text.end(),
                                             [](char c) { return IsDigit(c) || (c >= 'a' && c <= 'f'); });
    bool bLeadingZero = text.size() > 1 && text[0] == '0';
    if (!bHex || bLeadingZero)
        return Fail(line, "the status is not lowercase hex without leading zeros: " + Quote(text));
    if (text.size() > 8) return Fail(line, "the status is out of range: " + Quote(text));
    unsigned int nValue = 0;
    for (char c : text) nValue = nValue << 4 | static_cast<unsigned>(IsDigit(c) ? c - '0' : c - 'a' + 10);
    *nStatus = static_cast<int>(nValue);
    return true;
}

// cmd=CC or dst=DD: one byte in two uppercase hex digits.
bool Byte(LineCursor& line, const char* txtName, unsigned char* byte) {
    std::string_view text;
    if (!Named(line, txtName, &text)) return false;
    std::vector<unsigned char> pBytes;
    if (!ParseBytes(text, &pBytes) || pBytes.size() != 1)
        return Fail(line, std::string(txtName, std::strlen(txtName) - 1) +
                              " is not two uppercase hex digits: " + Quote(text));
    *byte = pBytes[0];
    return true;
}

bool Version(LineCursor& line, int arVersion[3]) {
    std::string_view text;
    if (!Field(line, "a version", &text)) return false;
    std::string_view parts = text;
    for (int i = 0; i < 3; ++i) {
        std::size_t nDot = i < 2 ? parts.find('.') : parts.size();
        if (nDot == std::string_view::npos)
            return Fail(line, "the version is not three decimal numbers a.b.c: " + Quote(text));
        if (!Int(line, parts.substr(0, nDot), "a part of the version", &arVersion[i])) return false;
        parts.remove_prefix(std::min(parts.size(), nDot + 1));
    }
    return true;
}

bool End(LineCursor& line) {
    return line.rest.empty() || Fail(line, "unexpected text after the call: " + Quote(line.rest));
}

// A count or a keyboard index beyond what a station holds would make a replay or a twin run for hours.
bool Station(LineCursor& line, long long lValue, long long lMax, std::string_view text, const char* txtWhat) {
    if (lValue <= lMax) return true;
    return Fail(line, std::string(txtWhat) + " is beyond the " + std::to_string(RECORDING_KEYBOARDS_MAX) +
                          " keyboards a station holds: " + Quote(text));
}

const char* CallName(int nKind) {
    switch (nKind) {
    case CALL_OPEN:
        return "Open";
    case CALL_ENUMERATE_MODULES:
        return "EnumerateModules";
    case CALL_CLOSE:
        return "Close";
    default:
        return "SendCommand";
    }
}

// Reads a line of a keyboard's call (after "T kbI ") into *call; *bAnswer tells an Answer line.
bool KeyboardLine(LineCursor& line, std::string_view name, RecordedCall* call, bool* bAnswer) {
    std::string_view what;
    if (!Next(line, &what)) return false;
    if (what == "Open" || what == "EnumerateModules" || what == "Close" || what == "SendCommand") {
        call->nKind = what == "Open"               ? CALL_OPEN
                      : what == "EnumerateModules" ? CALL_ENUMERATE_MODULES
                      : what == "Close"            ? CALL_CLOSE
                                                   : CALL_SEND_COMMAND;
        line.sPrefix = std::string(CallName(call->nKind)) + ": ";
    } else if (what == "Answer") {
        *bAnswer = true;
        line.sPrefix = "Answer: ";
    } else {
        return false;
    }
    long long lKeyboard = 0;
    std::string_view index = name.substr(2);
    if (!Decimal(line, index, "the keyboard index", 0, INT_MAX, &lKeyboard) ||
        !Station(line, lKeyboard, RECORDING_KEYBOARDS_MAX - 1, index, "the keyboard index"))
        return false;
    call->nKeyboard = static_cast<int>(lKeyboard);
    std::string_view text;
    if (*bAnswer) {
        if (!Named(line, "capacity=", &text) || !Int(line, text, "capacity", &call->nCapacity)) return false;
        call->bCapacity = true;
        if (!line.rest.empty()) {
            if (!Named(line, "reported=", &text) || !Int(line, text, "reported", &call->nReported))
                return false;
            call->bReported = true;
        }
        return End(line);
    }
    if (call->nKind != CALL_SEND_COMMAND) return ArrowStatus(line, &call->nStatus) && End(line);
    if (!Byte(line, "cmd=", &call->cmd) || !Byte(line, "dst=", &call->dst) ||
        !Bytes(line, "data", &call->pData) || !ArrowStatus(line, &call->nStatus))
        return false;
    call->bAnswerAsked = !line.rest.empty();
    if (call->bAnswerAsked && !Bytes(line, "answer", &call->pAnswer)) return false;
    return End(line);
}

// Reads one line that is not a comment into *call; *bAnswer tells an Answer line, whose capacity
// and reported length go into *call too.
bool CallLine(std::string_view text, RecordedCall* call, bool* bAnswer, std::string* sError) {
    LineCursor line{text, true, sError, ""};
    *bAnswer = false;
    std::string_view field;
    Next(line, &field);
    std::string_view name;
    bool bCall = !field.empty() && IsDigit(field[0]) && Next(line, &name);
    if (bCall && !Decimal(line, field, "the time", 0, LLONG_MAX, &call->lTime)) return false;
    if (bCall && name == "Enumerate") {
        call->nKind = CALL_ENUMERATE;
        line.sPrefix = "Enumerate: ";
        long long lCount = 0;
        if (!Named(line, "count=", &field) || !Decimal(line, field, "count", INT_MIN, INT_MAX, &lCount) ||
            !Station(line, lCount, RECORDING_KEYBOARDS_MAX, field, "count"))
            return false;
        call->nCount = static_cast<int>(lCount);
        return End(line);
    }
    if (bCall && name == "LibraryVersion") {
        call->nKind = CALL_LIBRARY_VERSION;
        line.sPrefix = "LibraryVersion: ";
        return Version(line, call->arVersion) && ArrowStatus(line, &call->nStatus) && End(line);
    }
    if (bCall && name == "Release") {
        call->nKind = CALL_RELEASE;
        line.sPrefix = "Release: ";
        return End(line);
    }
    if (bCall && name.substr(0, 2) == "kb") {
        if (KeyboardLine(line, name, call, bAnswer)) return true;
        // A known call whose fields are wrong has said what is wrong; an unknown one has not.
        if (!sError->empty()) return false;
    }
    return Fail(line, "not a call line, a comment or an Answer line: " + Quote(text));
}

std::string AtLine(std::size_t nLine, const std::string& sWhat) {
    return "line " + std::to_string(nLine) + ": " + sWhat;
}

std::string NotFollowed(const RecordedCall& answer) {
    return AtLine(answer.nLine, "the Answer line is not followed by a SendCommand line of kb" +
                                    std::to_string(answer.nKeyboard) + " that asks for an answer");
}

// An Answer line and the SendCommand line after it must tell the same story: the answer shown is
// what the capacity and the reported length let through.
bool JoinAnswer(const RecordedCall& answer, RecordedCall* call, std::string* sError) {
    if (call->nKind != CALL_SEND_COMMAND || call->nKeyboard != answer.nKeyboard || !call->bAnswerAsked) {
        *sError = NotFollowed(answer);
        return false;
    }
    int nShown = static_cast<int>(call->pAnswer.size());
    int nDelivered = RecordingDelivered(answer.nCapacity, answer.bReported ? answer.nReported : nShown);
    if (nDelivered != nShown) {
        std::string sWhy = "capacity=" + std::to_string(answer.nCapacity);
        if (answer.bReported) sWhy += " and reported=" + std::to_string(answer.nReported);
        *sError = AtLine(answer.nLine, "the answer on the next line holds " + std::to_string(nShown) +
                                           " bytes, not the " + std::to_string(nDelivered) + " that " + sWhy +
                                           " deliver");
        return false;
    }
    call->bCapacity = true;
    call->nCapacity = answer.nCapacity;
    call->bReported = answer.bReported;
    call->nReported = answer.nReported;
    return true;
}

bool StartsWith(std::string_view text, std::string_view start) {
    return text.substr(0, start.size()) == start;
}

// The first line decides: the header makes a recording, a call line a plain trace.
bool FirstLine(std::string_view line, Recording* recording, std::string* sError) {
    if (line == txtRecordingHeader) {
        recording->bHeader = true;
        return true;
    }
    long long lVersion = 0;
    int nParsed = StartsWith(line, txtNewerHeader)
                      ? ParseDecimal(line.substr(std::strlen(txtNewerHeader)), 0, LLONG_MAX, &lVersion)
                      : 1;
    if (nParsed == 2 || (nParsed == 0 && lVersion > RECORDING_VERSION)) {
        *sError = AtLine(1, "a newer recording format, version " +
                                std::string(line.substr(std::strlen(txtNewerHeader))) +
                                ": this program reads version " + std::to_string(RECORDING_VERSION));
        return false;
    }
    if (!line.empty() && IsDigit(line[0])) return true;
    *sError = AtLine(1, std::string("expected the header \"") + txtRecordingHeader +
                            "\" or a call line, found " + Quote(line));
    return false;
}

int Refuse(Recording* recording, std::string* sError, const std::string& sWhat, std::size_t nLine) {
    *sError = sWhat;
    recording->calls.clear();
    return static_cast<int>(std::min<std::size_t>(nLine, INT_MAX));
}

// Where the reader stands between two lines.
struct ReadState {
    RecordedCall answer; // the Answer line that waits for its SendCommand line
    bool bAnswerPending = false;
    std::size_t nBlank = 0; // the first of the blank lines since the last line that was not blank
};

// Reads the whole line nNumber, at nStart in the recording's text and nLength long without its
// line end; returns 0, or the number of the line at fault with *sError saying what is wrong.
std::size_t TakeLine(std::size_t nStart, std::size_t nLength, std::size_t nNumber, ReadState* state,
                     Recording* recording, std::string* sError) {
    std::string_view line(recording->sText.data() + nStart, nLength);
    if (state->nBlank != 0) {
        *sError = AtLine(state->nBlank, "not a call line, a comment or an Answer line: \"\"");
        return state->nBlank;
    }
    recording->nLastWholeLine = nNumber;
    if (nNumber == 1 && !FirstLine(line, recording, sError)) return 1;
    bool bComment = line[0] == '#';
    if (bComment && state->bAnswerPending) {
        *sError = NotFollowed(state->answer);
        return state->answer.nLine;
    }
    if (bComment) {
        if (StartsWith(line, txtRecordingProgram) && recording->sProgram.empty())
            recording->sProgram = line.substr(std::strlen(txtRecordingProgram));
        if (StartsWith(line, "# ended") || StartsWith(line, "# stopped")) recording->bEnded = true;
        return 0;
    }
    RecordedCall call;
    bool bAnswer = false;
    std::string sWhat;
    if (!CallLine(line, &call, &bAnswer, &sWhat)) {
        *sError = AtLine(nNumber, sWhat);
        return nNumber;
    }
    call.nLine = nNumber;
    if (state->bAnswerPending) {
        if (bAnswer) *sError = NotFollowed(state->answer);
        if (bAnswer || !JoinAnswer(state->answer, &call, sError)) return state->answer.nLine;
        state->bAnswerPending = false;
    }
    // An end line counts only after the last call.
    recording->bEnded = false;
    if (bAnswer) {
        state->answer = std::move(call);
        state->bAnswerPending = true;
        recording->bExtended = true;
        return 0;
    }
    if (call.nKind == CALL_LIBRARY_VERSION || call.nKind == CALL_CLOSE || call.nKind == CALL_RELEASE)
        recording->bExtended = true;
    call.nTextBegin = nStart;
    call.nTextLength = nLength;
    recording->calls.push_back(std::move(call));
    return 0;
}

} // namespace

int RecordingRead(std::string sText, Recording* recording, std::string* sError) {
    *recording = Recording();
    recording->sText = std::move(sText);
    const std::string& text = recording->sText;
    std::size_t nBegin = StartsWith(text, txtUtf8Mark) ? std::strlen(txtUtf8Mark) : 0;
    const std::string sExpected =
        std::string("expected the header \"") + txtRecordingHeader + "\" or a call line, found ";
    if (nBegin == text.size())
        return Refuse(recording, sError, AtLine(1, sExpected + "the end of the file"), 1);
    ReadState state;
    for (std::size_t nNumber = 1; nBegin < text.size(); ++nNumber) {
        std::size_t nEnd = text.find('\n', nBegin);
        bool bWhole = nEnd != std::string::npos;
        if (!bWhole) nEnd = text.size();
        std::size_t nLength = nEnd - nBegin;
        // Blanks and CRs at the end of a line are what editors and mail add or keep.
        while (nLength > 0 && std::strchr(" \t\r", text[nBegin + nLength - 1]) != nullptr) --nLength;
        std::size_t nStart = nBegin;
        nBegin = bWhole ? nEnd + 1 : nEnd;
        if (nLength == 0) {
            if (state.nBlank == 0) state.nBlank = nNumber;
            continue;
        }
        // A last line without its line feed is what a run stopped in mid-write leaves: not read.
        if (!bWhole) {
            recording->bCut = true;
            break;
        }
        std::size_t nFault = TakeLine(nStart, nLength, nNumber, &state, recording, sError);
        if (nFault != 0) return Refuse(recording, sError, *sError, nFault);
    }
    // An Answer line whose call was cut off goes with it; at the true end it lacks its call.
    if (state.bAnswerPending && !recording->bCut)
        return Refuse(recording, sError, NotFollowed(state.answer), state.answer.nLine);
    if (recording->nLastWholeLine == 0)
        return Refuse(recording, sError,
                      AtLine(1, sExpected + (recording->bCut ? "a line cut off" : "no line")), 1);
    return 0;
}

int RecordingLoadFile(const std::string& path, Recording* recording, std::string* sError) {
    *recording = Recording();
    // A folder opens for reading on some systems; only its reads fail. Refuse it by name first.
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        *sError = std::string("cannot read the recording: ") + std::strerror(EISDIR);
        return -1;
    }
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *sError = std::string("cannot open the recording: ") + std::strerror(errno);
        return -1;
    }
    std::string sText;
    std::vector<char> arBuffer(1 << 16);
    for (;;) {
        ssize_t nRead = read(fd, arBuffer.data(), arBuffer.size());
        if (nRead < 0 && errno == EINTR) continue;
        if (nRead < 0) {
            int nError = errno;
            close(fd);
            *sError = std::string("cannot read the recording: ") + std::strerror(nError);
            return -1;
        }
        if (nRead == 0) break;
        sText.append(arBuffer.data(), static_cast<std::size_t>(nRead));
    }
    close(fd);
    if (sText.empty()) {
        *sError = "the recording is empty";
        return -1;
    }
    return RecordingRead(std::move(sText), recording, sError) == 0 ? 0 : -1;
}

std::string_view RecordingLine(const Recording& recording, const RecordedCall& call) {
    return std::string_view(recording.sText).substr(call.nTextBegin, call.nTextLength);
}

std::string RecordingIncompleteText(const Recording& recording) {
    std::string sLast = "line " + std::to_string(recording.nLastWholeLine);
    if (recording.bCut) return "the recording is cut off after its last whole line, " + sLast;
    if (recording.bHeader && !recording.bEnded)
        return "the recording has no line saying how its run ended; its last whole line is " + sLast;
    return "";
}

std::string RecordingProgramName(const Recording& recording) {
    // "kavelwrite 0.0.4", "kxb 0.0.4 verify": the name, then the verb after the version.
    std::string_view program = recording.sProgram;
    std::string_view name = program.substr(0, program.find(' '));
    std::size_t nVersionEnd = program.find(' ', name.size() + 1);
    if (name.size() == program.size() || nVersionEnd == std::string_view::npos) return std::string(name);
    std::string_view verb = program.substr(nVersionEnd + 1);
    return std::string(name) + " " + std::string(verb.substr(0, verb.find(' ')));
}

std::string RecordingQuote(std::string_view text, std::size_t nMax) {
    static const char HEX[] = "0123456789ABCDEF";
    std::string sQuoted = "\"";
    for (char c : text.substr(0, nMax)) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            sQuoted += "\\x";
            sQuoted += HEX[u >> 4];
            sQuoted += HEX[u & 0x0F];
        } else {
            sQuoted += c;
        }
    }
    if (text.size() > nMax) sQuoted += "...";
    return sQuoted + "\"";
}

int RecordingDelivered(int nCapacity, int nReported) {
    return std::max(0, std::min(nReported, nCapacity));
}
