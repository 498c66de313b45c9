// The IntEep element: blocks written into the controller's memory relative to a base address
// that the controller keeps in a 16-bit pointer.
#include "writers.h"

#include "driver.h"
#include "hidlink.h"

// Returns 0 when done (also when every block was skipped), RESULT_FIELD_INVALID,
// RESULT_MESSAGE_FAILED when the pointer read failed, RESULT_BLOCK_FAILED when a block write
// failed, RESULT_INTERRUPTED when a stop came before a message.
int kxbIntEep(pugi::xml_node node, std::string timestampDevice, KavelHidDevice* device, int* current,
              int* total) {
    const std::string txtPtrAddress = "PtrAddress";
    const std::string txtOffset = "Offset";
    const unsigned char POINTER_BYTES = 2;

    long lPtrAddress = StrHexToLong(ChildNodeValue(node, txtPtrAddress));
    if (lPtrAddress == NOT_DEFINED) {
        return ParseError(node, timestampDevice, txtPtrAddress);
    }

    long lAddressBegin = NOT_DEFINED;
    if (device != nullptr) {
        int nStop = StopCheckpoint(node, timestampDevice);
        if (nStop != 0) return nStop;
        std::vector<unsigned char> pData;
        MemoryReadMessage(lPtrAddress, POINTER_BYTES, pData);
        MessageAnswer answer;
        int nError = SendForAnswer(device, MID_MSGT_CMD_RD_MEM, MID_ADDR_MASTER, pData, &answer);
        // A pointer is two bytes: a shorter answer is a failure even with status 0.
        bool bRead = nError == 0 && answer.nLength >= POINTER_BYTES;
        AddAttribute(node, timestampDevice, (bRead ? txtRESULT : txtERROR) + ToHex(nError));
        if (!bRead) return RESULT_MESSAGE_FAILED;
        lAddressBegin = answer.pResponse[0] + 256L * answer.pResponse[1];
    }
    CountStep(current, total);

    // A base address of 0 means the controller has no such area: its blocks are left out.
    bool bSkipped = device != nullptr && lAddressBegin == 0;
    return WriteDataBlocks(node, timestampDevice, device, current, total, txtOffset, lAddressBegin,
                           MID_MSGT_CMD_WR_MEM, MID_ADDR_MASTER,
                           (bSkipped ? BLOCKS_SKIP : BLOCKS_SEND_ALL) | BLOCKS_STOP_AT_FAILURE);
}
