// Any bytes as a kxb script: the check pass, and after a passed check a write pass on a virtual
// keyboard with modules of every family. Besides the sanitizers, a passed write pass must advance
// the progress by exactly the total the check pass counted.
#include "driver.h"
#include "kavelhidapi.h"

#include <cstdint>
#include <cstdlib>
#include <iostream>

namespace {

struct NullWriter : pugi::xml_writer {
    size_t nWritten = 0;
    void write(const void*, size_t size) override { nWritten += size; }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("KAVELHID_SIMULATION", FUZZ_KEYBOARD, 1);
    unsetenv("KAVELHID_TRACE");
    unsetenv("KAVELHID_SIMULATION_SAVE");
    // The progress line is of no interest here.
    std::cout.rdbuf(nullptr);
    int nMajor = 0, nMinor = 0, nBuild = 0;
    HIDGetLibraryVersion(&nMajor, &nMinor, &nBuild);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pugi::xml_document doc;
    if (!doc.load_buffer(data, size, pugi::parse_default, pugi::encoding_auto)) return 0;
    if (DocumentDepth(doc) > SCRIPT_DEPTH_MAX) return 0;

    const std::string stampTime = "t20261208011631";
    pugi::xml_node root = doc.first_child();
    int current = 0;
    int total = 0;
    int result = kxbCheckWrite(root, stampTime, nullptr, &current, &total);
    if (result == 0) {
        total = current;
        KavelHid hid;
        hid.Enumerate();
        KavelHidDevice* device = hid.GetDevice(0);
        if (device == nullptr || device->Open() != 0 || device->EnumerateModules() != 0) std::abort();
        current = 0;
        result = kxbCheckWrite(root, stampTime + "_device0", device, &current, &total);
        if (result == 0 && current != total) std::abort();
    }
    NullWriter writer;
    doc.save(writer, "\t", pugi::format_indent, pugi::encoding_auto);
    return 0;
}
