// The replay: a recording of an earlier run, read once per process, answers the program's calls
// one by one in recorded order, as long as each call is the one the recording holds next.
#include "virtual_keyboard.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace kavelvk {

namespace {

// A piece of a line quoted in a message: at most 40 characters, on one line.
std::string Quote(std::string_view text) {
    std::string sText(text.substr(0, 40));
    if (text.size() > 40) sText += "...";
    return "\"" + OneLine(sText) + "\"";
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

enum class Parsed { Ok, Malformed, OutOfRange };

// A decimal number as the trace writes it: an optional minus (only where lMin is negative), then
// digits without a leading zero but "0" itself, and no "-0".
Parsed ParseDecimal(std::string_view text, long long lMin, long long lMax, long long* value) {
    bool bNegative = !text.empty() && text[0] == '-';
    std::string_view digits = bNegative ? text.substr(1) : text;
    if (digits.empty() || (bNegative && lMin >= 0)) return Parsed::Malformed;
    if (digits[0] == '0' && (digits.size() > 1 || bNegative)) return Parsed::Malformed;
    if (!std::all_of(digits.begin(), digits.end(), IsDigit)) return Parsed::Malformed;
    // Beyond 19 digits no long long fits; below that the magnitude cannot overflow 64 bits.
    if (digits.size() > 19) return Parsed::OutOfRange;
    unsigned long long nMagnitude = 0;
    for (char c : digits) nMagnitude = nMagnitude * 10 + static_cast<unsigned>(c - '0');
    const unsigned long long nLimit =
        bNegative ? 0 - static_cast<unsigned long long>(lMin) : static_cast<unsigned long long>(lMax);
    if (nMagnitude > nLimit) return Parsed::OutOfRange;
    *value = bNegative ? static_cast<long long>(0 - nMagnitude) : static_cast<long long>(nMagnitude);
    return Parsed::Ok;
}

// A byte list exactly as the trace writes it: what the library's parser reads and the trace
// writes back the same, so lowercase digits and stray blanks are refused.
bool ParseTraceBytes(std::string_view text, std::vector<std::uint8_t>* bytes) {
    if (!ParseByteList(std::string(text).c_str(), bytes)) return false;
    std::string sWritten;
    AppendByteList(&sWritten, bytes->data(), bytes->size());
    return sWritten == text;
}

const char* CallName(CallKind kind) {
    switch (kind) {
    case CallKind::LibraryVersion:
        return "LibraryVersion";
    case CallKind::Enumerate:
        return "Enumerate";
    case CallKind::Open:
        return "Open";
    case CallKind::EnumerateModules:
        return "EnumerateModules";
    case CallKind::SendCommand:
        return "SendCommand";
    case CallKind::Close:
        return "Close";
    case CallKind::Release:
        break;
    }
    return "Release";
}

// Reads the blank-separated fields of one line in order. Each check names what it expected, so
// that the first fault of the line makes its message.
class LineReader {
public:
    LineReader(std::string_view line, std::string* error) : rest(line), error(error) {}

    bool Fail(const std::string& what) {
        *error = prefix + what;
        return false;
    }
    // Messages about the fields after the call's name begin with it.
    void Call(const char* name) { prefix = std::string(name) + ": "; }
    bool AtEnd() const { return rest.empty(); }

    // The next field, up to the next blank; false at the end of the line.
    bool Next(std::string_view* field) {
        if (!bFirst) {
            if (rest.empty()) return false;
            rest.remove_prefix(1);
        }
        bFirst = false;
        *field = rest.substr(0, rest.find(' '));
        rest.remove_prefix(field->size());
        return true;
    }

    // The next field, which the line must have.
    bool Field(const char* what, std::string_view* field) {
        return Next(field) || Fail(std::string("expected ") + what + ", found the end of the line");
    }

    // The next field, which must begin with name; *value is what follows it.
    bool Named(const char* name, std::string_view* value) {
        std::string_view field;
        if (!Field(name, &field)) return false;
        if (field.substr(0, std::strlen(name)) != name) {
            return Fail(std::string("expected ") + name + ", found " + Quote(field));
        }
        *value = field.substr(std::strlen(name));
        return true;
    }

    bool Word(const char* word) {
        std::string_view value;
        if (!Named(word, &value)) return false;
        return value.empty() ||
               Fail(std::string("expected ") + word + ", found " + Quote(word + std::string(value)));
    }

    // name=[...]: bytes may hold blanks, so the field runs to the first ']'.
    bool Bytes(const char* name, std::vector<std::uint8_t>* bytes) {
        std::string sOpen = std::string(name) + "=[";
        std::string_view field;
        if (rest.empty()) return Fail("expected " + sOpen + ", found the end of the line");
        std::string_view after = rest.substr(1);
        if (after.substr(0, sOpen.size()) != sOpen) {
            Next(&field);
            return Fail("expected " + sOpen + ", found " + Quote(field));
        }
        std::size_t nClose = after.find(']');
        if (nClose == std::string_view::npos || (nClose + 1 < after.size() && after[nClose + 1] != ' ')) {
            return Fail(std::string(name) + " does not end with ] before a blank or the line's end");
        }
        std::string_view list = after.substr(sOpen.size(), nClose - sOpen.size());
        rest = after.substr(nClose + 1);
        bFirst = false;
        if (ParseTraceBytes(list, bytes)) return true;
        return Fail(std::string(name) + " is not a byte list in uppercase hex: " + Quote(list));
    }

    bool Decimal(std::string_view text, const char* what, long long lMin, long long lMax, long long* value) {
        switch (ParseDecimal(text, lMin, lMax, value)) {
        case Parsed::Ok:
            return true;
        case Parsed::OutOfRange:
            return Fail(std::string(what) + " is out of range: " + Quote(text));
        case Parsed::Malformed:
            break;
        }
        return Fail(std::string(what) + " is not a decimal number as the trace writes it: " + Quote(text));
    }

    bool Int(std::string_view text, const char* what, int* value) {
        long long lValue = 0;
        if (!Decimal(text, what, INT_MIN, INT_MAX, &lValue)) return false;
        *value = static_cast<int>(lValue);
        return true;
    }

    // "-> S": S in lowercase hex without leading zeros, negatives as their 32-bit pattern.
    bool ArrowStatus(int* status) {
        std::string_view text;
        if (!Word("->") || !Field("a status", &text)) return false;
        bool bHex = !text.empty() && std::all_of(text.begin(), text.end(),
                                                 [](char c) { return IsDigit(c) || (c >= 'a' && c <= 'f'); });
        bool bLeadingZero = text.size() > 1 && text[0] == '0';
        if (bHex && !bLeadingZero && text.size() > 8)
            return Fail("the status is out of range: " + Quote(text));
        if (bHex && !bLeadingZero && ParseStatus(std::string(text).c_str(), status)) return true;
        return Fail("the status is not lowercase hex without leading zeros: " + Quote(text));
    }

    // cmd=CC or dst=DD: one byte in two uppercase hex digits.
    bool Byte(const char* name, std::uint8_t* value) {
        std::string_view text;
        if (!Named(name, &text)) return false;
        std::vector<std::uint8_t> bytes;
        if (!ParseTraceBytes(text, &bytes) || bytes.size() != 1) {
            std::string sField(name, std::strlen(name) - 1);
            return Fail(sField + " is not two uppercase hex digits: " + Quote(text));
        }
        *value = bytes[0];
        return true;
    }

    bool Version(int version[3]) {
        std::string_view text;
        if (!Field("a version", &text)) return false;
        std::string_view parts = text;
        for (int i = 0; i < 3; ++i) {
            std::size_t nDot = i < 2 ? parts.find('.') : parts.size();
            if (nDot == std::string_view::npos) {
                return Fail("the version is not three decimal numbers a.b.c: " + Quote(text));
            }
            if (!Int(parts.substr(0, nDot), "a part of the version", &version[i])) return false;
            parts.remove_prefix(std::min(parts.size(), nDot + 1));
        }
        return true;
    }

    bool End() {
        if (rest.empty()) return true;
        return Fail("unexpected text after the call: " + Quote(rest));
    }

private:
    std::string_view rest;
    bool bFirst = true;
    std::string* error;
    std::string prefix;
};

// Reads one line that is not a comment into *call; *bAnswer tells an Answer line, whose capacity
// and reported length go into *call too.
bool ParseLine(std::string_view line, RecordedCall* call, bool* bAnswer, std::string* error) {
    LineReader reader(line, error);
    auto NotACall = [&]() {
        return reader.Fail("not a call line, a comment or an Answer line: " + Quote(line));
    };
    std::string_view field;
    reader.Next(&field);
    std::string_view name;
    if (field.empty() || !IsDigit(field[0]) || !reader.Next(&name)) return NotACall();
    if (!reader.Decimal(field, "the time", 0, LLONG_MAX, &call->t)) return false;
    *bAnswer = false;
    if (name == "Enumerate") {
        call->kind = CallKind::Enumerate;
        reader.Call("Enumerate");
        std::string_view text;
        return reader.Named("count=", &text) && reader.Int(text, "count", &call->count) && reader.End();
    }
    if (name == "LibraryVersion") {
        call->kind = CallKind::LibraryVersion;
        reader.Call("LibraryVersion");
        return reader.Version(call->version) && reader.ArrowStatus(&call->status) && reader.End();
    }
    if (name == "Release") {
        call->kind = CallKind::Release;
        reader.Call("Release");
        return reader.End();
    }
    std::string_view what;
    if (name.substr(0, 2) != "kb" || !reader.Next(&what)) return NotACall();
    long long lKeyboard = 0;
    if (what == "Open" || what == "EnumerateModules" || what == "Close" || what == "SendCommand") {
        call->kind = what == "Open"               ? CallKind::Open
                     : what == "EnumerateModules" ? CallKind::EnumerateModules
                     : what == "Close"            ? CallKind::Close
                                                  : CallKind::SendCommand;
        reader.Call(CallName(call->kind));
    } else if (what == "Answer") {
        *bAnswer = true;
        reader.Call("Answer");
    } else {
        return NotACall();
    }
    if (!reader.Decimal(name.substr(2), "the keyboard index", 0, INT_MAX, &lKeyboard)) return false;
    call->keyboard = static_cast<int>(lKeyboard);
    std::string_view text;
    if (*bAnswer) {
        if (!reader.Named("capacity=", &text) || !reader.Int(text, "capacity", &call->capacity)) return false;
        call->bHasCapacity = true;
        if (!reader.AtEnd()) {
            if (!reader.Named("reported=", &text) || !reader.Int(text, "reported", &call->reported))
                return false;
            call->bHasReported = true;
        }
        return reader.End();
    }
    if (call->kind != CallKind::SendCommand) return reader.ArrowStatus(&call->status) && reader.End();
    if (!reader.Byte("cmd=", &call->cmd) || !reader.Byte("dst=", &call->dst) ||
        !reader.Bytes("data", &call->data) || !reader.ArrowStatus(&call->status)) {
        return false;
    }
    call->bAnswerAsked = !reader.AtEnd();
    if (call->bAnswerAsked && !reader.Bytes("answer", &call->answer)) return false;
    return reader.End();
}

std::string AtLine(std::size_t number, const std::string& what) {
    return "line " + std::to_string(number) + ": " + what;
}

std::string NotFollowed(const RecordedCall& answer, std::size_t answerLine) {
    return AtLine(answerLine, "the Answer line is not followed by a SendCommand line of kb" +
                                  std::to_string(answer.keyboard) + " that asks for an answer");
}

// An Answer line and the SendCommand line after it must tell the same story: the answer shown is
// what the capacity and the reported length let through.
bool JoinAnswer(const RecordedCall& answer, std::size_t answerLine, RecordedCall* call, std::string* error) {
    if (call->kind != CallKind::SendCommand || call->keyboard != answer.keyboard || !call->bAnswerAsked) {
        *error = NotFollowed(answer, answerLine);
        return false;
    }
    long long lReported = answer.bHasReported ? answer.reported : static_cast<long long>(call->answer.size());
    long long lDelivered = std::min(std::max(lReported, 0LL), std::max<long long>(answer.capacity, 0));
    if (lDelivered != static_cast<long long>(call->answer.size())) {
        std::string sWhy = "capacity=" + std::to_string(answer.capacity);
        if (answer.bHasReported) sWhy += " and reported=" + std::to_string(answer.reported);
        *error = AtLine(answerLine, "the answer on the next line holds " +
                                        std::to_string(call->answer.size()) + " bytes, not the " +
                                        std::to_string(lDelivered) + " that " + sWhy + " deliver");
        return false;
    }
    call->bHasCapacity = true;
    call->capacity = answer.capacity;
    call->bHasReported = answer.bHasReported;
    call->reported = answer.reported;
    return true;
}

void Say(std::FILE* messages, const std::string& line) {
    if (messages == nullptr) return;
    std::fwrite(line.data(), 1, line.size(), messages);
    std::fflush(messages);
}

bool Agrees(const RecordedCall& recorded, const ProgramCall& call) {
    if (recorded.kind != call.kind) return false;
    switch (call.kind) {
    case CallKind::Open:
    case CallKind::EnumerateModules:
    case CallKind::Close:
        return recorded.keyboard == call.keyboard;
    case CallKind::SendCommand:
        return recorded.keyboard == call.keyboard && recorded.cmd == call.cmd && recorded.dst == call.dst &&
               recorded.bAnswerAsked == call.bAnswerAsked && recorded.data.size() == call.dataLen &&
               (call.dataLen == 0 || std::memcmp(recorded.data.data(), call.data, call.dataLen) == 0);
    default:
        return true;
    }
}

// The program's call as the trace writes it, with what a call that differs gets.
std::string LineOf(const ProgramCall& call, long long t) {
    std::string sLine;
    switch (call.kind) {
    case CallKind::LibraryVersion:
        FormatLibraryVersionLine(&sLine, t, DEFAULT_LIBRARY_VERSION, STATUS_REPLAY_DIFFERS);
        break;
    case CallKind::Enumerate:
        FormatEnumerateLine(&sLine, t, -1);
        break;
    case CallKind::Open:
        FormatOpenLine(&sLine, t, call.keyboard, STATUS_REPLAY_DIFFERS);
        break;
    case CallKind::EnumerateModules:
        FormatEnumerateModulesLine(&sLine, t, call.keyboard, STATUS_REPLAY_DIFFERS);
        break;
    case CallKind::SendCommand:
        FormatSendCommandLine(&sLine, t, call.keyboard, call.cmd, call.dst, call.data, call.dataLen,
                              STATUS_REPLAY_DIFFERS, call.bAnswerAsked, nullptr, 0);
        break;
    case CallKind::Close:
        FormatCloseLine(&sLine, t, call.keyboard, STATUS_REPLAY_DIFFERS);
        break;
    case CallKind::Release:
        FormatReleaseLine(&sLine, t);
        break;
    }
    sLine.pop_back();
    return sLine;
}

} // namespace

bool Recording::LoadFile(const std::string& path, std::string* error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *error = std::string("cannot open the recording: ") + std::strerror(errno);
        return false;
    }
    std::string sText;
    char arBuffer[1 << 16];
    std::size_t nRead = 0;
    while ((nRead = std::fread(arBuffer, 1, sizeof arBuffer, file)) > 0) sText.append(arBuffer, nRead);
    int nError = std::ferror(file) ? errno : 0;
    std::fclose(file);
    if (nError != 0) {
        *error = std::string("cannot read the recording: ") + std::strerror(nError);
        return false;
    }
    return LoadText(std::move(sText), error);
}

bool Recording::LoadText(std::string textIn, std::string* error) {
    text = std::move(textIn);
    calls.clear();
    bExtended = false;
    RecordedCall answer;
    std::size_t nAnswerLine = 0;
    std::size_t nLine = 0;
    std::size_t nBegin = 0;
    // A last line without its line feed is what a run stopped in mid-write leaves: it is ignored.
    for (std::size_t nEnd; (nEnd = text.find('\n', nBegin)) != std::string::npos; nBegin = nEnd + 1) {
        ++nLine;
        std::string_view line(text.data() + nBegin, nEnd - nBegin);
        RecordedCall call;
        bool bAnswer = false;
        bool bComment = !line.empty() && line[0] == '#';
        if (bComment && nAnswerLine == 0) continue;
        std::string sWhat;
        if (!bComment && !ParseLine(line, &call, &bAnswer, &sWhat)) {
            *error = AtLine(nLine, sWhat);
            calls.clear();
            return false;
        }
        if (nAnswerLine != 0) {
            if (bComment || bAnswer) *error = NotFollowed(answer, nAnswerLine);
            if (bComment || bAnswer || !JoinAnswer(answer, nAnswerLine, &call, error)) {
                calls.clear();
                return false;
            }
            nAnswerLine = 0;
        }
        if (bAnswer) {
            answer = std::move(call);
            nAnswerLine = nLine;
            bExtended = true;
            continue;
        }
        if (call.kind == CallKind::LibraryVersion || call.kind == CallKind::Close ||
            call.kind == CallKind::Release)
            bExtended = true;
        call.textBegin = nBegin;
        call.textLength = line.size();
        call.lineNumber = nLine;
        calls.push_back(std::move(call));
    }
    // An Answer line whose call was cut off goes with it; at the true end it lacks its call.
    if (nAnswerLine != 0 && nBegin == text.size()) {
        *error = NotFollowed(answer, nAnswerLine);
        calls.clear();
        return false;
    }
    return true;
}

std::string_view Recording::Line(const RecordedCall& call) const {
    return std::string_view(text).substr(call.textBegin, call.textLength);
}

Replay::Replay(std::unique_ptr<Recording> recording, std::FILE* messages)
    : recording(std::move(recording)), messages(messages) {}

Replay::~Replay() {
    std::size_t nCalls = recording->calls.size();
    if (bDiverged || next >= nCalls) return;
    Say(messages, "kavelhid replay: the run ended before the recording: " + std::to_string(nCalls - next) +
                      " of its " + std::to_string(nCalls) + " calls were not made\n");
}

bool Replay::Replays(CallKind kind) const {
    if (recording->bExtended) return true;
    return kind != CallKind::LibraryVersion && kind != CallKind::Close && kind != CallKind::Release;
}

const RecordedCall* Replay::Take(const ProgramCall& call, long long t) {
    if (bDiverged) return nullptr;
    const std::vector<RecordedCall>& calls = recording->calls;
    if (next < calls.size() && Agrees(calls[next], call)) return &calls[next++];
    // Everything after the first difference fails too, but only the first one is told.
    bDiverged = true;
    if (messages == nullptr) return nullptr;
    std::string sLine = "kavelhid replay: call " + std::to_string(next + 1) + " differs: recorded ";
    if (next < calls.size()) {
        sLine += recording->Line(calls[next]);
    } else {
        sLine += "the end of the recording";
    }
    sLine += ", got " + LineOf(call, t) + "\n";
    Say(messages, sLine);
    return nullptr;
}

void Replay::EnumeratorMade(std::chrono::steady_clock::time_point madeAt) {
    bHasOrigin = true;
    origin = madeAt;
}

long long Replay::TimeOutsideEnumerator() const {
    return bHasOrigin ? ElapsedMs(&origin) : 0;
}

ReplayKeyboard::ReplayKeyboard(Replay* replay, int index, Tracer* tracer,
                               const std::chrono::steady_clock::time_point* origin)
    : replay(replay), index(index), tracer(tracer), origin(origin) {}

int ReplayKeyboard::StatusCall(CallKind kind, long long t) {
    ProgramCall call;
    call.kind = kind;
    call.keyboard = index;
    const RecordedCall* recorded = replay->Take(call, t);
    return recorded != nullptr ? recorded->status : STATUS_REPLAY_DIFFERS;
}

int ReplayKeyboard::Open() {
    long long nT = ElapsedMs(origin);
    int nStatus = StatusCall(CallKind::Open, nT);
    if (tracer != nullptr) tracer->OpenDevice(nT, index, nStatus);
    return nStatus;
}

int ReplayKeyboard::Close() {
    // A plain trace does not show Close: it succeeds, as a virtual keyboard's does.
    if (!replay->Replays(CallKind::Close)) return STATUS_OK;
    return StatusCall(CallKind::Close, ElapsedMs(origin));
}

int ReplayKeyboard::EnumerateModules() {
    long long nT = ElapsedMs(origin);
    int nStatus = StatusCall(CallKind::EnumerateModules, nT);
    if (tracer != nullptr) tracer->EnumerateModules(nT, index, nStatus);
    return nStatus;
}

int ReplayKeyboard::SendCommand(unsigned char cmd, unsigned char dst, unsigned char* data, int dataLen,
                                unsigned char* response, int* responseLen) {
    // The same reading of the arguments as a virtual keyboard's, so that a trace replays.
    ProgramCall call;
    call.kind = CallKind::SendCommand;
    call.keyboard = index;
    call.cmd = cmd;
    call.dst = dst;
    call.dataLen = data != nullptr && dataLen > 0 ? static_cast<std::size_t>(dataLen) : 0;
    call.data = call.dataLen > 0 ? data : nullptr;
    call.bAnswerAsked = response != nullptr && responseLen != nullptr;
    long long nT = ElapsedMs(origin);
    const RecordedCall* recorded = replay->Take(call, nT);
    int nStatus = recorded != nullptr ? recorded->status : STATUS_REPLAY_DIFFERS;

    std::size_t nCopied = 0;
    if (call.bAnswerAsked) {
        std::size_t nCapacity = *responseLen > 0 ? static_cast<std::size_t>(*responseLen) : 0;
        if (recorded != nullptr) nCopied = std::min(nCapacity, recorded->answer.size());
        if (nCopied > 0) std::memcpy(response, recorded->answer.data(), nCopied);
        // The length the library stored back travels as recorded, even when it is not what fits.
        *responseLen =
            recorded != nullptr && recorded->bHasReported ? recorded->reported : static_cast<int>(nCopied);
    }
    if (tracer != nullptr) {
        tracer->SendCommand(nT, index, cmd, dst, call.data, call.dataLen, nStatus, call.bAnswerAsked,
                            response, nCopied);
    }
    return nStatus;
}

} // namespace kavelvk
