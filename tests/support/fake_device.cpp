#include "fake_device.h"

#include "driver.h"

#include <cstring>

int FakeDevice::SendCommand(unsigned char cmd, unsigned char dst, unsigned char* data, int dataLen,
                            unsigned char* response, int* responseLen) {
    if (data == nullptr) nullData = true;
    FakeMessage message{cmd, dst, {}, response != nullptr, responseLen ? *responseLen : -1};
    if (data != nullptr && dataLen > 0) message.data.assign(data, data + dataLen);
    sent.push_back(message);
    FakeReply reply{0, {}, -1};
    if (!replies.empty()) {
        reply = replies.front();
        replies.pop_front();
    }
    if (response != nullptr && responseLen != nullptr) {
        int capacity = *responseLen;
        int nCopy = static_cast<int>(reply.answer.size());
        if (nCopy > capacity) nCopy = capacity;
        if (nCopy > 0) std::memcpy(response, reply.answer.data(), static_cast<size_t>(nCopy));
        *responseLen = reply.reportedLen >= 0 ? reply.reportedLen : nCopy;
    }
    return reply.status;
}

void FakeDevice::Reply(int status, std::vector<unsigned char> answer, int reportedLen) {
    replies.push_back(FakeReply{status, std::move(answer), reportedLen});
}

static std::vector<int> recordedSleeps;

// Replaces the program's sleep: unit tests record pauses instead of waiting for them.
void SleepMilliseconds(int nMilliseconds) {
    recordedSleeps.push_back(nMilliseconds);
}

std::vector<int> TakeSleeps() {
    std::vector<int> taken;
    taken.swap(recordedSleeps);
    return taken;
}
