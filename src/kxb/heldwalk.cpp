// kxb's read-back: the script is walked with a keyboard that holds back every message but the
// reads, so that each writer still says where its blocks go while nothing that writes, runs a
// command or resets reaches the keyboard; what the walk cannot show is said so, block by block.
#include "kxb.h"

#include "kavelhidapi.h"

#include <algorithm>
#include <cstring>

namespace {

// True for the messages that only read: the identification reads and the memory read.
bool IsReadMessage(unsigned char cmd) {
    return cmd == MID_MSGT_CMD_VERSION || cmd == MID_MSGT_CMD_EXE_RD_CONFIG || cmd == MID_MSGT_CMD_FF ||
           cmd == MID_MSGT_CMD_RD_MODULE_EEPROM || cmd == MID_MSGT_CMD_RD_MEM;
}

// The keyboard that the walk talks to. It lets through only reads that ask for an answer, and an
// element's pointer command only when the user vouches that it only reads; every other message is
// kept here and answered as sent, whatever a writer sends.
class HoldingKeyboard : public KavelHidDevice {
public:
    HoldingKeyboard(KavelHidDevice* keyboard, bool bSendPointerCommands)
        : keyboard(keyboard), bSendPointerCommands(bSendPointerCommands) {}
    ~HoldingKeyboard() override = default;
    int Open() override { return 0; }
    int Close() override { return 0; }
    int EnumerateModules() override { return 0; }
    int SendCommand(unsigned char cmd, unsigned char dst, unsigned char* data, int dataLen,
                    unsigned char* response, int* responseLen) override {
        bool bAnswerAsked = response != nullptr && responseLen != nullptr;
        bool bSent = bAnswerAsked && (bPointerCommand ? bSendPointerCommands : IsReadMessage(cmd));
        lastCmd = cmd;
        lastDst = dst;
        pLastData.assign(data != nullptr && dataLen > 0 ? data : nullptr,
                         data != nullptr && dataLen > 0 ? data + dataLen : nullptr);
        if (bSent) return keyboard->SendCommand(cmd, dst, data, dataLen, response, responseLen);
        // A message asking for an answer that is held still answers, with as many bytes as can be
        // asked for, so that the walk goes on; what follows from that answer is not verified.
        if (bAnswerAsked) {
            bAnswerHeld = true;
            int nLen = std::min(std::max(*responseLen, 0), MID_RESPONSE_CAPACITY);
            std::memset(response, 0, static_cast<size_t>(nLen));
            *responseLen = nLen;
        }
        return 0;
    }

    // The element being walked takes its start address from a command of the script.
    bool bPointerCommand = false;
    // A message of the element being walked asked for an answer that was made up here.
    bool bAnswerHeld = false;
    // The element's last message.
    unsigned char lastCmd = 0;
    unsigned char lastDst = 0;
    std::vector<unsigned char> pLastData;

private:
    KavelHidDevice* keyboard;
    bool bSendPointerCommands;
};

// Watches the held walk for the read-back: blocks whose start address came from a held answer are
// not verified, and an element whose own read failed has that read as its block.
class HeldWalk : public WalkObserver {
public:
    HeldWalk(HoldingKeyboard& keyboard, ReadBackPass* pass, const std::string& sAnnotation)
        : keyboard(keyboard), pass(pass), observer(ReadBackObserver(pass)), sAnnotation(sAnnotation) {}

    void ElementBegin(pugi::xml_node element, unsigned nTraits) override {
        keyboard.bPointerCommand = (nTraits & ELEMENT_POINTER_COMMAND) != 0;
        keyboard.bAnswerHeld = false;
        keyboard.lastCmd = 0;
        keyboard.pLastData.clear();
        observer->ElementBegin(element, nTraits);
    }

    void BlockWritten(const WalkBlock& told) override {
        if (keyboard.bAnswerHeld && told.nHow == WALK_BLOCK_SENT) {
            KxbBlock block;
            block.node = told.data;
            block.nState = BLOCK_NOT_VERIFIED;
            block.sReason = "its start address comes from a command of the script, which kxb sends only "
                            "with --send-pointer-commands";
            ReadBackAddBlock(pass, block);
            return;
        }
        observer->BlockWritten(told);
    }

    void ElementEnd(pugi::xml_node element, unsigned nTraits, int nResult) override {
        // Nothing that an element writes is sent here: only its own read can fail.
        if (nResult != 0 && (nTraits & ELEMENT_DATA_BLOCKS) != 0) {
            ReadBackAddBlock(pass, UnreadableElement(element, nTraits));
            return;
        }
        observer->ElementEnd(element, nTraits, nResult);
    }

private:
    // The block of an element whose own read failed: the pointer read, placed where it reads, or
    // the pointer command.
    KxbBlock UnreadableElement(pugi::xml_node element, unsigned nTraits) const {
        bool bPointerRead = (nTraits & ELEMENT_POINTER_READ) != 0;
        KxbBlock block;
        block.node = element;
        block.nState = BLOCK_UNREADABLE;
        block.sReason = std::string(bPointerRead ? "the pointer read: " : "the pointer command: ") +
                        element.attribute(sAnnotation.c_str()).value();
        const std::vector<unsigned char>& pData = keyboard.pLastData;
        if (bPointerRead && keyboard.lastCmd == MID_MSGT_CMD_RD_MEM && pData.size() > MEMORY_READ_LENGTH_AT) {
            block.bPlaced = true;
            block.nUnit = keyboard.lastDst;
            block.nAddress = MemoryMessageAddressOf(pData);
            block.nLength = pData[MEMORY_READ_LENGTH_AT];
        }
        return block;
    }

    HoldingKeyboard& keyboard;
    ReadBackPass* pass;
    WalkObserver* observer;
    std::string sAnnotation; // the name the walk annotates under
};

} // namespace

int KxbReadBackWithoutWriting(pugi::xml_node root, KavelHidDevice* device, const std::string& sAnnotation,
                              bool bSendPointerCommands, KeyboardReadBack* readback) {
    *readback = KeyboardReadBack();
    HoldingKeyboard keyboard(device, bSendPointerCommands);
    ReadBackPassOwner pass = ReadBackBegin(device);
    HeldWalk walk(keyboard, pass.get(), sAnnotation);
    WriteOptions options;
    options.bReset = false;
    options.observer = &walk;
    int current = 0;
    // Without a total the handlers show no progress.
    int total = 0;
    int nResult = kxbCheckWrite(root, sAnnotation, &keyboard, &current, &total, options);
    // A keyboard that does not suit the script, or whose identity cannot be read, has no blocks.
    if (nResult == ERR_ERROR_DEVICE_COMPATIBILITY || nResult == ERR_ERROR_DEVICE_COMMUNICATION) {
        return readback->nStatus = nResult;
    }
    return readback->nStatus =
               ReadBackFinish(pass.get(), nResult == 0, sAnnotation, &current, &total, readback);
}
