// The read-back, in four steps. The walk: the read-back watches the write pass, whose writers tell
// it each block they write, leave out or cannot verify, with its unit, address and bytes. The
// image: what the whole pass leaves in each unit's memory. The read: what the keyboard holds there.
// The judgement: block by block, on the bytes that are the block's own in the image.
#include "readback.h"

#include "kavelhidapi.h"

#include <algorithm>
#include <map>

namespace {

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

// A block whose unit, address and bytes the walk told; it waits for its judgement.
PendingBlock PlacedBlock(const WalkBlock& told) {
    PendingBlock pending = BlockAt(told.data, BLOCK_PENDING, "");
    KxbBlock& block = pending.block;
    block.bPlaced = true;
    block.nUnit = told.nUnit;
    block.nAddress = told.nAddress;
    pending.pBytes.assign(told.pBytes, told.pBytes + told.nBytes);
    block.nLength = static_cast<int>(told.nBytes);
    return pending;
}

} // namespace

// The state of a read-back: where the read goes, the blocks of the walk so far, and the steps of
// a check pass it watched.
struct ReadBackPass : public WalkObserver {
    KavelHidDevice* device = nullptr;
    std::vector<PendingBlock> arPending;
    int nCheckedSteps = 0;

    void ElementBegin(pugi::xml_node, unsigned) override {}

    void BlockWritten(const WalkBlock& told) override {
        if (told.nHow == WALK_BLOCK_CHECKED) {
            // A write pass sends only the blocks of message type 17 as memory writes.
            if (told.cmd == MID_MSGT_CMD_WR_MEM) nCheckedSteps++;
            return;
        }
        if (told.nHow == WALK_BLOCK_LEFT_OUT) {
            arPending.push_back(
                BlockAt(told.data, BLOCK_SKIPPED, "the pointer holds 0: kavelwrite leaves the block out"));
            return;
        }
        PendingBlock pending = PlacedBlock(told);
        if (told.cmd != MID_MSGT_CMD_WR_MEM) {
            pending.block.nState = BLOCK_NOT_VERIFIED;
            pending.block.sReason = "message type " + KxbUpperHex(told.cmd) +
                                    " is not the memory write 17: kxb cannot tell where it leaves bytes";
            pending.pBytes.clear();
        }
        arPending.push_back(std::move(pending));
    }

    void ElementEnd(pugi::xml_node element, unsigned nTraits, int) override {
        if ((nTraits & ELEMENT_DATA_BLOCKS) == 0)
            arPending.push_back(BlockAt(element, BLOCK_NOT_VERIFIED, "a command has effects, not bytes"));
    }
};

namespace {

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
// each piece, on the block whose byte it reads first. Returns 0, RESULT_INTERRUPTED, or
// ERR_ERROR_DEVICE_COMMUNICATION for a failed read (in *failure), after which nothing more is read.
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
                MemoryReadMessage(nPiece, nWanted, pData);
                MessageAnswer answer;
                int nError = SendForAnswer(device, MID_MSGT_CMD_RD_MEM, static_cast<unsigned char>(nUnit),
                                           pData, &answer);
                if (nError != 0 || answer.nLength < nWanted) {
                    // A short answer fails with status 0, as the writers record it.
                    failure->sRead = "the read of " + std::to_string(nWanted) + " bytes at " +
                                     KxbUpperHex(nPiece) + " on unit " + KxbUpperHex(nUnit);
                    failure->sStatus = txtERROR + ToHex(nError) + ResponseLenAnnotation(answer.nResponseLen);
                    return ERR_ERROR_DEVICE_COMMUNICATION;
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
                const std::string& sFailure, KeyboardReadBack* readback) {
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

ReadBackPassOwner ReadBackBegin(KavelHidDevice* device) {
    ReadBackPassOwner pass(new ReadBackPass());
    pass->device = device;
    return pass;
}

WalkObserver* ReadBackObserver(ReadBackPass* pass) {
    return pass;
}

void ReadBackAddBlock(ReadBackPass* pass, const KxbBlock& block) {
    PendingBlock pending;
    pending.block = block;
    pass->arPending.push_back(std::move(pending));
}

int ReadBackSteps(const ReadBackPass* pass) {
    return pass->nCheckedSteps;
}

int ReadBackFinish(ReadBackPass* pass, bool bWalked, const std::string& timestampDevice, int* current,
                   int* total, KeyboardReadBack* readback) {
    std::vector<PendingBlock>& arPending = pass->arPending;
    std::map<int, UnitImage> images;
    ReadFailure failure;
    // What a failed walk leaves unread is said in the words of its last block, the one that failed.
    std::string sFailure = bWalked || arPending.empty() ? "" : arPending.back().block.sReason;
    // Without a walk there is nothing to read: its blocks stay unread.
    int nRead = ERR_ERROR_DEVICE_COMMUNICATION;
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
