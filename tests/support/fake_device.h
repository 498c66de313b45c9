// A keyboard for unit tests: records every message and answers from a queue of scripted replies.
#ifndef KAVELWRITE_TESTS_FAKE_DEVICE_H
#define KAVELWRITE_TESTS_FAKE_DEVICE_H

#include "kavelhidapi.h"

#include <deque>
#include <vector>

struct FakeMessage {
    unsigned char cmd;
    unsigned char dst;
    std::vector<unsigned char> data;
    bool answerAsked;
    int capacity; // *responseLen on entry, -1 without an answer buffer
};

struct FakeReply {
    int status;
    std::vector<unsigned char> answer;
    int reportedLen; // the length stored back; -1 means answer.size()
};

class FakeDevice : public KavelHidDevice {
public:
    int Open() override { return 0; }
    int Close() override { return 0; }
    int EnumerateModules() override { return 0; }
    int SendCommand(unsigned char cmd, unsigned char dst, unsigned char* data, int dataLen,
                    unsigned char* response, int* responseLen) override;

    // Replies in order; when the queue is empty a message gets status 0 and an empty answer.
    void Reply(int status, std::vector<unsigned char> answer = {}, int reportedLen = -1);

    std::vector<FakeMessage> sent;
    std::deque<FakeReply> replies;
    bool nullData = false; // set when a message came with a null data pointer
};

// Pauses requested by the program since the last call; clears the record.
std::vector<int> TakeSleeps();

#endif
