// Writes a kxb script of about a given size with a realistic mix of elements, and the virtual
// keyboard that suits it, then prints one line saying what a write pass of the script sends.
//
//   kxb_generate SCRIPT KEYBOARD BYTES [SEED]
//
// The script holds the Device element of the keyboard, then Command, IntEep, IntEep_CommandPtr and
// BinMemory elements until it reaches BYTES (0 gives a script with the Device element only). Every
// element is valid and every message succeeds on the keyboard, so a write pass sends all of them.
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// What the script makes a write pass do.
struct ScriptCounts {
    std::uint64_t nBytes = 0;
    std::uint64_t nCommands = 0;
    std::uint64_t nIntEep = 0;
    std::uint64_t nCommandPtr = 0;
    std::uint64_t nBinMemory = 0;
    std::uint64_t nDataBlocks = 0;
    std::uint64_t nDataBytes = 0;
};

// The identity reads of a keyboard with one configured module: version and configuration of the
// controller, version of the module in slot 0.
const std::uint64_t IDENTITY_MESSAGES = 3;
// The reset message after the last element.
const std::uint64_t RESET_MESSAGES = 1;
// The steps of the reset wait that every pass counts.
const std::uint64_t RESET_STEPS = 39;

const char txtKeyboard[] = R"(<?xml version="1.0" encoding="utf-8"?>
<!-- The benchmark keyboard: a controller and one module in slot 0. Written by kxb_generate. -->
<KavelSimulation>
	<Keyboard>
		<Controller>
			<Version>11 01 02 03 00</Version>
			<Config>66 00</Config>
		</Controller>
		<Module Slot="0">
			<Version>66 02 01 CE 12</Version>
		</Module>
		<!-- IntEep base address 4000 in the pointer at 1000; no element writes below 4000 -->
		<Memory Unit="2" Address="1000">00 40</Memory>
		<!-- The IntEep_CommandPtr pointer command: start address 4100 -->
		<Answer Cmd="30" Dst="2">07 00 41</Answer>
	</Keyboard>
</KavelSimulation>
)";

const char txtHead[] = R"(<?xml version="1.0" encoding="utf-8"?>
<!-- A benchmark script written by kxb_generate: many writer elements of every kind. -->
<XML_BIN_FILE>
	<General><Description>Benchmark script</Description></General>
	<Device>
		<Controller><Module Id="11"><Version>01.02.03</Version></Module></Controller>
		<Module0><Module Id="66"><Version>02.01.ce</Version></Module></Module0>
		<Module1><Module Id="xx"><Version>xx.xx.xx</Version></Module></Module1>
		<Module2><Module Id="xx"><Version>xx.xx.xx</Version></Module></Module2>
		<Module3><Module Id="xx"><Version>xx.xx.xx</Version></Module></Module3>
		<Module4><Module Id="xx"><Version>xx.xx.xx</Version></Module></Module4>
		<Module5><Module Id="xx"><Version>xx.xx.xx</Version></Module></Module5>
		<Module6><Module Id="xx"><Version>xx.xx.xx</Version></Module></Module6>
		<Module7><Module Id="xx"><Version>xx.xx.xx</Version></Module></Module7>
		<Module8><Module Id="xx"><Version>xx.xx.xx</Version></Module></Module8>
		<Module9><Module Id="xx"><Version>xx.xx.xx</Version></Module></Module9>
		<Module10><Module Id="xx"><Version>xx.xx.xx</Version></Module></Module10>
		<Module11><Module Id="xx"><Version>xx.xx.xx</Version></Module></Module11>
		<Module12><Module Id="xx"><Version>xx.xx.xx</Version></Module></Module12>
		<Module13><Module Id="xx"><Version>xx.xx.xx</Version></Module></Module13>
	</Device>
)";

const char txtTail[] = "</XML_BIN_FILE>\n";

// splitmix64: the same seed gives the same script on every machine.
std::uint64_t NextRandom(std::uint64_t* state) {
    std::uint64_t z = (*state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// A number from low to high inclusive.
unsigned RandomBetween(std::uint64_t* state, unsigned low, unsigned high) {
    return low + static_cast<unsigned>(NextRandom(state) % (high - low + 1));
}

void AppendHex(std::string* out, long value) {
    char field[24];
    if (value < 0) {
        std::snprintf(field, sizeof field, "-%lX", static_cast<unsigned long>(-value));
    } else {
        std::snprintf(field, sizeof field, "%lX", static_cast<unsigned long>(value));
    }
    *out += field;
}

// A hex byte list of n random bytes as people write them: mostly upper case with blanks, now and
// then lower case, or dashes or commas between the bytes.
void AppendByteList(std::string* out, std::uint64_t* state, unsigned n) {
    static const char upperDigits[] = "0123456789ABCDEF";
    static const char lowerDigits[] = "0123456789abcdef";
    unsigned nStyle = RandomBetween(state, 0, 15);
    const char* digits = nStyle == 0 ? lowerDigits : upperDigits;
    char separator = nStyle == 1 ? '-' : nStyle == 2 ? ',' : ' ';
    std::uint64_t bits = 0;
    for (unsigned i = 0; i < n; ++i) {
        if (i % 8 == 0) bits = NextRandom(state);
        unsigned value = static_cast<unsigned>(bits & 0xFF);
        bits >>= 8;
        if (i > 0) out->push_back(separator);
        out->push_back(digits[value >> 4]);
        out->push_back(digits[value & 0x0F]);
    }
}

// A Data child of 16 to 256 bytes with its address attribute.
void AppendDataBlock(std::string* out, std::uint64_t* state, const char* attribute, long lAddress,
                     ScriptCounts* counts) {
    unsigned n = RandomBetween(state, 16, 256);
    *out += "\t\t<Data ";
    *out += attribute;
    *out += "=\"";
    AppendHex(out, lAddress);
    *out += "\">";
    AppendByteList(out, state, n);
    *out += "</Data>\n";
    counts->nDataBlocks += 1;
    counts->nDataBytes += n;
}

// A message of the script's own choice, to the controller (DST F) or the module in slot 0 (DST 0).
// Type 17 writes memory and so carries an address that no other element's pointer lies at.
void AppendCommand(std::string* out, std::uint64_t* state, ScriptCounts* counts) {
    static const char* const arCmd[] = {"20", "21", "30", "31", "17"};
    unsigned nCmd = RandomBetween(state, 0, 4);
    *out += "\t<Command>\n\t\t<DST>";
    *out += RandomBetween(state, 0, 3) == 0 ? "0" : "F";
    *out += "</DST>\n\t\t<CMD>";
    *out += arCmd[nCmd];
    *out += "</CMD>\n";
    if (nCmd == 4) {
        unsigned lAddress = RandomBetween(state, 0x6000, 0xEF00);
        char field[8];
        std::snprintf(field, sizeof field, "%02X %02X ", lAddress & 0xFF, lAddress >> 8);
        *out += "\t\t<Data>";
        *out += field;
        AppendByteList(out, state, RandomBetween(state, 1, 16));
        *out += "</Data>\n";
    } else if (RandomBetween(state, 0, 2) != 0) {
        *out += "\t\t<Data>";
        AppendByteList(out, state, RandomBetween(state, 1, 16));
        *out += "</Data>\n";
    }
    *out += "\t</Command>\n";
    counts->nCommands += 1;
}

// Blocks relative to the base address 4000 that the pointer at 1000 holds.
void AppendIntEep(std::string* out, std::uint64_t* state, ScriptCounts* counts) {
    *out += "\t<IntEep>\n\t\t<PtrAddress>1000</PtrAddress>\n";
    unsigned nBlocks = RandomBetween(state, 1, 4);
    for (unsigned i = 0; i < nBlocks; ++i) {
        AppendDataBlock(out, state, "Offset", 0x10L * RandomBetween(state, 0, 0xFF), counts);
    }
    *out += "\t</IntEep>\n";
    counts->nIntEep += 1;
}

// Blocks relative to the start address 4100 that the pointer command returns; some offsets are
// negative, none is -1.
void AppendCommandPtr(std::string* out, std::uint64_t* state, ScriptCounts* counts) {
    *out += "\t<IntEep_CommandPtr>\n\t\t<PtrDST>F</PtrDST>\n\t\t<PtrCMD>30</PtrCMD>\n";
    if (RandomBetween(state, 0, 1) == 0) *out += "\t\t<PtrData>01</PtrData>\n";
    *out += "\t\t<AnswerByteAddressLow>1</AnswerByteAddressLow>\n";
    *out += "\t\t<AnswerByteAddressHigh>2</AnswerByteAddressHigh>\n";
    unsigned nBlocks = RandomBetween(state, 1, 4);
    for (unsigned i = 0; i < nBlocks; ++i) {
        AppendDataBlock(out, state, "Offset", 0x10L * RandomBetween(state, 0, 0x10F) - 0x100, counts);
    }
    *out += "\t</IntEep_CommandPtr>\n";
    counts->nCommandPtr += 1;
}

// Blocks at absolute addresses of the controller or of the module in slot 0, far from the pointer.
void AppendBinMemory(std::string* out, std::uint64_t* state, ScriptCounts* counts) {
    *out += "\t<BinMemory>\n\t\t<DST>";
    *out += RandomBetween(state, 0, 1) == 0 ? "2" : "4";
    *out += "</DST>\n\t\t<CMD>17</CMD>\n";
    unsigned nBlocks = RandomBetween(state, 1, 4);
    for (unsigned i = 0; i < nBlocks; ++i) {
        AppendDataBlock(out, state, "Address", 0x10L * RandomBetween(state, 0x600, 0xEF0), counts);
    }
    *out += "\t</BinMemory>\n";
    counts->nBinMemory += 1;
}

// One element: half of them Command elements, the rest blocks of the three memory writers.
void AppendElement(std::string* out, std::uint64_t* state, ScriptCounts* counts) {
    unsigned nKind = RandomBetween(state, 0, 19);
    if (nKind < 10) {
        AppendCommand(out, state, counts);
    } else if (nKind < 13) {
        AppendIntEep(out, state, counts);
    } else if (nKind < 16) {
        AppendCommandPtr(out, state, counts);
    } else {
        AppendBinMemory(out, state, counts);
    }
}

int WriteAll(std::FILE* file, const std::string& text) {
    return std::fwrite(text.data(), 1, text.size(), file) == text.size() ? 0 : 1;
}

int WriteKeyboard(const char* path) {
    std::FILE* file = std::fopen(path, "w");
    if (file == nullptr) return 1;
    int nError = WriteAll(file, txtKeyboard);
    if (std::fclose(file) != 0) nError = 1;
    return nError;
}

int WriteScript(const char* path, std::uint64_t nTarget, std::uint64_t seed, ScriptCounts* counts) {
    std::FILE* file = std::fopen(path, "w");
    if (file == nullptr) return 1;
    std::uint64_t state = seed;
    std::string sChunk = txtHead;
    std::uint64_t nWritten = 0;
    std::uint64_t nElements = 0;
    int nError = 0;
    const std::uint64_t nTail = sizeof txtTail - 1;
    while (nError == 0 && nWritten + sChunk.size() + nTail < nTarget) {
        // Now and then a comment, which the parser drops.
        if (nElements % 64 == 63) sChunk += "\t<!-- block " + std::to_string(nElements / 64) + " -->\n";
        AppendElement(&sChunk, &state, counts);
        ++nElements;
        if (sChunk.size() >= (1u << 16)) {
            nError = WriteAll(file, sChunk);
            nWritten += sChunk.size();
            sChunk.clear();
        }
    }
    sChunk += txtTail;
    if (nError == 0) nError = WriteAll(file, sChunk);
    nWritten += sChunk.size();
    if (std::fclose(file) != 0) nError = 1;
    counts->nBytes = nWritten;
    return nError;
}

bool ParseCount(const char* text, std::uint64_t* value) {
    char* pEnd = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(text, &pEnd, 10);
    if (errno != 0 || pEnd == text || *pEnd != '\0' || text[0] == '-') return false;
    *value = n;
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    std::uint64_t nTarget = 0;
    std::uint64_t seed = 20261208;
    if ((argc != 4 && argc != 5) || !ParseCount(argv[3], &nTarget) ||
        (argc == 5 && !ParseCount(argv[4], &seed))) {
        std::fprintf(stderr, "Usage: kxb_generate SCRIPT KEYBOARD BYTES [SEED]\n");
        return 2;
    }
    ScriptCounts counts;
    if (WriteScript(argv[1], nTarget, seed, &counts) != 0) {
        std::fprintf(stderr, "kxb_generate: cannot write %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    if (WriteKeyboard(argv[2]) != 0) {
        std::fprintf(stderr, "kxb_generate: cannot write %s: %s\n", argv[2], std::strerror(errno));
        return 1;
    }
    // Every element of the script sends: a Command one message, IntEep and IntEep_CommandPtr their
    // pointer message, and every Data child one block write.
    std::uint64_t nMessages = IDENTITY_MESSAGES + counts.nCommands + counts.nIntEep + counts.nCommandPtr +
                              counts.nDataBlocks + RESET_MESSAGES;
    std::uint64_t nSteps =
        counts.nCommands + counts.nIntEep + counts.nCommandPtr + counts.nDataBlocks + RESET_STEPS;
    std::printf("bytes=%" PRIu64 " commands=%" PRIu64 " inteep=%" PRIu64 " inteep_commandptr=%" PRIu64
                " binmemory=%" PRIu64 " datablocks=%" PRIu64 " databytes=%" PRIu64 " messages=%" PRIu64
                " steps=%" PRIu64 "\n",
                counts.nBytes, counts.nCommands, counts.nIntEep, counts.nCommandPtr, counts.nBinMemory,
                counts.nDataBlocks, counts.nDataBytes, nMessages, nSteps);
    return 0;
}
