// The read-back, in four steps. The walk: the write pass runs through a keyboard of the read-back's
// own, which records each writer element's messages (kxb's lets only reads through and keeps every
// other message instead of sending it), so that each writer says, by its own rules, where its
// blocks go and with which bytes. The image: what the whole pass leaves in each unit's memory. The
// read: what the keyboard holds there. The judgement: block by block, on the bytes that are the
// block's own in the image.
#include "readback.h"

#include "device.h"
#include "kavelhidapi.h"
#include "writers.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace {

// One message of the walk as the read-back's keyboard saw it.
struct SeenMessage {
    unsigned char cmd;
    unsigned char dst;
    std::vector<unsigned char> pData;
    bool bAnswerAsked;
    bool bSent; // it reached the keyboard
};

// True for the messages that only read: the identification reads and the memory read.
bool IsReadMessage(unsigned char cmd) {
    return cmd == MID_MSGT_CMD_VERSION || cmd == MID_MSGT_CMD_EXE_RD_CONFIG || cmd == MID_MSGT_CMD_FF ||
           cmd == MID_MSGT_CMD_RD_MODULE_EEPROM || cmd == MID_MSGT_CMD_RD_MEM;
}

// The keyboard that the walk talks to. Holding, it lets through only reads that ask for an answer,
// and an element's pointer command only when the user vouches that it only reads; every other
// message is kept here and answered as sent, so nothing that writes, runs a command or resets
// reaches the keyboard, whatever a writer sends. Passing, it sends everything on, as a write pass.
class ReadBackKeyboard : public KavelHidDevice {
public:
    ReadBackKeyboard(KavelHidDevice* keyboard, unsigned nMode) : keyboard(keyboard), nMode(nMode) {}
    ~ReadBackKeyboard() override = default;
    int Open() override { return 0; }
    int Close() override { return 0; }
    int EnumerateModules() override { return 0; }
    int SendCommand(unsigned char cmd, unsigned char dst, unsigned char* data, int dataLen,
                    unsigned char* response, int* responseLen) override {
        bool bAnswerAsked = response != nullptr && responseLen != nullptr;
        bool bPointerCommandSent = (nMode & READBACK_POINTER_COMMANDS) != 0;
        bool bSent = (nMode & READBACK_PASS) != 0 ||
                     (bAnswerAsked && (bPointerCommand ? bPointerCommandSent : IsReadMessage(cmd)));
        SeenMessage message{cmd, dst, {}, bAnswerAsked, bSent};
        if (data != nullptr && dataLen > 0) message.pData.assign(data, data + dataLen);
        arSeen.push_back(message);
        if (bSent) return keyboard->SendCommand(cmd, dst, data, dataLen, response, responseLen);
        // A command that is not sent still answers, with as many bytes as can be asked for, so
        // that the walk goes on; what follows from that answer is not verified.
        if (bAnswerAsked) {
            int nLen = std::min(std::max(*responseLen, 0), MID_RESPONSE_CAPACITY);
            std::memset(response, 0, static_cast<size_t>(nLen));
            *responseLen = nLen;
        }
        return 0;
    }

    // The element being walked takes its start address from a command of the script.
    bool bPointerCommand = false;
    std::vector<SeenMessage> arSeen;

private:
    KavelHidDevice* keyboard;
    unsigned nMode;
};

// What the pass leaves in one unit's memory: for every address the block whose byte is expected
// there (-1 where the pass writes nothing) and that byte; then what the keyboard holds.
struct UnitImage {
    std::vector<int> arOwner = std::vector<int>(MID_MEMORY_SIZE, -1);
    std::vector<unsigned char> arExpected = std::vector<unsigned char>(MID_MEMORY_SIZE, 0);
    std::vector<unsigned char> arHeld = std::vector<unsigned char>(MID_MEMORY_SIZE, 0);
    std::vector<bool> arRead = std::vector<bool>(MID_MEMORY_SIZE, false);
};

// A block with the bytes it writes, while they are compared.
struct PendingBlock {
    KxbBlock block;
    std::vector<unsigned char> pBytes;
};

PendingBlock BlockAt(pugi::xml_node node, int nState, const std::string& sReason) {
    PendingBlock pending;
    pending.block.node = node;
    pending.block.nState = nState;
    pending.block.sReason = sReason;
    return pending;
}

// A block whose unit, address and bytes a memory message of the walk carries; it waits for its
// judgement.
PendingBlock PlacedBlock(pugi::xml_node node, const SeenMessage& message) {
    PendingBlock pending = BlockAt(node, BLOCK_PENDING, "");
    KxbBlock& block = pending.block;
    block.bPlaced = true;
    block.nUnit = message.dst;
    // The address travels low byte first; a message shorter than the address holds no block.
    block.nAddress = message.pData.size() < 2 ? 0 : message.pData[0] | message.pData[1] << 8;
    if (message.pData.size() > 2) pending.pBytes.assign(message.pData.begin() + 2, message.pData.end());
    block.nLength = static_cast<int>(pending.pBytes.size());
    return pending;
}

// The block of an element whose own read failed: the pointer read, placed where it reads, or the
// pointer command.
PendingBlock UnreadableElement(pugi::xml_node element, const ElementEntry& entry, const std::string& sNote,
                               const ReadBackKeyboard& keyboard) {
    bool bPointerRead = (entry.nTraits & ELEMENT_POINTER_READ) != 0;
    PendingBlock pending = BlockAt(element, BLOCK_UNREADABLE,
                                   (bPointerRead ? "the pointer read: " : "the pointer command: ") + sNote);
    const SeenMessage* pointer = keyboard.arSeen.empty() ? nullptr : &keyboard.arSeen.back();
    if (bPointerRead && pointer != nullptr && pointer->pData.size() >= 3) {
        KxbBlock& block = pending.block;
        block.bPlaced = true;
        block.nUnit = pointer->dst;
        block.nAddress = pointer->pData[0] | pointer->pData[1] << 8;
        block.nLength = pointer->pData[2];
    }
    return pending;
}

} // namespace

// The state of a read-back: its keyboard, and the blocks of the walk so far.
struct ReadBackPass {
    ReadBackKeyboard keyboard;
    KavelHidDevice* device; // the keyboard itself, which the read goes to
    std::vector<PendingBlock> arPending;
};

namespace {

// The blocks of one writer element, from what its handler sent and annotated: each Data child that
// the handler wrote holds the next message that asked for no answer, in document order.
void AddElementBlocks(pugi::xml_node element, const ElementEntry& entry, const std::string& sAnnotation,
                      const ReadBackKeyboard& keyboard, int nResult, std::vector<PendingBlock>& arBlock) {
    const std::string txtData = "Data";
    const char* txtCommandsSent = "its start address comes from a command of the script, which kxb sends "
                                  "only with --send-pointer-commands";
    if ((entry.nTraits & ELEMENT_DATA_BLOCKS) == 0) {
        arBlock.push_back(BlockAt(element, BLOCK_NOT_VERIFIED, "a command has effects, not bytes"));
        return;
    }
    if (nResult != 0) {
        // Only the element's own read can fail here: nothing that it writes is sent.
        arBlock.push_back(
            UnreadableElement(element, entry, element.attribute(sAnnotation.c_str()).value(), keyboard));
        return;
    }
    bool bPointerHeld = false;
    std::vector<const SeenMessage*> arWrites;
    for (const SeenMessage& message : keyboard.arSeen) {
        if (message.bAnswerAsked && !message.bSent) bPointerHeld = true;
        if (!message.bAnswerAsked) arWrites.push_back(&message);
    }
    size_t nWrite = 0;
    for (pugi::xml_node child = element.child(txtData.c_str()); child;
         child = child.next_sibling(txtData.c_str())) {
        std::string sNote = child.attribute(sAnnotation.c_str()).value();
        if (sNote == txtSKIPPED) {
            arBlock.push_back(
                BlockAt(child, BLOCK_SKIPPED, "the pointer holds 0: kavelwrite leaves the block out"));
            continue;
        }
        if (sNote.empty() || nWrite >= arWrites.size()) continue;
        const SeenMessage& message = *arWrites[nWrite++];
        if (bPointerHeld) {
            arBlock.push_back(BlockAt(child, BLOCK_NOT_VERIFIED, txtCommandsSent));
        } else if (message.cmd != MID_MSGT_CMD_WR_MEM) {
            PendingBlock pending = PlacedBlock(child, message);
            pending.block.nState = BLOCK_NOT_VERIFIED;
            pending.block.sReason = "message type " + KxbUpperHex(message.cmd) +
                                    " is not the memory write 17: kxb cannot tell where it leaves bytes";
            arBlock.push_back(pending);
        } else {
            arBlock.push_back(PlacedBlock(child, message));
        }
    }
}

// The image: every placed block in order, so that a later block's bytes are expected where it
// overwrites another's.
std::map<int, UnitImage> LayImages(const std::vector<PendingBlock>& arPending) {
    std::map<int, UnitImage> images;
    for (size_t i = 0; i < arPending.size(); i++) {
        const PendingBlock& pending = arPending[i];
        if (pending.block.nState != BLOCK_PENDING) continue;
        UnitImage& image = images[pending.block.nUnit];
        for (size_t k = 0; k < pending.pBytes.size(); k++) {
            int nAddress = static_cast<int>((pending.block.nAddress + k) % MID_MEMORY_SIZE);
            image.arOwner[nAddress] = static_cast<int>(i);
            image.arExpected[nAddress] = pending.pBytes[k];
        }
    }
    return images;
}

// Why a read failed: what it read, and its status and answer length as the writers annotate them.
struct ReadFailure {
    std::string sRead;
    std::string sStatus;
};

// The read: what the keyboard holds under every address the pass writes, per unit in runs of
// consecutive addresses, in pieces of at most READ_PIECE_MAX bytes; a stop request is honoured before
// each piece, on the block whose byte it reads first. Returns 0, RESULT_INTERRUPTED, or 1 for a
// failed read (in *failure), after which nothing more is read.
int ReadImages(KavelHidDevice* device, std::map<int, UnitImage>& images,
               const std::vector<PendingBlock>& arPending, const std::string& timestampDevice,
               std::vector<KxbHeldRun>& arHeld, ReadFailure* failure) {
    for (auto& [nUnit, image] : images) {
        for (int nBegin = 0; nBegin < MID_MEMORY_SIZE; nBegin++) {
            if (image.arOwner[nBegin] < 0) continue;
            // A run ends where the pass writes nothing or at the top of memory: a piece never
            // wraps round, whatever a keyboard does at the end of its memory.
            int nEnd = nBegin;
            while (nEnd < MID_MEMORY_SIZE && image.arOwner[nEnd] >= 0) nEnd++;
            for (int nPiece = nBegin; nPiece < nEnd; nPiece += READ_PIECE_MAX) {
                // The block's write is annotated already: the stop goes under the read-back's own name.
                int nStop = StopCheckpoint(arPending[image.arOwner[nPiece]].block.node,
                                           TimestampVerify(timestampDevice));
                if (nStop != 0) return nStop;
                int nWanted = std::min(READ_PIECE_MAX, nEnd - nPiece);
                std::vector<unsigned char> pData;
                MemoryMessageAddress(nPiece, pData, 1);
                pData.push_back(static_cast<unsigned char>(nWanted));
                MessageAnswer answer;
                int nError = SendForAnswer(device, MID_MSGT_CMD_RD_MEM, static_cast<unsigned char>(nUnit),
                                           pData, &answer);
                if (nError != 0 || answer.nLength < nWanted) {
                    // A short answer fails with status 0, as the writers record it.
                    failure->sRead = "the read of " + std::to_string(nWanted) + " bytes at " +
                                     KxbUpperHex(nPiece) + " on unit " + KxbUpperHex(nUnit);
                    failure->sStatus =
                        txtERROR + ToHex(nError) + ";responselen=" + ToHex(answer.nResponseLen);
                    return 1;
                }
                for (int i = 0; i < nWanted; i++) {
                    image.arHeld[nPiece + i] = answer.pResponse[i];
                    image.arRead[nPiece + i] = true;
                }
            }
            arHeld.push_back(KxbHeldRun{
                nUnit, nBegin,
                std::vector<unsigned char>(image.arHeld.begin() + nBegin, image.arHeld.begin() + nEnd)});
            nBegin = nEnd;
        }
    }
    return 0;
}

// Judges one block on the addresses where its bytes are the ones expected (a later block's bytes
// are expected where it overwrites them); adds its bytes to the keyboard's counts.
void JudgeBlock(KxbBlock& block, size_t nLength, int nIndex, const UnitImage& image,
                const std::string& sFailure, KxbReadBack* readback) {
    // Of a block longer than memory only the last pass round it stays.
    size_t nFirst = nLength > static_cast<size_t>(MID_MEMORY_SIZE) ? nLength - MID_MEMORY_SIZE : 0;
    int nMatch = 0;
    for (size_t k = nFirst; k < nLength; k++) {
        int nAddress = static_cast<int>((block.nAddress + k) % MID_MEMORY_SIZE);
        if (image.arOwner[nAddress] != nIndex) continue;
        if (!image.arRead[nAddress]) {
            block.nState = BLOCK_UNREADABLE;
            block.sReason = "not read: " + sFailure;
            return;
        }
        if (image.arHeld[nAddress] == image.arExpected[nAddress]) {
            nMatch++;
            continue;
        }
        if (block.nDifferences++ == 0) {
            block.nFirstAddress = nAddress;
            block.nFirstKeyboard = image.arHeld[nAddress];
            block.nFirstScript = image.arExpected[nAddress];
        }
    }
    block.nState = block.nDifferences > 0 ? BLOCK_DIFFER : BLOCK_MATCH;
    readback->nBytesMatch += nMatch;
    readback->nBytesDiffer += block.nDifferences;
}

} // namespace

void ReadBackPassDeleter::operator()(ReadBackPass* pass) const {
    delete pass;
}

ReadBack ReadBackBegin(KavelHidDevice* device, unsigned nMode) {
    return ReadBack(new ReadBackPass{ReadBackKeyboard(device, nMode), device, {}});
}

KavelHidDevice* ReadBackDevice(ReadBackPass* pass) {
    return &pass->keyboard;
}

void ReadBackElementBegin(ReadBackPass* pass, const ElementEntry& entry) {
    pass->keyboard.arSeen.clear();
    pass->keyboard.bPointerCommand = (entry.nTraits & ELEMENT_POINTER_COMMAND) != 0;
}

void ReadBackElementEnd(ReadBackPass* pass, pugi::xml_node element, const ElementEntry& entry,
                        const std::string& timestampDevice, int nResult) {
    AddElementBlocks(element, entry, timestampDevice, pass->keyboard, nResult, pass->arPending);
}

int ReadBackSteps(pugi::xml_node element, const ElementEntry& entry) {
    const char* txtCmd = "CMD";
    if ((entry.nTraits & ELEMENT_DATA_BLOCKS) == 0) return 0;
    // An element whose message type the script gives sends memory writes only where it gives 17.
    if (FindElementField(entry.name, txtCmd) != nullptr &&
        (StrHexToLong(ChildNodeValue(element, txtCmd)) & 0xFF) != MID_MSGT_CMD_WR_MEM) {
        return 0;
    }
    int nSteps = 0;
    for (pugi::xml_node child = element.child("Data"); child; child = child.next_sibling("Data")) nSteps++;
    return nSteps;
}

int ReadBackFinish(ReadBackPass* pass, bool bWalked, const std::string& timestampDevice, int* current,
                   int* total, KxbReadBack* readback) {
    std::vector<PendingBlock>& arPending = pass->arPending;
    std::map<int, UnitImage> images;
    ReadFailure failure;
    // What a failed walk leaves unread is said in the words of its last block, the one that failed.
    std::string sFailure = bWalked || arPending.empty() ? "" : arPending.back().block.sReason;
    int nRead = 1;
    if (bWalked) {
        images = LayImages(arPending);
        nRead = ReadImages(pass->device, images, arPending, timestampDevice, readback->arHeld, &failure);
        if (nRead == RESULT_INTERRUPTED) return nRead;
        if (nRead != 0) sFailure = failure.sRead + ": " + failure.sStatus;
    }
    bool bDiffer = false;
    const std::string sVerify = TimestampVerify(timestampDevice);
    for (size_t i = 0; i < arPending.size(); i++) {
        KxbBlock& block = arPending[i].block;
        bool bRead = block.nState == BLOCK_PENDING;
        if (bRead || block.nState == BLOCK_SKIPPED) CountStep(current, total);
        if (bRead && !bWalked) {
            block.nState = BLOCK_UNREADABLE;
            block.sReason = "not read: " + sFailure;
        } else if (bRead) {
            JudgeBlock(block, arPending[i].pBytes.size(), static_cast<int>(i), images[block.nUnit], sFailure,
                       readback);
            if (block.nState == BLOCK_UNREADABLE) block.sStatus = failure.sStatus;
        }
        if (bRead && bWalked) AddAttribute(block.node, sVerify, KxbBlockAnnotation(block));
        bDiffer = bDiffer || block.nState == BLOCK_DIFFER;
        readback->arBlock.push_back(std::move(block));
    }
    if (nRead != 0) return ERR_ERROR_DEVICE_COMMUNICATION;
    return bDiffer ? ERR_ERROR_DEVICE_DIFFERS : 0;
}

int KxbReadBackKeyboard(pugi::xml_node root, KavelHidDevice* device, const std::string& sAnnotation,
                        bool bSendPointerCommands, KxbReadBack* readback) {
    *readback = KxbReadBack();
    ReadBack pass =
        ReadBackBegin(device, READBACK_HOLD | (bSendPointerCommands ? READBACK_POINTER_COMMANDS : 0));
    WriteOptions options;
    options.readback = pass.get();
    int current = 0;
    // Without a total the handlers show no progress.
    int total = 0;
    int nResult = kxbCheckWrite(root, sAnnotation, device, &current, &total, options);
    // A keyboard that does not suit the script, or whose identity cannot be read, has no blocks.
    if (nResult == ERR_ERROR_DEVICE_COMPATIBILITY || nResult == ERR_ERROR_DEVICE_COMMUNICATION) {
        return readback->nStatus = nResult;
    }
    return readback->nStatus =
               ReadBackFinish(pass.get(), nResult == 0, sAnnotation, &current, &total, readback);
}
