// The IntEep_CommandPtr element: blocks written into the controller's memory relative to a start
// address that a command of the script's choice returns.
#include "writers.h"

#include "driver.h"
#include "kavelhidapi.h"

#include <algorithm>

// Returns 0 when done, 1 for an invalid PtrDST, PtrData, Offset or Data, 2 for PtrCMD, 3 for
// AnswerByteAddressHigh, 4 for AnswerByteAddressLow, 5 when the pointer command failed or its
// answer does not hold the two address bytes, -1 when a block write failed, RESULT_INTERRUPTED
// when a stop came before a message.
int kxbIntEepCommandPtr(pugi::xml_node node, std::string timestampDevice, KavelHidDevice* device,
                        int* current, int* total) {
    const unsigned char MID_ADDR_MASTER = 0x02;
    const unsigned char MID_MSGT_CMD_WR_MEM = 0x17;
    const std::string txtPtrDST = "PtrDST";
    const std::string txtPtrCMD = "PtrCMD";
    const std::string txtPtrData = "PtrData";
    const std::string txtAnswerByteAddressLow = "AnswerByteAddressLow";
    const std::string txtAnswerByteAddressHigh = "AnswerByteAddressHigh";
    const std::string txtOffset = "Offset";
    const std::string txtResponseLen = ";responselen=";
    const int RESPONSE_CAPACITY = 255;
    const long ADDRESS_AREA = 0x4000;

    long lDst = CommandDstToModuleAddress(StrHexToLong(ChildNodeValue(node, txtPtrDST)));
    if (lDst == NOT_DEFINED) {
        return ParseError(node, timestampDevice, txtPtrDST);
    }
    long lCmd = StrHexToLong(ChildNodeValue(node, txtPtrCMD));
    if (lCmd == NOT_DEFINED) {
        return ParseError(node, timestampDevice, txtPtrCMD, 2);
    }
    long lByteAddressHigh = StrHexToLong(ChildNodeValue(node, txtAnswerByteAddressHigh));
    if (lByteAddressHigh == NOT_DEFINED) {
        return ParseError(node, timestampDevice, txtAnswerByteAddressHigh, 3);
    }
    long lByteAddressLow = StrHexToLong(ChildNodeValue(node, txtAnswerByteAddressLow));
    if (lByteAddressLow == NOT_DEFINED) {
        return ParseError(node, timestampDevice, txtAnswerByteAddressLow, 4);
    }
    std::vector<unsigned char> pData;
    if (HexByteListAppend(ChildNodeValue(node, txtPtrData), pData) != 0) {
        return ParseError(node, timestampDevice, txtPtrData);
    }

    long lAddressBegin = NOT_DEFINED;
    if (device != nullptr) {
        int nStop = StopCheckpoint(node, timestampDevice);
        if (nStop != 0) return nStop;
        std::vector<unsigned char> pResponse(RESPONSE_CAPACITY, 0);
        int nResponseLen = RESPONSE_CAPACITY;
        int nError = device->SendCommand(static_cast<unsigned char>(lCmd & 0xFF),
                                         static_cast<unsigned char>(lDst & 0xFF), MessageData(pData),
                                         static_cast<int>(pData.size()), pResponse.data(), &nResponseLen);
        // Only bytes inside the buffer can be read, whatever length the library reports; an index
        // that is negative or beyond what can be read is not reached by the answer.
        const long nReadable = std::min(std::max(nResponseLen, 0), RESPONSE_CAPACITY);
        bool bReached = lByteAddressLow >= 0 && lByteAddressLow < nReadable && lByteAddressHigh >= 0 &&
                        lByteAddressHigh < nReadable;
        bool bRead = nError == 0 && bReached;
        AddAttribute(node, timestampDevice,
                     (bRead ? txtRESULT : txtERROR) + ToHex(nError) + txtResponseLen + ToHex(nResponseLen));
        if (!bRead) return 5;
        // Bit 14 is set by OR: the start address always lies in the area from 0x4000 up.
        lAddressBegin = ADDRESS_AREA |
                        (static_cast<long>(pResponse[static_cast<size_t>(lByteAddressHigh)]) << 8) |
                        pResponse[static_cast<size_t>(lByteAddressLow)];
    }
    CountStep(current, total);

    // A failed block write is recorded on its Data child and the element's other blocks are still
    // written, but the keyboard then counts as not written: the pass ends after this element.
    return WriteDataBlocks(node, timestampDevice, device, current, total, txtOffset, lAddressBegin,
                           MID_MSGT_CMD_WR_MEM, MID_ADDR_MASTER, false, false);
}
