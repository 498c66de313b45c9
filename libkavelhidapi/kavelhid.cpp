// The library's public face: the version query and the enumerator of virtual keyboards.
#include "virtual_keyboard.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kavelvk {

namespace {

const int DEFAULT_VERSION[3] = {1, 0, 0};

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

void Load(Library* library) {
    library->simulationPath = EnvironmentValue("KAVELHID_SIMULATION");
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
    library->savePath = EnvironmentValue("KAVELHID_SIMULATION_SAVE");
}

} // namespace

Library& TheLibrary() {
    static Library library;
    // The file is read once per process, at whichever call comes first.
    static const bool bLoaded = (Load(&library), true);
    (void)bLoaded;
    return library;
}

} // namespace kavelvk

using kavelvk::Library;
using kavelvk::TheLibrary;

int HIDGetLibraryVersion(int* major, int* minor, int* build) {
    Library& library = TheLibrary();
    const int* arVersion = library.simulation ? library.simulation->libraryVersion : kavelvk::DEFAULT_VERSION;
    if (major != nullptr) *major = arVersion[0];
    if (minor != nullptr) *minor = arVersion[1];
    if (build != nullptr) *build = arVersion[2];
    return 0;
}

KavelHid::KavelHid() : state(std::make_unique<KavelHidState>()) {
    state->library = &TheLibrary();
    state->origin = std::chrono::steady_clock::now();
    Library& library = *state->library;
    if (!library.simulation) return;
    kavelvk::Tracer* tracer = library.tracer.Enabled() ? &library.tracer : nullptr;
    const std::vector<std::unique_ptr<kavelvk::Keyboard>>& keyboards = library.simulation->keyboards;
    for (std::size_t i = 0; i < keyboards.size(); ++i) {
        state->devices.push_back(std::make_unique<kavelvk::VirtualKeyboard>(
            keyboards[i].get(), static_cast<int>(i), tracer, &state->origin));
    }
}

KavelHid::~KavelHid() {
    for (const std::unique_ptr<kavelvk::VirtualKeyboard>& device : state->devices) device->Close();
    Library& library = *state->library;
    if (library.simulation && !library.savePath.empty() && !library.simulation->Save(library.savePath)) {
        kavelvk::Report(library.savePath, "cannot save the simulation");
    }
}

int KavelHid::Enumerate() {
    state->bEnumerated = true;
    int nCount = Count();
    state->library->tracer.Enumerate(kavelvk::ElapsedMs(&state->origin), nCount);
    // A file that could not be used is a failed scan; otherwise the scan itself succeeded.
    return state->library->bInvalid ? -1 : 0;
}

int KavelHid::Count() {
    const Library& library = *state->library;
    if (library.bInvalid) return -1;
    if (!state->bEnumerated || !library.simulation) return 0;
    return library.simulation->count;
}

KavelHidDevice* KavelHid::GetDevice(unsigned int index) {
    int nCount = Count();
    if (nCount <= 0 || index >= static_cast<unsigned int>(nCount)) return nullptr;
    return state->devices[index].get();
}
