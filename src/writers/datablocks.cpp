// The parts of the writer elements that are alike: counting steps, sending a message without an
// answer, and the Data children that each become one memory write.
#include "writers.h"

#include "driver.h"
#include "hidlink.h"

int CountStep(int* current, int* total) {
    *current += 1;
    TerminalShowPercentage(*current, *total);
    return 0;
}

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
        if (device != nullptr) {
            if ((nBlocks & BLOCKS_SKIP) != 0) {
                AddAttribute(child, timestampDevice, txtSKIPPED);
            } else {
                int nStop = StopCheckpoint(child, timestampDevice);
                if (nStop != 0) return nStop;
                int nError = SendWithoutAnswer(device, cmd, dst, pData);
                AddAttribute(child, timestampDevice, StatusAnnotation(nError));
                if (nError != 0 && (nBlocks & BLOCKS_STOP_AT_FAILURE) != 0) return RESULT_BLOCK_FAILED;
                bFailed = bFailed || nError != 0;
            }
        }
        CountStep(current, total);
    }
    return bFailed ? RESULT_BLOCK_FAILED : 0;
}
