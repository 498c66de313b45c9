// The trace: one line per call into the library, written as a recording writes its call lines.
#include "virtual_keyboard.h"

namespace kavelvk {

bool Tracer::Open(const std::string& path) {
    file.reset(std::fopen(path.c_str(), "a"));
    return file != nullptr;
}

void Tracer::Enumerate(long long t, int count) {
    if (!file) return;
    line.clear();
    RecordingAppendEnumerate(&line, t, count);
    Write();
}

void Tracer::OpenDevice(long long t, int keyboard, int status) {
    if (!file) return;
    line.clear();
    RecordingAppendKeyboardCall(&line, CALL_OPEN, t, keyboard, status);
    Write();
}

void Tracer::EnumerateModules(long long t, int keyboard, int status) {
    if (!file) return;
    line.clear();
    RecordingAppendKeyboardCall(&line, CALL_ENUMERATE_MODULES, t, keyboard, status);
    Write();
}

void Tracer::SendCommand(long long t, int keyboard, std::uint8_t cmd, std::uint8_t dst,
                         const std::uint8_t* data, std::size_t dataLen, int status, bool bAnswerAsked,
                         const std::uint8_t* answer, std::size_t answerLen) {
    if (!file) return;
    line.clear();
    RecordingAppendSendCommand(&line, t, keyboard, cmd, dst, data, dataLen, status, bAnswerAsked, answer,
                               answerLen);
    Write();
}

void Tracer::Write() {
    // Flushed per line so that a trace read while the program runs, or after it crashed, is whole.
    std::fwrite(line.data(), 1, line.size(), file.get());
    std::fflush(file.get());
}

} // namespace kavelvk
