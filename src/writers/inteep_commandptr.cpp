// The IntEep_CommandPtr element: blocks written into the controller's memory relative to a start
// address that a command of the script's choice returns.
#include "writers.h"

#include "driver.h"
#include "hidlink.h"

// Returns 0 when done, RESULT_FIELD_INVALID for an invalid PtrDST, PtrData, Offset or Data,
// RESULT_PTR_CMD_INVALID, RESULT_ANSWER_HIGH_INVALID, RESULT_ANSWER_LOW_INVALID,
// RESULT_MESSAGE_FAILED when the pointer command failed or its answer does not hold the two address
// bytes, RESULT_BLOCK_FAILED when a block write failed, RESULT_INTERRUPTED when a stop came before
// a message.
int kxbIntEepCommandPtr(pugi::xml_node node, std::string timestampDevice, KavelHidDevice* device,
                        int* current, int* total) {
    const std::string txtPtrData = "PtrData";
    const std::string txtAnswerByteAddressLow = "AnswerByteAddressLow";
    const std::string txtAnswerByteAddressHigh = "AnswerByteAddressHigh";
    const std::string txtOffset = "Offset";
    const long ADDRESS_AREA = 0x4000;

    unsigned char dst = 0;
    unsigned char cmd = 0;
    int nFields = ReadMessageFields(node, timestampDevice, "PtrDST", true, "PtrCMD", RESULT_PTR_CMD_INVALID,
                                    &dst, &cmd);
    if (nFields != 0) return nFields;
    long lByteAddressHigh = StrHexToLong(ChildNodeValue(node, txtAnswerByteAddressHigh));
    if (lByteAddressHigh == NOT_DEFINED) {
        return ParseError(node, timestampDevice, txtAnswerByteAddressHigh, RESULT_ANSWER_HIGH_INVALID);
    }
    long lByteAddressLow = StrHexToLong(ChildNodeValue(node, txtAnswerByteAddressLow));
    if (lByteAddressLow == NOT_DEFINED) {
        return ParseError(node, timestampDevice, txtAnswerByteAddressLow, RESULT_ANSWER_LOW_INVALID);
    }
    std::vector<unsigned char> pData;
    if (HexByteListAppend(ChildNodeValue(node, txtPtrData), pData) != 0) {
        return ParseError(node, timestampDevice, txtPtrData);
    }

    long lAddressBegin = NOT_DEFINED;
    if (device != nullptr) {
        int nStop = StopCheckpoint(node, timestampDevice);
        if (nStop != 0) return nStop;
        MessageAnswer answer;
        int nError = SendForAnswer(device, cmd, dst, pData, &answer);
        // Only bytes inside the buffer can be read, whatever length the library reports; an index
        // that is negative or beyond what can be read is not reached by the answer.
        bool bReached = lByteAddressLow >= 0 && lByteAddressLow < answer.nLength && lByteAddressHigh >= 0 &&
                        lByteAddressHigh < answer.nLength;
        bool bRead = nError == 0 && bReached;
        AddAttribute(node, timestampDevice,
                     (bRead ? txtRESULT : txtERROR) + ToHex(nError) +
                         ResponseLenAnnotation(answer.nResponseLen));
        if (!bRead) return RESULT_MESSAGE_FAILED;
        // Bit 14 is set by OR: the start address always lies in the area from 0x4000 up.
        lAddressBegin = ADDRESS_AREA |
                        (static_cast<long>(answer.pResponse[static_cast<size_t>(lByteAddressHigh)]) << 8) |
                        answer.pResponse[static_cast<size_t>(lByteAddressLow)];
    }
    CountStep(current, total);

    // A failed block write is recorded on its Data child and the element's other blocks are still
    // written, but the keyboard then counts as not written: the pass ends after this element.
    return WriteDataBlocks(node, timestampDevice, device, current, total, txtOffset, lAddressBegin,
                           MID_MSGT_CMD_WR_MEM, MID_ADDR_MASTER, BLOCKS_SEND_ALL);
}
