// kxb backup: a script that puts back what one keyboard holds now under every byte that a script
// writes, found with reads only, so that a write can be taken back.
#include "kxb.h"

#include "driver.h"
#include "hidlink.h"
#include "kavelhidapi.h"

#include <getopt.h>
#include <iostream>

const char* const txtUsageBackup =
    "Usage: kxb backup [--keyboard N] [--output FILE] [--send-pointer-commands] [--record FILE]\n"
    "                  SCRIPT\n"
    "\n"
    "Reads what a keyboard holds now under every byte that SCRIPT writes and prints a kxb script\n"
    "that writes it back: a Device element that the keyboard suits, then one BinMemory element per\n"
    "unit. Running it with kavelwrite after SCRIPT leaves the keyboard's memory as it was. The\n"
    "keyboard is identified and matched as kavelwrite does; then only memory reads are sent.\n"
    "\n"
    "  --keyboard N             the keyboard to back up, by the index kavelwrite prints (needed\n"
    "                           when more than one is attached)\n"
    "  --output FILE            write the backup to FILE, whole or not at all, not to standard output\n"
    "  --send-pointer-commands  send the pointer command of every IntEep_CommandPtr element, so\n"
    "                           that its blocks can be backed up (only for commands that only read)\n"
    "  --record FILE            record every call into the keyboard library in FILE (replaced)\n"
    "  --help                   show this help\n"
    "\n"
    "Exit status: 0 every block is backed up; 167 the backup lacks blocks (each is named); 160 the\n"
    "script fails the check; 161 no keyboard to back up; 162, 163, 164 (a read failed) or 165 (it\n"
    "does not suit the script): nothing is printed; 168 no script named; 169 the script does not\n"
    "load; 170 the recording cannot be made; 1 the backup could not be written to FILE; 2 a wrong\n"
    "option or keyboard.\n";

namespace {

const int BACKUP_NOT_SAVED = 1;

// Appends what the keyboard held, one BinMemory element per unit and one Data child per run.
void AppendHeld(pugi::xml_node root, const std::vector<KxbHeldRun>& arHeld) {
    pugi::xml_node binMemory;
    int nUnit = -1;
    for (const KxbHeldRun& run : arHeld) {
        if (run.nUnit != nUnit) {
            nUnit = run.nUnit;
            binMemory = root.append_child("BinMemory");
            binMemory.append_child("DST").text().set(KxbUpperHex(nUnit).c_str());
            binMemory.append_child("CMD").text().set(KxbUpperHex(MID_MSGT_CMD_WR_MEM).c_str());
        }
        pugi::xml_node data = binMemory.append_child("Data");
        data.append_attribute("Address").set_value(KxbUpperHex(run.nAddress).c_str());
        data.text().set(KxbByteListText(run.pBytes).c_str());
    }
}

} // namespace

int KxbBackup(int argc, char* argv[]) {
    KxbReadOptions options;
    pugi::xml_document script;
    pugi::xml_encoding encoding = pugi::encoding_auto;
    int nStatus = KxbReadBackScript(argc, argv, txtUsageBackup, true, &options, script, &encoding);
    if (nStatus >= 0) return nStatus;
    const std::string& filename = options.sScript;

    // One keyboard, kept as the list that blocks are placed from.
    std::vector<KeyboardReadBack> keyboards(1);
    KeyboardReadBack& readback = keyboards.front();
    ProbeKeyboard identity;
    int nIndex = options.nKeyboard < 0 ? 0 : options.nKeyboard;
    {
        HidEnumerator hid = HidCreate();
        int nCount = HidEnumerate(hid.get());
        if (nCount <= 0) {
            std::cerr << "kxb backup: "
                      << (nCount < 0 ? txtNO_DEVICE : "no keyboard attached: nothing to back up")
                      << std::endl;
            return ERR_ERROR_NO_DEVICE;
        }
        // A backup belongs to one keyboard: with several, the user says which.
        if (options.nKeyboard < 0 && nCount > 1) {
            std::cerr << "kxb backup: " << nCount << " keyboards are attached: name one with --keyboard N"
                      << std::endl;
            return KXB_USAGE_ERROR;
        }
        if (nIndex >= nCount) {
            std::cerr << "kxb backup: there is no keyboard " << nIndex << ": " << nCount
                      << (nCount == 1 ? " keyboard is" : " keyboards are") << " attached" << std::endl;
            return KXB_USAGE_ERROR;
        }
        KavelHidDevice* device = HidGetDevice(hid.get(), nIndex);
        nStatus =
            KxbOpenAndReadBack(script.first_child(), device, nIndex, options.bSendPointerCommands, &readback);
        // What the keyboard holds is expected to differ from the script before it is written.
        if (nStatus == ERR_ERROR_DEVICE_DIFFERS) nStatus = 0;
        // The Device element of the backup names exactly this keyboard, as kxb probe reads it.
        if (nStatus == 0) {
            KxbReadIdentity(device, &identity);
            nStatus = identity.nStatus;
        }
    }

    KxbPlaceBlocks(filename, encoding, keyboards);
    const std::string sDevice = "device" + std::to_string(nIndex) + ": ";
    if (nStatus != 0) {
        // A backup of bytes that could not all be read would put back bytes nobody read.
        for (const KxbBlock& block : readback.arBlock) {
            if (block.nState != BLOCK_UNREADABLE) continue;
            std::cerr << KxbPlaceText(filename, block.position) << ": " << sDevice
                      << "unreadable: " << block.node.name() << ": " << block.sReason << std::endl;
        }
        std::cerr << "kxb backup: " << sDevice.substr(0, sDevice.size() - 1)
                  << KxbKeyboardFailure(nStatus, readback.nLibraryStatus) << ": no backup made" << std::endl;
        return nStatus;
    }

    pugi::xml_document backup;
    // Editors validate the backup against the schema it names; kavelwrite passes over the line.
    pugi::xml_node model = backup.append_child(pugi::node_pi);
    model.set_name("xml-model");
    model.set_value(KxbSchemaModel(KxbSchemaLocation()).c_str());
    backup.append_child(pugi::node_comment)
        .set_value((" kxb backup of " + sDevice + "what it held under every byte that " + filename +
                    " writes. Run it with kavelwrite after that script to put those bytes back. ")
                       .c_str());
    pugi::xml_node root = backup.append_child("XML_BIN_FILE");
    KxbAppendDeviceElement(root, {identity});
    bool bIncomplete = false;
    for (const KxbBlock& block : readback.arBlock) {
        if (block.nState != BLOCK_NOT_VERIFIED) continue;
        const std::string sPlace = KxbPlaceText(filename, block.position);
        const std::string sCommand = "Command";
        // A command's effects are not bytes: no backup can take them back, nor lacks them.
        if (sCommand == block.node.name()) {
            std::cerr << sPlace << ": " << sDevice << "not undone: Command: " << block.sReason
                      << ": a backup cannot take it back" << std::endl;
            continue;
        }
        bIncomplete = true;
        const std::string sLack = sPlace + ": " + block.node.name() + ": " + block.sReason;
        std::cerr << sPlace << ": " << sDevice << "not backed up: " << block.node.name() << ": "
                  << block.sReason << std::endl;
        root.append_child(pugi::node_comment).set_value((" not backed up: " + sLack + " ").c_str());
    }
    AppendHeld(root, readback.arHeld);

    if (options.sOutput.empty()) {
        pugi::xml_writer_stream writer(std::cout);
        WriteDocumentText(backup, writer);
        std::cout << std::flush;
    } else if (!SaveDocumentWhole(backup, options.sOutput)) {
        std::cerr << "kxb backup: cannot write " << options.sOutput << std::endl;
        return BACKUP_NOT_SAVED;
    }
    return bIncomplete ? ERR_ERROR_DEVICE_DIFFERS : 0;
}
