// The BinMemory element: blocks written at absolute addresses, with the message type and the bus
// address that the script gives.
#include "writers.h"

#include "driver.h"

// Returns 0 when every block was written (or valid, in the check pass), RESULT_FIELD_INVALID,
// RESULT_BLOCK_FAILED when a block write failed, RESULT_INTERRUPTED when a stop came before a block.
int kxbBinMemory(pugi::xml_node node, std::string timestampDevice, KavelHidDevice* device, int* current,
                 int* total) {
    const std::string txtAddress = "Address";

    // DST is a bus address as it stands, not a module number.
    unsigned char dst = 0;
    unsigned char cmd = 0;
    int nFields =
        ReadMessageFields(node, timestampDevice, "DST", false, "CMD", RESULT_FIELD_INVALID, &dst, &cmd);
    if (nFields != 0) return nFields;
    // Addresses are absolute: the blocks are placed from address 0.
    return WriteDataBlocks(node, timestampDevice, device, current, total, txtAddress, 0, cmd, dst,
                           BLOCKS_STOP_AT_FAILURE);
}
