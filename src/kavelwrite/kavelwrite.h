// kavelwrite's own code: its command line, the device loop that writes every attached keyboard, and
// the program's entry.
#ifndef KAVELWRITE_KAVELWRITE_H
#define KAVELWRITE_KAVELWRITE_H

#include <pugixml.hpp>

#include <string>

class KavelHidDevice;

// ---- args.cpp

// What the command line asks for.
struct RunArguments {
    bool bWriteLogfile = false;
    bool bOverlapResets = false;
    bool bVerify = false;
    bool bRecord = false;    // --record was given
    std::string sRecordFile; // the file it names; empty when none follows it
    std::string filename;    // the script: the first argument that is no option
};

// Reads the command line: the options anywhere, the first other argument as the script; a further
// argument is ignored.
RunArguments ReadArguments(int argc, char* argv[]);

// ---- keyboard.cpp

// How kavelwrite writes each keyboard: whether it pauses for the reset wait (without, the wait's
// steps are counted at once), whether it reads back before the reset, and the script and its
// encoding, where what the read-back says is placed.
struct KeyboardRun {
    bool bWaitReset = true;
    bool bVerify = false;
    std::string filename;
    pugi::xml_encoding encoding = pugi::encoding_auto;
};
// Opens, identifies and writes keyboard i (a null device counts as one that does not open);
// prints its block and returns its outcome as an exit code, 0 only when the keyboard was reset.
int WriteKeyboard(KavelHidDevice* device, int i, pugi::xml_node root, const std::string& stampTime,
                  int* current, int* total, const KeyboardRun& run = KeyboardRun());

// ---- run.cpp

// Loads and checks the script, writes it into every attached keyboard and saves the log file;
// returns the exit status. nRecordError is what starting the recording of --record gave.
int WriteScriptFile(const RunArguments& args, int nRecordError);

// ---- kavelwrite.cpp

// Runs the whole program; returns the exit status.
int kxbMain(int argc, char* argv[]);

#endif
