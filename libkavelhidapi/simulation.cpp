// Reading, checking and saving the simulation file.
#include "model.h"

#include <climits>
#include <cstring>
#include <initializer_list>
#include <sstream>
#include <sys/stat.h>

namespace kavelvk {

namespace {

// Comments, processing instructions and the declaration are kept so that a saved simulation
// reads like the original; blank text that is an element's only content is kept so that a byte
// list or number made of blanks is rejected rather than read as empty.
constexpr unsigned PARSE_OPTIONS = pugi::parse_default | pugi::parse_comments | pugi::parse_pi |
                                   pugi::parse_declaration | pugi::parse_doctype |
                                   pugi::parse_ws_pcdata_single;

// A value quoted in a message: at most 40 characters, on one line.
std::string Quote(const char* text) {
    std::string sText(text);
    if (sText.size() > 40) sText = sText.substr(0, 40) + "...";
    return "\"" + OneLine(sText) + "\"";
}

std::string Element(pugi::xml_node node) {
    return std::string("<") + node.name() + ">";
}

bool IsBlank(const char* text) {
    for (; *text != '\0'; ++text) {
        if (std::strchr(" \n\r\t\f\v", *text) == nullptr) return false;
    }
    return true;
}

// Collects the first rule a document breaks, with the byte offset of the node that breaks it.
class Checker {
public:
    explicit Checker(std::string* error) : error(error) {}

    bool Fail(pugi::xml_node node, const std::string& what) {
        *error = what;
        std::ptrdiff_t nOffset = node.offset_debug();
        if (nOffset >= 0) *error += " at byte offset " + std::to_string(nOffset);
        return false;
    }

    // Every attribute must be one of the allowed names, each at most once.
    bool Attributes(pugi::xml_node node, std::initializer_list<const char*> allowed) {
        for (pugi::xml_attribute attribute : node.attributes()) {
            bool bKnown = false;
            for (const char* txtName : allowed)
                bKnown = bKnown || std::strcmp(txtName, attribute.name()) == 0;
            if (!bKnown) {
                return Fail(node,
                            std::string("unknown attribute ") + attribute.name() + " of " + Element(node));
            }
            for (pugi::xml_attribute earlier = node.first_attribute(); earlier != attribute;
                 earlier = earlier.next_attribute()) {
                if (std::strcmp(earlier.name(), attribute.name()) == 0) {
                    return Fail(node, std::string("duplicate attribute ") + attribute.name() + " of " +
                                          Element(node));
                }
            }
        }
        return true;
    }

    bool Required(pugi::xml_node node, const char* name) {
        if (node.attribute(name)) return true;
        return Fail(node, std::string("missing attribute ") + name + " of " + Element(node));
    }

    // The text of an element: no child elements, one piece of text at most (comments may stand
    // around it). Absent text is empty.
    bool Text(pugi::xml_node node, const char** text) {
        *text = "";
        bool bSeenText = false;
        for (pugi::xml_node child : node.children()) {
            if (child.type() == pugi::node_element) return Unknown(node, child);
            if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
                if (bSeenText) return Fail(child, "the text of " + Element(node) + " is split");
                bSeenText = true;
                *text = child.value();
            }
        }
        return true;
    }

    // The text of an element without attributes.
    bool LeafText(pugi::xml_node node, const char** text) { return Attributes(node, {}) && Text(node, text); }

    // Text among the child elements of a container may only be blank.
    bool ContainerText(pugi::xml_node parent, pugi::xml_node child) {
        if (IsBlank(child.value())) return true;
        return Fail(child, "unexpected text " + Quote(child.value()) + " in " + Element(parent));
    }

    // Hands every child element of a container to element, in order, and checks the text among
    // them; comments and other nodes are passed over. False at the first child that fails.
    template <typename ElementFunction> bool Children(pugi::xml_node node, ElementFunction element) {
        for (pugi::xml_node child : node.children()) {
            pugi::xml_node_type type = child.type();
            bool bText = type == pugi::node_pcdata || type == pugi::node_cdata;
            if (type == pugi::node_element && !element(child)) return false;
            if (bText && !ContainerText(node, child)) return false;
        }
        return true;
    }

    bool Once(pugi::xml_node parent, pugi::xml_node child, bool* bSeen) {
        if (!*bSeen) {
            *bSeen = true;
            return true;
        }
        return Fail(child, "duplicate element " + Element(child) + " in " + Element(parent));
    }

    bool Unknown(pugi::xml_node parent, pugi::xml_node child) {
        return Fail(child, "unknown element " + Element(child) + " in " + Element(parent));
    }

    bool StatusText(pugi::xml_node node, int* status) {
        const char* txtValue = nullptr;
        if (!LeafText(node, &txtValue)) return false;
        if (ParseStatus(txtValue, status)) return true;
        return Fail(node, Element(node) + " is not a status: " + Quote(txtValue));
    }

    bool ByteList(pugi::xml_node node, const char* text, std::vector<std::uint8_t>* bytes) {
        if (ParseByteList(text, bytes)) return true;
        return Fail(node, "the text of " + Element(node) + " is not a byte list: " + Quote(text));
    }

    bool LeafBytes(pugi::xml_node node, bool* bSeen, std::vector<std::uint8_t>* bytes,
                   pugi::xml_node parent) {
        const char* txtValue = nullptr;
        return Once(parent, node, bSeen) && LeafText(node, &txtValue) && ByteList(node, txtValue, bytes);
    }

    // An attribute holding a hexadecimal number from lMin to lMax.
    bool Number(pugi::xml_node node, const char* name, long lMin, long lMax, long* value) {
        const char* txtValue = node.attribute(name).value();
        if (ParseHexNumber(txtValue, value) && *value >= lMin && *value <= lMax) return true;
        std::string sRange;
        AppendUpperHex(&sRange, static_cast<unsigned long>(lMin));
        sRange += "..";
        AppendUpperHex(&sRange, static_cast<unsigned long>(lMax));
        return Fail(node, std::string(name) + " of " + Element(node) + " is not a hexadecimal number " +
                              sRange + ": " + Quote(txtValue));
    }

    bool AttributeStatus(pugi::xml_node node, const char* name, int* status) {
        const char* txtValue = node.attribute(name).value();
        if (ParseStatus(txtValue, status)) return true;
        return Fail(node,
                    std::string(name) + " of " + Element(node) + " is not a status: " + Quote(txtValue));
    }

private:
    std::string* error;
};

bool BuildController(pugi::xml_node node, Unit* unit, Checker* checker) {
    if (!checker->Attributes(node, {})) return false;
    return checker->Children(node, [&](pugi::xml_node child) {
        if (std::strcmp(child.name(), "Version") == 0)
            return checker->LeafBytes(child, &unit->bHasVersion, &unit->version, node);
        if (std::strcmp(child.name(), "Config") == 0)
            return checker->LeafBytes(child, &unit->bHasConfig, &unit->config, node);
        return checker->Unknown(node, child);
    });
}

bool BuildModule(pugi::xml_node node, Keyboard* keyboard, Checker* checker) {
    long lSlot = 0;
    if (!checker->Attributes(node, {"Slot"}) || !checker->Required(node, "Slot") ||
        !checker->Number(node, "Slot", 0, MODULE_SLOTS - 1, &lSlot)) {
        return false;
    }
    std::unique_ptr<Unit>& unit = keyboard->units[1 + lSlot];
    if (unit)
        return checker->Fail(node, "duplicate " + Element(node) + " Slot " + node.attribute("Slot").value());
    unit = std::make_unique<Unit>();
    return checker->Children(node, [&](pugi::xml_node child) {
        if (std::strcmp(child.name(), "Version") == 0)
            return checker->LeafBytes(child, &unit->bHasVersion, &unit->version, node);
        if (std::strcmp(child.name(), "SubId") == 0)
            return checker->LeafBytes(child, &unit->bHasSubId, &unit->subId, node);
        if (std::strcmp(child.name(), "Eeprom") == 0)
            return checker->LeafBytes(child, &unit->bHasEeprom, &unit->eeprom, node);
        return checker->Unknown(node, child);
    });
}

bool BuildAnswer(pugi::xml_node node, Keyboard* keyboard, Checker* checker) {
    long lCmd = 0;
    long lDst = 0;
    const char* txtValue = nullptr;
    std::vector<std::uint8_t> answer;
    if (!checker->Attributes(node, {"Cmd", "Dst"}) || !checker->Required(node, "Cmd") ||
        !checker->Required(node, "Dst") || !checker->Number(node, "Cmd", 0, 0xFF, &lCmd) ||
        !checker->Number(node, "Dst", 0, 0xFF, &lDst)) {
        return false;
    }
    if (!checker->Text(node, &txtValue) || !checker->ByteList(node, txtValue, &answer)) return false;
    // The first Answer for a type and address is the one that answers.
    keyboard->answers.emplace(static_cast<unsigned>(lCmd << 8 | lDst), std::move(answer));
    return true;
}

bool BuildInject(pugi::xml_node node, Keyboard* keyboard, Checker* checker) {
    Injection injection;
    long lValue = 0;
    const char* txtValue = nullptr;
    if (!checker->Attributes(node, {"Cmd", "Dst", "Skip", "Count", "Status", "Signal"})) return false;
    if (node.attribute("Cmd")) {
        if (!checker->Number(node, "Cmd", 0, 0xFF, &lValue)) return false;
        injection.bAnyCmd = false;
        injection.cmd = static_cast<std::uint8_t>(lValue);
    }
    if (node.attribute("Dst")) {
        if (!checker->Number(node, "Dst", 0, 0xFF, &lValue)) return false;
        injection.bAnyDst = false;
        injection.dst = static_cast<std::uint8_t>(lValue);
    }
    if (node.attribute("Skip")) {
        if (!checker->Number(node, "Skip", 0, LONG_MAX, &lValue)) return false;
        injection.skip = static_cast<unsigned long>(lValue);
    }
    if (node.attribute("Count")) {
        if (!checker->Number(node, "Count", 0, LONG_MAX, &lValue)) return false;
        injection.bEndless = false;
        injection.count = static_cast<unsigned long>(lValue);
    }
    if (node.attribute("Status") && !checker->AttributeStatus(node, "Status", &injection.status))
        return false;
    if (node.attribute("Signal")) {
        if (!checker->Number(node, "Signal", 1, SIGNAL_MAX, &lValue)) return false;
        injection.signal = static_cast<int>(lValue);
    }
    if (!checker->Text(node, &txtValue) || !checker->ByteList(node, txtValue, &injection.answer)) {
        return false;
    }
    keyboard->injections.push_back(std::move(injection));
    return true;
}

bool BuildMemory(pugi::xml_node node, Keyboard* keyboard, Checker* checker) {
    long lUnit = 0;
    long lAddress = 0;
    const char* txtValue = nullptr;
    std::vector<std::uint8_t> bytes;
    if (!checker->Attributes(node, {"Unit", "Address"}) || !checker->Required(node, "Unit") ||
        !checker->Required(node, "Address") || !checker->Number(node, "Unit", 0, 0xFF, &lUnit) ||
        !checker->Number(node, "Address", 0, 0xFFFF, &lAddress) || !checker->Text(node, &txtValue) ||
        !checker->ByteList(node, txtValue, &bytes)) {
        return false;
    }
    Unit* unit = keyboard->UnitAt(static_cast<unsigned>(lUnit));
    if (unit == nullptr) {
        return checker->Fail(node, "Unit of " + Element(node) +
                                       " is neither the controller (2) nor a module of this keyboard: " +
                                       Quote(node.attribute("Unit").value()));
    }
    unit->WriteMemory(static_cast<std::uint16_t>(lAddress), bytes.data(), bytes.size());
    return true;
}

// A time of the batches plus a delay, both in milliseconds from 0, held at the largest time
// rather than wrapping: a delay of 7FFFFFFFFFFFFFFF ms is for ever.
long long Later(long long time, long long delay) {
    return delay > LLONG_MAX - time ? LLONG_MAX : time + delay;
}

// A delay in milliseconds: PlugAfter or UnplugAfter, absent meaning 0.
bool Delay(pugi::xml_node node, const char* name, long long* delay, Checker* checker) {
    long lValue = 0;
    if (node.attribute(name) && !checker->Number(node, name, 0, LONG_MAX, &lValue)) return false;
    *delay = lValue;
    return true;
}

bool BuildKeyboard(pugi::xml_node node, Keyboard* keyboard, bool bInBatch, Checker* checker) {
    if (!bInBatch && node.attribute("PlugAfter")) {
        return checker->Fail(node,
                             "PlugAfter of " + Element(node) +
                                 " outside a <Batch>: a keyboard outside batches is attached all the time");
    }
    if (!checker->Attributes(node, {"PlugAfter"}) || !Delay(node, "PlugAfter", &keyboard->plugAfter, checker))
        return false;
    keyboard->node = node;
    bool bSeenOpen = false;
    bool bSeenEnumerateModules = false;
    bool bSeenController = false;
    // Memory may name a module declared further down, so it is applied after all modules.
    std::vector<pugi::xml_node> memories;
    bool bChildren = checker->Children(node, [&](pugi::xml_node child) {
        const char* txtName = child.name();
        bool bGood = true;
        if (std::strcmp(txtName, "Open") == 0) {
            bGood =
                checker->Once(node, child, &bSeenOpen) && checker->StatusText(child, &keyboard->openStatus);
        } else if (std::strcmp(txtName, "EnumerateModules") == 0) {
            bGood = checker->Once(node, child, &bSeenEnumerateModules) &&
                    checker->StatusText(child, &keyboard->enumerateModulesStatus);
        } else if (std::strcmp(txtName, "Controller") == 0) {
            bGood = checker->Once(node, child, &bSeenController) &&
                    BuildController(child, keyboard->units[0].get(), checker);
        } else if (std::strcmp(txtName, "Module") == 0) {
            bGood = BuildModule(child, keyboard, checker);
        } else if (std::strcmp(txtName, "Memory") == 0) {
            memories.push_back(child);
        } else if (std::strcmp(txtName, "Answer") == 0) {
            bGood = BuildAnswer(child, keyboard, checker);
        } else if (std::strcmp(txtName, "Inject") == 0) {
            bGood = BuildInject(child, keyboard, checker);
        } else {
            bGood = checker->Unknown(node, child);
        }
        return bGood;
    });
    if (!bChildren) return false;
    for (pugi::xml_node memory : memories) {
        if (!BuildMemory(memory, keyboard, checker)) return false;
    }
    return true;
}

bool BuildBatch(pugi::xml_node node, Simulation* simulation, Checker* checker) {
    Batch batch;
    batch.node = node;
    batch.firstKeyboard = simulation->keyboards.size();
    if (!checker->Attributes(node, {"PlugAfter", "UnplugAfter"}) ||
        !Delay(node, "PlugAfter", &batch.plugAfter, checker) ||
        !Delay(node, "UnplugAfter", &batch.unplugAfter, checker)) {
        return false;
    }
    bool bChildren = checker->Children(node, [&](pugi::xml_node child) {
        if (std::strcmp(child.name(), "Keyboard") != 0) return checker->Unknown(node, child);
        auto keyboard = std::make_unique<Keyboard>();
        keyboard->batch = simulation->batches.size();
        if (!BuildKeyboard(child, keyboard.get(), true, checker)) return false;
        simulation->keyboards.push_back(std::move(keyboard));
        return true;
    });
    if (!bChildren) return false;
    batch.keyboardCount = simulation->keyboards.size() - batch.firstKeyboard;
    // Only opening one of its keyboards serves a batch, and the next comes only after it.
    if (batch.keyboardCount == 0) {
        return checker->Fail(node, "<Batch> holds no <Keyboard>: it could never be served, so no batch "
                                   "after it would be plugged in");
    }
    simulation->batches.push_back(batch);
    return true;
}

std::string LoadError(const pugi::xml_parse_result& result) {
    std::string sError = result.description();
    if (result.status != pugi::status_file_not_found && result.status != pugi::status_io_error &&
        result.status != pugi::status_out_of_memory) {
        sError += " at byte offset " + std::to_string(result.offset);
    }
    return sError;
}

} // namespace

bool Simulation::LoadFile(const std::string& path, std::string* error) {
    // A folder opens like a file, and the parser would blame its size on a lack of memory.
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        *error = "Is a folder, not a simulation file";
        return false;
    }
    pugi::xml_parse_result result = document.load_file(path.c_str(), PARSE_OPTIONS);
    if (!result) {
        *error = LoadError(result);
        return false;
    }
    return Build(error);
}

bool Simulation::LoadText(const std::string& text, std::string* error) {
    pugi::xml_parse_result result = document.load_buffer(text.data(), text.size(), PARSE_OPTIONS);
    if (!result) {
        *error = LoadError(result);
        return false;
    }
    return Build(error);
}

bool Simulation::Build(std::string* error) {
    Checker checker(error);
    keyboards.clear();
    batches.clear();
    savedPath.clear();
    currentBatch = 0;
    currentPluggedAt = 0;
    bCurrentServed = false;
    currentUnpluggedAt = 0;
    libraryVersion[0] = 1;
    libraryVersion[1] = 0;
    libraryVersion[2] = 0;
    pugi::xml_node root;
    for (pugi::xml_node child : document.children()) {
        if (child.type() != pugi::node_element) continue;
        if (root) return checker.Fail(child, "a second root element " + Element(child));
        root = child;
    }
    if (std::strcmp(root.name(), "KavelSimulation") != 0) {
        return checker.Fail(root, "the root element is " + Element(root) + ", not <KavelSimulation>");
    }
    if (!checker.Attributes(root, {})) return false;
    bool bSeenVersion = false;
    bool bSeenCount = false;
    pugi::xml_node countNode;
    long lCount = 0;
    bool bSeenLooseKeyboard = false;
    const char* const txtEitherOr = ": either every keyboard stands in a batch or none does";
    const char* const txtCountOfBatches = ": with batches, the count is the keyboards attached at the moment";
    bool bChildren = checker.Children(root, [&](pugi::xml_node child) {
        const char* txtName = child.name();
        const char* txtValue = nullptr;
        if (std::strcmp(txtName, "LibraryVersion") == 0) {
            if (!checker.Once(root, child, &bSeenVersion) || !checker.LeafText(child, &txtValue))
                return false;
            if (!ParseLibraryVersion(txtValue, libraryVersion)) {
                return checker.Fail(child, "<LibraryVersion> is not a dotted decimal version a.b.c: " +
                                               Quote(txtValue));
            }
        } else if (std::strcmp(txtName, "Count") == 0) {
            if (!checker.Once(root, child, &bSeenCount) || !checker.LeafText(child, &txtValue)) return false;
            if (!batches.empty())
                return checker.Fail(child, "<Count> beside <Batch>" + std::string(txtCountOfBatches));
            if (!ParseHexNumber(txtValue, &lCount) || lCount < INT_MIN || lCount > INT_MAX) {
                return checker.Fail(child, "<Count> is not a hexadecimal number: " + Quote(txtValue));
            }
            countNode = child;
        } else if (std::strcmp(txtName, "Keyboard") == 0) {
            if (!batches.empty())
                return checker.Fail(child, "<Keyboard> outside a <Batch>" + std::string(txtEitherOr));
            bSeenLooseKeyboard = true;
            auto keyboard = std::make_unique<Keyboard>();
            if (!BuildKeyboard(child, keyboard.get(), false, &checker)) return false;
            keyboards.push_back(std::move(keyboard));
        } else if (std::strcmp(txtName, "Batch") == 0) {
            if (bSeenLooseKeyboard) {
                return checker.Fail(child,
                                    "<Batch> beside a <Keyboard> outside batches" + std::string(txtEitherOr));
            }
            if (bSeenCount)
                return checker.Fail(child, "<Batch> beside <Count>" + std::string(txtCountOfBatches));
            if (!BuildBatch(child, this, &checker)) return false;
        } else {
            return checker.Unknown(root, child);
        }
        return true;
    });
    if (!bChildren) return false;
    count = static_cast<int>(keyboards.size());
    if (bSeenCount) {
        if (lCount > count) {
            return checker.Fail(countNode, "<Count> " + std::to_string(lCount) +
                                               " is above the number of <Keyboard> elements, " +
                                               std::to_string(count));
        }
        count = static_cast<int>(lCount);
    }
    if (!batches.empty()) currentPluggedAt = batches[0].plugAfter;
    return true;
}

void Simulation::UpdateMemoryElements() {
    std::string sBytes;
    std::string sNumber;
    for (const std::unique_ptr<Keyboard>& keyboard : keyboards) {
        pugi::xml_node node = keyboard->node;
        for (pugi::xml_node memory = node.child("Memory"); memory;) {
            pugi::xml_node next = memory.next_sibling("Memory");
            node.remove_child(memory);
            memory = next;
        }
        for (std::size_t i = 0; i < keyboard->units.size(); ++i) {
            const Unit* unit = keyboard->units[i].get();
            if (unit == nullptr || !unit->memory) continue;
            const UnitMemory& memory = *unit->memory;
            // One element per run of set bytes; a run through FFFF ends there and the rest
            // starts again at 0, as a linear scan gives.
            std::size_t nAddress = 0;
            while (nAddress < MEMORY_SIZE) {
                if (!memory.IsSet(static_cast<std::uint16_t>(nAddress))) {
                    ++nAddress;
                    continue;
                }
                std::size_t nBegin = nAddress;
                sBytes.clear();
                for (; nAddress < MEMORY_SIZE && memory.IsSet(static_cast<std::uint16_t>(nAddress));
                     ++nAddress) {
                    std::uint8_t value = memory.Read(static_cast<std::uint16_t>(nAddress));
                    if (!sBytes.empty()) sBytes.push_back(' ');
                    AppendByteList(&sBytes, &value, 1);
                }
                pugi::xml_node element = node.append_child("Memory");
                sNumber.clear();
                AppendUpperHex(&sNumber, UnitAddress(i));
                element.append_attribute("Unit").set_value(sNumber.c_str());
                sNumber.clear();
                AppendUpperHex(&sNumber, nBegin);
                element.append_attribute("Address").set_value(sNumber.c_str());
                element.text().set(sBytes.c_str());
            }
        }
    }
}

bool Simulation::Save(const std::string& path) {
    UpdateMemoryElements();
    if (!document.save_file(path.c_str(), "\t", pugi::format_default, pugi::encoding_utf8)) {
        savedPath.clear();
        return false;
    }
    savedPath = path;
    for (const std::unique_ptr<Keyboard>& keyboard : keyboards) keyboard->bMemoryChanged = false;
    return true;
}

bool Simulation::SaveChanges(const std::string& path) {
    // A station destroys an enumerator every look, and most looks change nothing.
    bool bChanged = savedPath != path;
    for (const std::unique_ptr<Keyboard>& keyboard : keyboards)
        bChanged = bChanged || keyboard->bMemoryChanged;
    return !bChanged || Save(path);
}

std::string Simulation::SaveText() {
    UpdateMemoryElements();
    std::ostringstream stream;
    document.save(stream, "\t", pugi::format_default, pugi::encoding_utf8);
    return stream.str();
}

void Simulation::Advance(long long now) {
    while (currentBatch < batches.size() && bCurrentServed && now >= currentUnpluggedAt) {
        ++currentBatch;
        bCurrentServed = false;
        if (currentBatch < batches.size())
            currentPluggedAt = Later(currentUnpluggedAt, batches[currentBatch].plugAfter);
    }
}

void Simulation::Attached(long long now, std::vector<std::size_t>* attached) {
    attached->clear();
    if (batches.empty()) {
        for (std::size_t i = 0; i < keyboards.size(); ++i) attached->push_back(i);
        return;
    }
    Advance(now);
    if (currentBatch >= batches.size()) return;
    const Batch& batch = batches[currentBatch];
    for (std::size_t i = batch.firstKeyboard; i < batch.firstKeyboard + batch.keyboardCount; ++i) {
        if (now >= Later(currentPluggedAt, keyboards[i]->plugAfter)) attached->push_back(i);
    }
}

bool Simulation::IsAttached(const Keyboard& keyboard, long long now) {
    if (batches.empty()) return true;
    Advance(now);
    return currentBatch < batches.size() && keyboard.batch == currentBatch &&
           now >= Later(currentPluggedAt, keyboard.plugAfter);
}

void Simulation::Serve(const Keyboard& keyboard, long long now) {
    if (batches.empty()) return;
    Advance(now);
    // A batch is served once: another enumerator that opened one of its keyboards changes nothing.
    if (currentBatch >= batches.size() || keyboard.batch != currentBatch || bCurrentServed) return;
    bCurrentServed = true;
    currentUnpluggedAt = Later(now, batches[currentBatch].unplugAfter);
}

} // namespace kavelvk
