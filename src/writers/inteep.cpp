// The IntEep element: blocks written into the controller's memory relative to a base address
// that the controller keeps in a 16-bit pointer.
#include "writers.h"

#include "driver.h"
#include "kavelhidapi.h"

// Returns 0 when done (also when every block was skipped), 1 for a field that cannot be read, 5
// when the pointer read failed, -1 when a block write failed, RESULT_INTERRUPTED when a stop came
// before a message.
int kxbIntEep(pugi::xml_node node, std::string timestampDevice, KavelHidDevice* device, int* current,
              int* total) {
    const unsigned char MID_ADDR_MASTER = 0x02;
    const unsigned char MID_MSGT_CMD_RD_MEM = 0x16;
    const unsigned char MID_MSGT_CMD_WR_MEM = 0x17;
    const std::string txtPtrAddress = "PtrAddress";
    const std::string txtOffset = "Offset";
    const int RESPONSE_CAPACITY = 255;
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
        MemoryMessageAddress(lPtrAddress, pData, 1);
        pData.push_back(POINTER_BYTES);
        std::vector<unsigned char> pResponse(RESPONSE_CAPACITY, 0);
        int nResponseLen = RESPONSE_CAPACITY;
        int nError = device->SendCommand(MID_MSGT_CMD_RD_MEM, MID_ADDR_MASTER, MessageData(pData),
                                         static_cast<int>(pData.size()), pResponse.data(), &nResponseLen);
        // A pointer is two bytes: a shorter answer is a failure even with status 0.
        bool bRead = nError == 0 && nResponseLen >= POINTER_BYTES;
        AddAttribute(node, timestampDevice, (bRead ? txtRESULT : txtERROR) + ToHex(nError));
        if (!bRead) return 5;
        lAddressBegin = pResponse[0] + 256L * pResponse[1];
    }
    CountStep(current, total);

    // A base address of 0 means the controller has no such area: its blocks are left out.
    bool bSkipped = device != nullptr && lAddressBegin == 0;
    return WriteDataBlocks(node, timestampDevice, device, current, total, txtOffset, lAddressBegin,
                           MID_MSGT_CMD_WR_MEM, MID_ADDR_MASTER, bSkipped, true);
}
