// The library's public face: the version query and the enumerator of virtual keyboards, answered
// from a simulation file or, during a replay, from a recording.
#include "virtual_keyboard.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kavelvk {

namespace {

std::string EnvironmentValue(const char* name) {
    const char* txtValue = std::getenv(name);
    return txtValue == nullptr ? std::string() : std::string(txtValue);
}

// Standard output belongs to the program: the library's diagnostics go to standard error,
// one line each.
void Report(const std::string& path, const std::string& what) {
    std::string sLine = "libkavelhidapi: " + OneLine(path) + ": " + OneLine(what) + "\n";
    std::fputs(sLine.c_str(), stderr);
}

// The program that runs, as a recording's program line names it: the file name of the command
// line's first word, and for kxb its verb. Read from /proc/self/cmdline, which holds the command line
// as it was given, whatever the program did with its own argv since.
std::string RunningProgram() {
    std::FILE* file = std::fopen("/proc/self/cmdline", "rb");
    if (file == nullptr) return "";
    std::string sLine;
    std::vector<char> arBuffer(4096);
    std::size_t nRead = 0;
    while ((nRead = std::fread(arBuffer.data(), 1, arBuffer.size(), file)) > 0)
        sLine.append(arBuffer.data(), nRead);
    std::fclose(file);
    std::string sName = sLine.substr(0, sLine.find('\0'));
    sName = sName.substr(sName.rfind('/') == std::string::npos ? 0 : sName.rfind('/') + 1);
    if (sName != "kxb" || sName.size() + 1 >= sLine.size()) return sName;
    std::string sVerb = sLine.substr(sName.size() + 1);
    sVerb = sVerb.substr(0, sVerb.find('\0'));
    return sVerb.empty() ? sName : sName + " " + sVerb;
}

void Load(Library* library) {
    library->start = std::chrono::steady_clock::now();
    // A replay answers instead of the simulation, and a recording models no memory to save.
    std::string sReplay = EnvironmentValue("KAVELHID_REPLAY");
    if (!sReplay.empty()) {
        auto recording = std::make_unique<::Recording>();
        std::string sError;
        if (RecordingLoadFile(sReplay, recording.get(), &sError) == 0) {
            // A recording that a stopped run left is replayed as far as it goes, but not silently.
            std::string sIncomplete = RecordingIncompleteText(*recording);
            if (!sIncomplete.empty()) std::fputs(("kavelhid replay: " + sIncomplete + "\n").c_str(), stderr);
            library->replay = std::make_unique<Replay>(std::move(recording), stderr, RunningProgram());
        } else {
            library->bInvalid = true;
            Report(sReplay, sError);
        }
    } else {
        library->simulationPath = EnvironmentValue("KAVELHID_SIMULATION");
        library->savePath = EnvironmentValue("KAVELHID_SIMULATION_SAVE");
    }
    if (!library->simulationPath.empty()) {
        auto simulation = std::make_unique<Simulation>();
        std::string sError;
        if (simulation->LoadFile(library->simulationPath, &sError)) {
            library->simulation = std::move(simulation);
        } else {
            library->bInvalid = true;
            Report(library->simulationPath, sError);
        }
    }
    std::string sTrace = EnvironmentValue("KAVELHID_TRACE");
    if (!sTrace.empty() && !library->tracer.Open(sTrace)) {
        Report(sTrace, std::string("cannot open the trace file: ") + std::strerror(errno));
    }
}

} // namespace

Library& TheLibrary() {
    static Library library;
    // The file is read once per process, at whichever call comes first.
    static const bool bLoaded = (Load(&library), true);
    (void)bLoaded;
    return library;
}

long long ClockMs(const Library& library) {
    return library.clock ? library.clock() : ElapsedMs(&library.start);
}

} // namespace kavelvk

using kavelvk::Library;
using kavelvk::ProgramCall;
using kavelvk::TheLibrary;

namespace {

ProgramCall CallOf(int kind) {
    ProgramCall call;
    call.kind = kind;
    return call;
}

} // namespace

int HIDGetLibraryVersion(int* major, int* minor, int* build) {
    Library& library = TheLibrary();
    const int* arVersion =
        library.simulation ? library.simulation->libraryVersion : kavelvk::DEFAULT_LIBRARY_VERSION;
    int nStatus = kavelvk::STATUS_OK;
    if (library.replay && library.replay->Replays(CALL_LIBRARY_VERSION)) {
        const RecordedCall* recorded =
            library.replay->Take(CallOf(CALL_LIBRARY_VERSION), library.replay->TimeOutsideEnumerator());
        if (recorded != nullptr) arVersion = recorded->arVersion;
        nStatus = recorded != nullptr ? recorded->nStatus : kavelvk::STATUS_REPLAY_DIFFERS;
    }
    if (major != nullptr) *major = arVersion[0];
    if (minor != nullptr) *minor = arVersion[1];
    if (build != nullptr) *build = arVersion[2];
    return nStatus;
}

KavelHid::KavelHid() : state(std::make_unique<KavelHidState>()) {
    state->library = &TheLibrary();
    state->origin = std::chrono::steady_clock::now();
    Library& library = *state->library;
    if (library.replay) library.replay->EnumeratorMade(state->origin);
}

KavelHid::~KavelHid() {
    Library& library = *state->library;
    kavelvk::Replay* replay = library.replay.get();
    if (replay != nullptr) {
        // A destructor has no status to return: a Release that differs is only told.
        if (replay->Replays(CALL_RELEASE)) {
            replay->Take(CallOf(CALL_RELEASE), kavelvk::ElapsedMs(&state->origin));
        }
        return;
    }
    for (const auto& device : state->devices) device.second->Close();
    if (!library.simulation) return;
    // The operator unplugs a batch once the enumerator that tried to open its keyboards is gone;
    // an enumerator that only looked at the bus serves nothing.
    if (!library.simulation->batches.empty()) {
        long long nNow = kavelvk::ClockMs(library);
        for (const auto& device : state->devices) {
            if (device.second->OpenTried()) library.simulation->Serve(device.second->Model(), nNow);
        }
    }
    if (!library.savePath.empty() && !library.simulation->SaveChanges(library.savePath)) {
        kavelvk::Report(library.savePath, "cannot save the simulation");
    }
}

int KavelHid::Enumerate() {
    state->bEnumerated = true;
    Library& library = *state->library;
    long long nT = kavelvk::ElapsedMs(&state->origin);
    // A file that could not be used is a failed scan; otherwise the scan itself succeeded.
    int nStatus = library.bInvalid ? -1 : 0;
    state->attached.clear();
    state->count = 0;
    if (library.replay) {
        const RecordedCall* recorded = library.replay->Take(CallOf(CALL_ENUMERATE), nT);
        state->replayCount = recorded != nullptr ? recorded->nCount : -1;
        nStatus = recorded != nullptr ? 0 : kavelvk::STATUS_REPLAY_DIFFERS;
    } else if (library.simulation) {
        kavelvk::Simulation& simulation = *library.simulation;
        simulation.Attached(kavelvk::ClockMs(library), &state->attached);
        state->count =
            simulation.batches.empty() ? simulation.count : static_cast<int>(state->attached.size());
    }
    library.tracer.Enumerate(nT, Count());
    return nStatus;
}

int KavelHid::Count() {
    const Library& library = *state->library;
    if (library.bInvalid) return -1;
    if (!state->bEnumerated) return 0;
    if (library.replay) return state->replayCount;
    return state->count;
}

KavelHidDevice* KavelHid::GetDevice(unsigned int index) {
    int nCount = Count();
    if (nCount <= 0 || index >= static_cast<unsigned int>(nCount)) return nullptr;
    Library& library = *state->library;
    kavelvk::Tracer* tracer = library.tracer.Enabled() ? &library.tracer : nullptr;
    if (library.replay) {
        std::unique_ptr<kavelvk::ReplayKeyboard>& device = state->replayDevices[index];
        if (!device) {
            device = std::make_unique<kavelvk::ReplayKeyboard>(library.replay.get(), static_cast<int>(index),
                                                               tracer, &state->origin);
        }
        return device.get();
    }
    // A Count element never exceeds the keyboards, so the count is never beyond what was found.
    if (!library.simulation || index >= state->attached.size()) return nullptr;
    std::size_t nModel = state->attached[index];
    std::unique_ptr<kavelvk::VirtualKeyboard>& device = state->devices[{index, nModel}];
    if (!device) {
        device = std::make_unique<kavelvk::VirtualKeyboard>(library.simulation->keyboards[nModel].get(),
                                                            static_cast<int>(index), tracer, &state->origin,
                                                            &library);
    }
    return device.get();
}
