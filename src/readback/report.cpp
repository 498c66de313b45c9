// What is said of a read-back: where each block stands in the script, the line of a block that is
// no match, and the annotation of a block that was read.
#include "readback.h"

namespace {

// "unit 2, 4 bytes at 4000", the place of a block as a script writes its numbers.
std::string BlockPlace(const KxbBlock& block) {
    return "unit " + KxbUpperHex(block.nUnit) + ", " + std::to_string(block.nLength) +
           (block.nLength == 1 ? " byte at " : " bytes at ") + KxbUpperHex(block.nAddress);
}

} // namespace

const char* KxbBlockStateText(int nState) {
    static const char* const txtStates[] = {"match", "differ", "skipped", "not verified", "unreadable"};
    return nState >= 0 && nState <= BLOCK_UNREADABLE ? txtStates[nState] : "";
}

void KxbPlaceBlocks(const std::string& filename, pugi::xml_encoding encoding,
                    std::vector<KeyboardReadBack>& keyboards) {
    std::vector<KxbBlock*> blocks;
    std::vector<ptrdiff_t> offsets;
    for (KeyboardReadBack& readback : keyboards) {
        for (KxbBlock& block : readback.arBlock) {
            blocks.push_back(&block);
            offsets.push_back(block.node.offset_debug());
        }
    }
    // A file that cannot be read again gives no positions: every block stays unplaced.
    std::vector<KxbPosition> positions = KxbPlaceOffsets(filename, encoding, offsets);
    for (size_t i = 0; i < positions.size() && i < blocks.size(); i++) blocks[i]->position = positions[i];
}

std::string KxbBlockLine(const std::string& filename, int i, const KxbBlock& block) {
    std::string sLine = KxbPlaceText(filename, block.position);
    sLine += ": device" + std::to_string(i) + ": " + KxbBlockStateText(block.nState) + ": " +
             block.node.name() + ": ";
    if (block.bPlaced) sLine += BlockPlace(block) + ": ";
    if (block.nState != BLOCK_DIFFER) return sLine + block.sReason;
    return sLine + std::to_string(block.nDifferences) +
           (block.nDifferences == 1 ? " byte differs" : " bytes differ") + ", the first at " +
           KxbUpperHex(block.nFirstAddress) + ": the keyboard holds " + KxbTwoDigits(block.nFirstKeyboard) +
           ", the script leaves " + KxbTwoDigits(block.nFirstScript);
}

std::string KxbBlockAnnotation(const KxbBlock& block) {
    if (block.nState == BLOCK_DIFFER) {
        return std::string(KxbBlockStateText(block.nState)) + ";bytes=" + KxbUpperHex(block.nDifferences) +
               ";first=" + KxbUpperHex(block.nFirstAddress) +
               ";keyboard=" + KxbTwoDigits(block.nFirstKeyboard) +
               ";script=" + KxbTwoDigits(block.nFirstScript);
    }
    if (block.nState == BLOCK_UNREADABLE)
        return std::string(KxbBlockStateText(block.nState)) + ";" + block.sStatus;
    return KxbBlockStateText(block.nState);
}
