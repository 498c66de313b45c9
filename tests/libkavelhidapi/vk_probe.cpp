// Drives the library through its public header only, as kavelwrite does, and prints what it got,
// so that the tests can run it with the library's environment variables set.
//
// Usage: vk_probe [-b LOOKS] [-a LOOKS] [-k INDEX] [-n] [-c] [-x] [MESSAGE...]
//   -b LOOKS  looks at the bus that many times before, as a station does: each with an enumerator
//             of its own that enumerates, counts and opens nothing
//   -a LOOKS  the same after the enumerator that opens the keyboard is destroyed
//   -k INDEX  the keyboard to open (default 0)
//   -n        send the messages without opening the keyboard first
//   -c        close the keyboard after the messages
//   -x        exit after the messages without destroying the enumerator
//   MESSAGE   CMD:DST[:DATA[:CAPACITY]] with CMD and DST in hex, DATA as hex digits without
//             blanks (e.g. 001003), CAPACITY in decimal (empty or absent: 255) or "-" for no answer.
#include "kavelhidapi.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Message {
    unsigned char cmd = 0;
    unsigned char dst = 0;
    std::vector<unsigned char> data;
    bool bAnswer = true;
    int capacity = 255;
};

bool ParseMessage(const std::string& text, Message* message) {
    std::vector<std::string> fields;
    std::size_t nBegin = 0;
    for (;;) {
        std::size_t nColon = text.find(':', nBegin);
        fields.push_back(text.substr(nBegin, nColon - nBegin));
        if (nColon == std::string::npos) break;
        nBegin = nColon + 1;
    }
    if (fields.size() < 2 || fields.size() > 4) return false;
    message->cmd = static_cast<unsigned char>(std::strtoul(fields[0].c_str(), nullptr, 16));
    message->dst = static_cast<unsigned char>(std::strtoul(fields[1].c_str(), nullptr, 16));
    if (fields.size() > 2) {
        const std::string& sData = fields[2];
        if (sData.size() % 2 != 0) return false;
        for (std::size_t i = 0; i < sData.size(); i += 2) {
            message->data.push_back(
                static_cast<unsigned char>(std::strtoul(sData.substr(i, 2).c_str(), nullptr, 16)));
        }
    }
    if (fields.size() > 3 && !fields[3].empty()) {
        if (fields[3] == "-") {
            message->bAnswer = false;
        } else {
            // The answer buffer holds 255 bytes: a larger capacity would be a lie to the library.
            message->capacity = std::min(std::atoi(fields[3].c_str()), 255);
        }
    }
    return true;
}

// Looks at the bus n times, each with a new enumerator, and prints each count.
void Look(int n) {
    for (int i = 0; i < n; ++i) {
        KavelHid hid;
        hid.Enumerate();
        std::printf("look %d\n", hid.Count());
    }
}

std::string Hex(int status) {
    char arText[16];
    std::snprintf(arText, sizeof arText, "%x", static_cast<unsigned>(status));
    return arText;
}

} // namespace

// The enumerator that -x leaves behind: a global, so that the leak checker sees it still reachable.
KavelHid* pKeptEnumerator = nullptr;

int main(int argc, char** argv) {
    // Line by line, so that what was printed survives a signal that ends the probe.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    unsigned int nIndex = 0;
    int nLooksBefore = 0;
    int nLooksAfter = 0;
    bool bOpen = true;
    bool bClose = false;
    bool bKeepEnumerator = false;
    std::vector<Message> messages;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-b") == 0 && i + 1 < argc) {
            nLooksBefore = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "-a") == 0 && i + 1 < argc) {
            nLooksAfter = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "-k") == 0 && i + 1 < argc) {
            nIndex = static_cast<unsigned int>(std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "-n") == 0) {
            bOpen = false;
        } else if (std::strcmp(argv[i], "-c") == 0) {
            bClose = true;
        } else if (std::strcmp(argv[i], "-x") == 0) {
            bKeepEnumerator = true;
        } else {
            Message message;
            if (!ParseMessage(argv[i], &message)) {
                std::fprintf(stderr, "vk_probe: bad message %s\n", argv[i]);
                return 2;
            }
            messages.push_back(message);
        }
    }

    int nMajor = -1;
    int nMinor = -1;
    int nBuild = -1;
    int nVersionStatus = HIDGetLibraryVersion(&nMajor, &nMinor, &nBuild);
    std::printf("version %d.%d.%d", nMajor, nMinor, nBuild);
    if (nVersionStatus != 0) std::printf(" -> %s", Hex(nVersionStatus).c_str());
    std::printf("\n");
    Look(nLooksBefore);
    {
        pKeptEnumerator = new KavelHid;
        KavelHid& hid = *pKeptEnumerator;
        std::printf("count-before %d\n", hid.Count());
        std::printf("enumerate %s\n", Hex(hid.Enumerate()).c_str());
        int nCount = hid.Count();
        std::printf("count %d\n", nCount);
        std::printf("device-at-count %s\n",
                    hid.GetDevice(static_cast<unsigned int>(nCount)) == nullptr ? "null" : "present");
        KavelHidDevice* device = hid.GetDevice(nIndex);
        if (device == nullptr) {
            std::printf("device %u null\n", nIndex);
            delete pKeptEnumerator;
            Look(nLooksAfter);
            return 0;
        }
        if (bOpen) {
            int nStatus = device->Open();
            std::printf("open %s\n", Hex(nStatus).c_str());
            if (nStatus == 0) std::printf("modules %s\n", Hex(device->EnumerateModules()).c_str());
        }
        for (Message& message : messages) {
            // Filled, so that bytes the library did not write show as EE.
            unsigned char arResponse[255];
            std::memset(arResponse, 0xEE, sizeof arResponse);
            int nResponseLen = message.capacity;
            int nStatus = device->SendCommand(
                message.cmd, message.dst, message.data.data(), static_cast<int>(message.data.size()),
                message.bAnswer ? arResponse : nullptr, message.bAnswer ? &nResponseLen : nullptr);
            std::printf("send %02X %02X -> %s", message.cmd, message.dst, Hex(nStatus).c_str());
            if (message.bAnswer) {
                // Never more than the room offered, whatever length the library stored back.
                int nShown = std::max(0, std::min(nResponseLen, message.capacity));
                std::printf(" answer=[");
                for (int i = 0; i < nShown; ++i) std::printf(i == 0 ? "%02X" : " %02X", arResponse[i]);
                std::printf("]");
                if (nResponseLen != nShown) std::printf(" length=%d", nResponseLen);
            }
            std::printf("\n");
        }
        if (bClose) std::printf("close %s\n", Hex(device->Close()).c_str());
        if (bKeepEnumerator) std::exit(0);
        delete pKeptEnumerator;
    }
    Look(nLooksAfter);
    std::printf("done\n");
    return 0;
}
