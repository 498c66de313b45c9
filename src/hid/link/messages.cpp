// Sending a message: the data buffer the library is handed and the answer it gives back; and the
// layout of the memory messages.
#include "hidlink.h"

#include "kavelhidapi.h"

namespace {

// Number of answer bytes that may be read: the length the library reported, but never below 0
// nor beyond the buffer, whatever the library stored.
int AnswerLength(int nResponseLen) {
    if (nResponseLen < 0) return 0;
    if (nResponseLen > MID_RESPONSE_CAPACITY) return MID_RESPONSE_CAPACITY;
    return nResponseLen;
}

} // namespace

unsigned char* MessageData(std::vector<unsigned char>& arData) {
    // The library is always handed a valid buffer, even for a message without data bytes.
    static unsigned char emptyData[1] = {0};
    return arData.empty() ? emptyData : arData.data();
}

int SendForAnswer(KavelHidDevice* device, unsigned char cmd, unsigned char dst,
                  std::vector<unsigned char>& arData, MessageAnswer* answer) {
    answer->nResponseLen = MID_RESPONSE_CAPACITY;
    int nError = device->SendCommand(cmd, dst, MessageData(arData), static_cast<int>(arData.size()),
                                     answer->pResponse.data(), &answer->nResponseLen);
    answer->nLength = AnswerLength(answer->nResponseLen);
    return nError;
}

int SendWithoutAnswer(KavelHidDevice* device, unsigned char cmd, unsigned char dst,
                      std::vector<unsigned char>& arData) {
    return device->SendCommand(cmd, dst, MessageData(arData), static_cast<int>(arData.size()), nullptr,
                               nullptr);
}

void MemoryMessageAddress(long lAddress, std::vector<unsigned char>& arData, size_t nMore) {
    const unsigned long ulAddress = static_cast<unsigned long>(lAddress);
    arData.clear();
    arData.reserve(MEMORY_WRITE_BYTES_AT + nMore);
    arData.push_back(static_cast<unsigned char>(ulAddress & 0xFF));
    arData.push_back(static_cast<unsigned char>((ulAddress >> 8) & 0xFF));
}

void MemoryReadMessage(long lAddress, int nLength, std::vector<unsigned char>& arData) {
    MemoryMessageAddress(lAddress, arData, 1);
    arData.push_back(static_cast<unsigned char>(nLength));
}

int MemoryMessageAddressOf(const std::vector<unsigned char>& arData) {
    if (arData.size() < MEMORY_WRITE_BYTES_AT) return -1;
    return arData[0] | arData[1] << 8;
}
