// The Data children that each become one memory write, the part of the writer elements that is
// alike; whoever watches the pass is told of every block.
#include "writers.h"

#include "driver.h"
#include "hidlink.h"

namespace {

// Tells the pass's observer, if any, of the block in pData (a memory message).
void TellBlock(pugi::xml_node child, int nHow, unsigned char cmd, unsigned char dst,
               const std::vector<unsigned char>& pData, int nStatus) {
    WalkObserver* observer = CurrentWalkObserver();
    if (observer == nullptr) return;
    WalkBlock block;
    block.data = child;
    block.nHow = nHow;
    block.cmd = cmd;
    block.nUnit = dst;
    block.nAddress = MemoryMessageAddressOf(pData);
    block.pBytes = pData.data() + MEMORY_WRITE_BYTES_AT;
    block.nBytes = pData.size() - MEMORY_WRITE_BYTES_AT;
    block.nStatus = nStatus;
    observer->BlockWritten(block);
}

} // namespace

int WriteDataBlocks(pugi::xml_node node, const std::string& timestampDevice, KavelHidDevice* device,
                    int* current, int* total, const std::string& txtAddress, long lAddressBegin,
                    unsigned char cmd, unsigned char dst, unsigned nBlocks) {
    const std::string txtData = "Data";
    std::vector<unsigned char> pData;
    bool bFailed = false;
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        if (txtData != child.name()) continue;
        long lOffset = StrHexToLong(AttributeValue(child, txtAddress));
        if (lOffset == NOT_DEFINED) {
            return ParseError(child, timestampDevice, txtAddress);
        }
        // Unsigned arithmetic: only the low 16 bits are sent, and no sum may overflow.
        long lAddress = static_cast<long>(static_cast<unsigned long>(lAddressBegin) +
                                          static_cast<unsigned long>(lOffset));
        if (MemoryMessageData(lAddress, child.child_value(), pData) != 0) {
            return ParseError(child, timestampDevice, txtData);
        }
        if (device == nullptr) {
            TellBlock(child, WALK_BLOCK_CHECKED, cmd, dst, pData, 0);
        } else if ((nBlocks & BLOCKS_SKIP) != 0) {
            AddAttribute(child, timestampDevice, txtSKIPPED);
            TellBlock(child, WALK_BLOCK_LEFT_OUT, cmd, dst, pData, 0);
        } else {
            int nStop = StopCheckpoint(child, timestampDevice);
            if (nStop != 0) return nStop;
            int nError = SendWithoutAnswer(device, cmd, dst, pData);
            AddAttribute(child, timestampDevice, StatusAnnotation(nError));
            TellBlock(child, WALK_BLOCK_SENT, cmd, dst, pData, nError);
            if (nError != 0 && (nBlocks & BLOCKS_STOP_AT_FAILURE) != 0) return RESULT_BLOCK_FAILED;
            bFailed = bFailed || nError != 0;
        }
        CountStep(current, total);
    }
    return bFailed ? RESULT_BLOCK_FAILED : 0;
}
