// The BinMemory element: blocks written at absolute addresses, with the message type and the bus
// address that the script gives.
#include "writers.h"

#include "driver.h"

// Returns 0 when every block was written (or valid, in the check pass), RESULT_FIELD_INVALID,
// RESULT_BLOCK_FAILED when a block write failed, RESULT_INTERRUPTED when a stop came before a block.
int kxbBinMemory(pugi::xml_node node, std::string timestampDevice, KavelHidDevice* device, int* current,
                 int* total) {
    const std::string txtDST = "DST";
    const std::string txtCMD = "CMD";
    const std::string txtAddress = "Address";

    // DST is a bus address as it stands, not a module number: only its low 8 bits are sent.
    long lDst = StrHexToLong(ChildNodeValue(node, txtDST));
    if (lDst == NOT_DEFINED) {
        return ParseError(node, timestampDevice, txtDST);
    }
    long lCmd = StrHexToLong(ChildNodeValue(node, txtCMD));
    if (lCmd == NOT_DEFINED) {
        return ParseError(node, timestampDevice, txtCMD);
    }
    // Addresses are absolute: the blocks are placed from address 0.
    return WriteDataBlocks(node, timestampDevice, device, current, total, txtAddress, 0,
                           static_cast<unsigned char>(lCmd & 0xFF), static_cast<unsigned char>(lDst & 0xFF),
                           BLOCKS_STOP_AT_FAILURE);
}
