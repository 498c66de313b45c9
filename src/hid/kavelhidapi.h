// The keyboard maker's HID library as kavelwrite sees it: a version query, an enumerator of the
// attached keyboards and one object per keyboard that carries protocol messages. Every status is
// a signed 32-bit value, 0 for success; any other value is the library's own error code.
#ifndef KAVELHIDAPI_H
#define KAVELHIDAPI_H

#include <memory>

// Fills the library's version numbers; returns 0.
int HIDGetLibraryVersion(int* major, int* minor, int* build);

// One attached keyboard. Owned by the KavelHid enumerator that handed it out; never deleted by
// the caller. The order of the virtual operations is part of the library's binary interface.
class KavelHidDevice {
public:
    // Opens the keyboard for messaging; returns 0 when opened, otherwise the library's status.
    virtual int Open() = 0;
    // Closes the keyboard; returns 0 or the library's status. The enumerator closes on its own.
    virtual int Close() = 0;
    // Sends message type cmd to bus address dst with dataLen bytes of data. With a non-null
    // response, *responseLen holds its capacity on entry and the number of answer bytes copied
    // on return; with a null response no answer is read. Returns 0 or the library's status.
    virtual int SendCommand(unsigned char cmd, unsigned char dst, unsigned char* data, int dataLen,
                            unsigned char* response, int* responseLen) = 0;
    // Learns which modules are plugged in; returns 0 or the library's status.
    virtual int EnumerateModules() = 0;

protected:
    virtual ~KavelHidDevice() = default;
};

struct KavelHidState;

// The enumerator of attached keyboards; it owns every KavelHidDevice it hands out.
class KavelHid {
public:
    KavelHid();
    ~KavelHid();
    KavelHid(const KavelHid&) = delete;
    KavelHid& operator=(const KavelHid&) = delete;

    // Scans for attached keyboards; returns 0 or the library's status.
    int Enumerate();
    // Returns the number of keyboards found by the last Enumerate; negative when none could be
    // looked for.
    int Count();
    // Returns the keyboard with index 0 .. Count() - 1, or null for any other index.
    KavelHidDevice* GetDevice(unsigned int index);

private:
    std::unique_ptr<KavelHidState> state;
};

#endif
