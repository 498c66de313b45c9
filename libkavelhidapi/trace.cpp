// The trace: one line per call into the library, and the lines only a recording holds.
#include "virtual_keyboard.h"

namespace kavelvk {

namespace {

void AppendHead(std::string* line, long long t, int keyboard, const char* call) {
    line->clear();
    *line += std::to_string(t);
    *line += " kb";
    *line += std::to_string(keyboard);
    *line += ' ';
    *line += call;
}

void AppendArrowStatus(std::string* line, int status) {
    *line += " -> ";
    AppendStatus(line, status);
}

} // namespace

void FormatEnumerateLine(std::string* line, long long t, int count) {
    line->clear();
    *line += std::to_string(t);
    *line += " Enumerate count=";
    *line += std::to_string(count);
    *line += '\n';
}

void FormatOpenLine(std::string* line, long long t, int keyboard, int status) {
    AppendHead(line, t, keyboard, "Open");
    AppendArrowStatus(line, status);
    *line += '\n';
}

void FormatEnumerateModulesLine(std::string* line, long long t, int keyboard, int status) {
    AppendHead(line, t, keyboard, "EnumerateModules");
    AppendArrowStatus(line, status);
    *line += '\n';
}

void FormatSendCommandLine(std::string* line, long long t, int keyboard, std::uint8_t cmd, std::uint8_t dst,
                           const std::uint8_t* data, std::size_t dataLen, int status, bool bAnswerAsked,
                           const std::uint8_t* answer, std::size_t answerLen) {
    AppendHead(line, t, keyboard, "SendCommand cmd=");
    AppendByteList(line, &cmd, 1);
    *line += " dst=";
    AppendByteList(line, &dst, 1);
    *line += " data=[";
    AppendByteList(line, data, dataLen);
    *line += ']';
    AppendArrowStatus(line, status);
    if (bAnswerAsked) {
        *line += " answer=[";
        AppendByteList(line, answer, answerLen);
        *line += ']';
    }
    *line += '\n';
}

void FormatLibraryVersionLine(std::string* line, long long t, const int version[3], int status) {
    line->clear();
    *line += std::to_string(t);
    *line += " LibraryVersion ";
    for (int i = 0; i < 3; ++i) {
        if (i > 0) *line += '.';
        *line += std::to_string(version[i]);
    }
    AppendArrowStatus(line, status);
    *line += '\n';
}

void FormatCloseLine(std::string* line, long long t, int keyboard, int status) {
    AppendHead(line, t, keyboard, "Close");
    AppendArrowStatus(line, status);
    *line += '\n';
}

void FormatReleaseLine(std::string* line, long long t) {
    line->clear();
    *line += std::to_string(t);
    *line += " Release\n";
}

bool Tracer::Open(const std::string& path) {
    file.reset(std::fopen(path.c_str(), "a"));
    return file != nullptr;
}

void Tracer::Enumerate(long long t, int count) {
    if (!file) return;
    FormatEnumerateLine(&line, t, count);
    Write();
}

void Tracer::OpenDevice(long long t, int keyboard, int status) {
    if (!file) return;
    FormatOpenLine(&line, t, keyboard, status);
    Write();
}

void Tracer::EnumerateModules(long long t, int keyboard, int status) {
    if (!file) return;
    FormatEnumerateModulesLine(&line, t, keyboard, status);
    Write();
}

void Tracer::SendCommand(long long t, int keyboard, std::uint8_t cmd, std::uint8_t dst,
                         const std::uint8_t* data, std::size_t dataLen, int status, bool bAnswerAsked,
                         const std::uint8_t* answer, std::size_t answerLen) {
    if (!file) return;
    FormatSendCommandLine(&line, t, keyboard, cmd, dst, data, dataLen, status, bAnswerAsked, answer,
                          answerLen);
    Write();
}

void Tracer::Write() {
    // Flushed per line so that a trace read while the program runs, or after it crashed, is whole.
    std::fwrite(line.data(), 1, line.size(), file.get());
    std::fflush(file.get());
}

} // namespace kavelvk
