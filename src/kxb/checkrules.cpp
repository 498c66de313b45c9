// The check of a script, fault by fault: the check pass's own handlers judge every element on its
// own, so that kxb finds the faults kavelwrite's check pass would meet, all of them, in its order.
#include "kxb.h"

#include "device.h"
#include "driver.h"

#include <cstdint>
#include <cstring>

namespace {

const std::string txtXmlBinFile = "XML_BIN_FILE";
const std::string txtDevice = txtKxbDevice;
const std::string txtId = txtKxbId;
const std::string txtVersion = "Version";
const std::string txtModule = "Module";
const char* const txtXmlns = "xmlns";

// The annotation name of the handlers run by kxb: a parsed document cannot hold an attribute whose
// name has a blank, so it is never mistaken for one of the script's own.
const std::string txtScratch = "kxb check";

// What the Device element's candidates accept, as the element table says it.
const char* DeviceAccepts(const std::string& sField) {
    const ElementField* field = FindElementField(txtDevice.c_str(), sField.c_str());
    return field != nullptr ? field->accepts : "";
}

// The place in the element's fields of the child element field of that name, or -1 when the element
// reads no child of that name. The look starts at nFrom and goes round: a script mostly holds the
// fields in the order they are read. Names mostly differ in their first character, so that is
// compared before the whole name.
int ChildField(const ElementEntry& writer, const char* name, size_t nFrom) {
    const size_t nFields = writer.fields.size();
    size_t i = nFrom < nFields ? nFrom : 0;
    for (size_t n = 0; n < nFields; ++n) {
        const ElementField& field = writer.fields[i];
        if (!field.bAttribute && field.name[0] == name[0] && std::strcmp(field.name, name) == 0)
            return static_cast<int>(i);
        i = i + 1 < nFields ? i + 1 : 0;
    }
    return -1;
}

// The names of the child elements that the element reads, in its order.
std::vector<std::string> ChildNames(const ElementEntry& writer) {
    std::vector<std::string> names;
    for (const ElementField& field : writer.fields) {
        if (!field.bAttribute) names.push_back(field.name);
    }
    return names;
}

// True for the name of a writer element.
bool IsWriter(const char* name) {
    const ElementEntry* entry = FindElement(name);
    return entry != nullptr && (entry->nTraits & ELEMENT_WRITER) != 0;
}

// "A, B and C".
std::string Listed(const std::vector<std::string>& names) {
    std::string sNames;
    for (size_t i = 0; i < names.size(); ++i) {
        sNames += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    }
    return sNames;
}

// A fault at node, reported under the name sElement.
KxbFinding Fault(pugi::xml_node node, const std::string& sElement) {
    KxbFinding finding;
    finding.nOffset = node.offset_debug();
    finding.sElement = sElement;
    return finding;
}

// A field that a check found malformed: "'VALUE' is not ..." or, absent, "is missing: ...".
void SetValue(KxbFinding& finding, bool bPresent, const std::string& sValue, const char* txtAccepts) {
    finding.bValue = bPresent;
    finding.sValue = sValue;
    finding.sMessage = std::string(bPresent ? "is not " : "is missing: ") + txtAccepts;
}

// A unit of the Device element whose candidates hold a malformed Id or Version: which of them is
// at fault comes from the match itself. The check pass matches the all-zero record.
bool DeviceUnitFault(pugi::xml_node unit, KxbFinding& finding) {
    pugi::xml_node faulty;
    if (kxbCheckControllerModuleAt(unit, 0, 0, 0, 0, 0, 0, 0, 0, &faulty) >= 0) return false;
    finding = Fault(unit, unit.name());
    finding.sAnnotation = txtPARSE_ERROR + unit.name();
    if (txtVersion == faulty.name()) {
        finding.sField = txtVersion;
        SetValue(finding, true, faulty.child_value(), DeviceAccepts(txtVersion));
    } else {
        finding.sField = txtId;
        pugi::xml_attribute id = faulty.attribute(txtId.c_str());
        SetValue(finding, !id.empty(), id.value(), DeviceAccepts(txtId));
    }
    return true;
}

KxbFinding Warning(pugi::xml_node node, const std::string& sElement, const std::string& sMessage) {
    KxbFinding finding = Fault(node, sElement);
    finding.bWarning = true;
    finding.sMessage = sMessage;
    return finding;
}

// Warns about a default namespace declared among the attributes of node: kavelwrite reads names
// without namespaces, but editors and XML tools then look for kxb's elements in that namespace.
void CheckNamespaceAttribute(pugi::xml_node node, std::vector<KxbFinding>& namespaces) {
    pugi::xml_attribute xmlns = node.attribute(txtXmlns);
    if (xmlns.empty() || *xmlns.value() == '\0') return;
    KxbFinding warning = Warning(node, node.name(),
                                 "is a namespace: kavelwrite passes over it, but the schema and XML "
                                 "tools look for kxb's elements in no namespace");
    warning.sField = txtXmlns;
    warning.bValue = true;
    warning.sValue = xmlns.value();
    namespaces.push_back(warning);
}

// Warns about a default namespace declared on node. This runs for every element of the script, and
// nearly all of them have no attribute at all, so that is asked first.
void CheckNamespace(pugi::xml_node node, std::vector<KxbFinding>& namespaces) {
    if (!node.first_attribute().empty()) CheckNamespaceAttribute(node, namespaces);
}

// Warns about every default namespace declared on top or below it, in document order.
void CheckNamespacesBelow(pugi::xml_node top, std::vector<KxbFinding>& namespaces) {
    pugi::xml_node node = top;
    while (node) {
        CheckNamespace(node, namespaces);
        // The next node in document order below top.
        if (node.first_child()) {
            node = node.first_child();
            continue;
        }
        while (node != top && !node.next_sibling()) node = node.parent();
        node = node == top ? pugi::xml_node() : node.next_sibling();
    }
}

// Warns about a node whose text is read when it holds more than one text, under the name of owner:
// an element, a comment or a processing instruction inside it cuts the text, and only its first
// piece is read. With namespaces, the default namespaces declared on node and below it are looked
// for in the same pass (only elements carry attributes or hold other nodes).
void CheckOneText(pugi::xml_node node, pugi::xml_node owner, std::vector<KxbFinding>& warnings,
                  std::vector<KxbFinding>* namespaces = nullptr) {
    if (namespaces != nullptr) CheckNamespace(node, *namespaces);
    int nTexts = 0;
    bool bElement = false;
    for (pugi::xml_node inner = node.first_child(); inner; inner = inner.next_sibling()) {
        const pugi::xml_node_type type = inner.type();
        if (type == pugi::node_element) {
            bElement = true;
            if (namespaces != nullptr) CheckNamespacesBelow(inner, *namespaces);
        }
        nTexts += type == pugi::node_pcdata || type == pugi::node_cdata ? 1 : 0;
    }
    if (!bElement && nTexts < 2) return;
    KxbFinding warning = Warning(node, owner.name(), "holds more than one text: only its first text is read");
    warning.sField = node.name();
    warning.bValue = true;
    warning.sValue = node.child_value();
    warnings.push_back(warning);
}

// Warns about every element child of node not named sRead, under the name sElement: misspelt names
// are passed over.
void CheckChildrenNamed(pugi::xml_node node, const std::string& sElement, const std::string& sRead,
                        const std::string& sHolds, std::vector<KxbFinding>& warnings) {
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        if (child.type() != pugi::node_element || sRead == child.name()) continue;
        KxbFinding warning = Warning(child, sElement, "is never read: " + sHolds);
        warning.sField = child.name();
        warnings.push_back(warning);
    }
}

// The candidates of a unit whose check passed: what in them is never read, and the malformed
// patterns after the candidate that suits the check pass's empty unit, which only a keyboard reaches.
void CheckCandidates(pugi::xml_node unit, bool bFault, std::vector<KxbFinding>& warnings) {
    const std::string sUnreached =
        ": the check stops at an earlier candidate, but a keyboard that reaches this one does not suit "
        "the script";
    for (pugi::xml_node candidate = unit.child(txtModule.c_str()); candidate;
         candidate = candidate.next_sibling(txtModule.c_str())) {
        CheckChildrenNamed(candidate, unit.name(), txtVersion, "a candidate Module holds Version elements",
                           warnings);
        pugi::xml_attribute id = candidate.attribute(txtId.c_str());
        if (!bFault && checkId(id.value(), 0, 0, 0, 0) < 0) {
            KxbFinding warning = Warning(candidate, unit.name(), "");
            warning.sField = txtId;
            SetValue(warning, !id.empty(), id.value(), DeviceAccepts(txtId));
            warning.sMessage += sUnreached;
            warnings.push_back(warning);
        }
        for (pugi::xml_node version = candidate.child(txtVersion.c_str()); version;
             version = version.next_sibling(txtVersion.c_str())) {
            CheckOneText(version, unit, warnings);
            if (bFault || checkVersion(version.child_value(), 0, 0, 0, 0) >= 0) continue;
            KxbFinding warning = Warning(version, unit.name(), "");
            warning.sField = txtVersion;
            SetValue(warning, true, version.child_value(), DeviceAccepts(txtVersion));
            warning.sMessage += sUnreached;
            warnings.push_back(warning);
        }
    }
}

// Warns about the children of the Device element that are never examined: names of no unit (the
// slots past the examined ones have their own warning) and a unit's second element.
void CheckDeviceChildren(pugi::xml_node device, std::vector<KxbFinding>& warnings) {
    for (pugi::xml_node child = device.first_child(); child; child = child.next_sibling()) {
        if (child.type() != pugi::node_element || txtDETECTED_DEVICE == child.name()) continue;
        int nUnitOf = -1;
        for (int nUnit = 0; nUnit < 1 + MODULE_MAX; nUnit++) {
            if (DeviceUnitName(nUnit) == child.name()) nUnitOf = nUnit;
        }
        if (nUnitOf >= DEVICE_UNITS) continue;
        if (nUnitOf < 0) {
            KxbFinding warning = Warning(child, txtDevice,
                                         "is never read: Device holds Controller and Module0 to " +
                                             DeviceUnitName(DEVICE_UNITS - 1));
            warning.sField = child.name();
            warnings.push_back(warning);
        } else if (device.child(child.name()) != child) {
            warnings.push_back(Warning(
                child, child.name(), "is a second " + std::string(child.name()) + ": only the first counts"));
        }
    }
}

// The Device element: every unit judged on its own, and what in it is never looked at.
void CheckDevice(pugi::xml_node device, std::vector<KxbFinding>& errors, std::vector<KxbFinding>& warnings) {
    std::vector<std::string> missing;
    for (int nUnit = 0; nUnit < DEVICE_UNITS; nUnit++) {
        const std::string sUnit = DeviceUnitName(nUnit);
        pugi::xml_node unit = device.child(sUnit.c_str());
        KxbFinding finding;
        bool bFault = DeviceUnitFault(unit, finding);
        if (bFault) errors.push_back(finding);
        CheckChildrenNamed(unit, sUnit, txtModule, sUnit + " holds candidate Module elements", warnings);
        CheckCandidates(unit, bFault, warnings);
        // A unit without candidates matches nothing, an empty slot included.
        if (device && !unit) {
            missing.push_back(sUnit);
        } else if (device && !unit.child(txtModule.c_str())) {
            warnings.push_back(
                Warning(unit, sUnit, "has no candidate Module: no keyboard will suit the script"));
        }
        for (pugi::xml_node candidate = unit.child(txtModule.c_str()); candidate;
             candidate = candidate.next_sibling(txtModule.c_str())) {
            if (candidate.child(txtVersion.c_str())) continue;
            KxbFinding warning =
                Warning(candidate, unit.name(), "has no Version: this candidate never matches");
            warning.sField = txtId;
            warning.bValue = true;
            warning.sValue = candidate.attribute(txtId.c_str()).value();
            warnings.push_back(warning);
        }
    }
    CheckDeviceChildren(device, warnings);
    if (!missing.empty()) {
        warnings.push_back(
            Warning(device, txtDevice, "has no " + Listed(missing) + ": no keyboard will suit the script"));
    }
    // Slots past the examined ones exist on a keyboard, but the Device element never judges them.
    for (int nSlot = DEVICE_UNITS - 1; nSlot < MODULE_MAX; nSlot++) {
        std::string sUnit = DeviceUnitName(1 + nSlot);
        for (pugi::xml_node unit = device.child(sUnit.c_str()); unit;
             unit = unit.next_sibling(sUnit.c_str())) {
            warnings.push_back(
                Warning(unit, sUnit,
                        "is never examined: the Device element judges Controller and Module0 to " +
                            DeviceUnitName(DEVICE_UNITS - 1) + " only"));
        }
    }
}

// The fault of a child that its handler rejected, from the annotation the handler wrote on the
// child or one of its own children; the annotation is taken away again.
KxbFinding HandlerFault(pugi::xml_node child) {
    std::vector<pugi::xml_node> candidates = {child};
    for (pugi::xml_node inner = child.first_child(); inner; inner = inner.next_sibling())
        candidates.push_back(inner);
    for (pugi::xml_node node : candidates) {
        pugi::xml_attribute annotation = node.attribute(txtScratch.c_str());
        if (annotation.empty()) continue;
        std::string sValue = annotation.value();
        node.remove_attribute(annotation);
        std::string sField = sValue.compare(0, txtPARSE_ERROR.size(), txtPARSE_ERROR) == 0
                                 ? sValue.substr(txtPARSE_ERROR.size())
                                 : sValue;
        return KxbAnnotatedFinding(node, sField);
    }
    KxbFinding finding = Fault(child, child.name());
    finding.sMessage = "fails the check";
    return finding;
}

// Warns about the child elements of a writer element that it never reads: a misspelt name, or a
// second one of a field that is read once, is passed over without a word; and about a field whose
// text is cut. The default namespaces declared on the element and below it go to namespaces. Every
// node is looked at once: this runs for every writer of a script that may be hundreds of MB.
void CheckUnread(pugi::xml_node writer, const ElementEntry& read, std::vector<KxbFinding>& warnings,
                 std::vector<KxbFinding>& namespaces) {
    const char* const txtData = "Data";
    // The fields met so far, one bit for each place in the element's fields; a field past the bits
    // is looked for by name.
    const int FIELDS_MET_MAX = 64;
    std::uint64_t nMet = 0;
    size_t nNext = 0;
    CheckNamespace(writer, namespaces);
    for (pugi::xml_node child = writer.first_child(); child; child = child.next_sibling()) {
        const bool bElement = child.type() == pugi::node_element;
        const char* const name = child.name();
        // A node of another kind has no attributes and holds nothing, but one with a name (a
        // processing instruction) is what a look-up of that name finds first.
        if (!bElement && *name == '\0') continue;
        const int nField = ChildField(read, name, nNext);
        bool bSecond = false;
        if (nField >= FIELDS_MET_MAX) {
            bSecond = writer.child(name) != child;
        } else if (nField >= 0) {
            bSecond = (nMet >> nField & 1u) != 0;
            nMet |= std::uint64_t(1) << nField;
        }
        if (nField >= 0) nNext = static_cast<size_t>(nField) + 1;
        if (!bElement) continue;
        if (nField < 0) {
            const std::string sWriter = writer.name();
            KxbFinding warning =
                Warning(child, sWriter, "is never read: " + sWriter + " reads " + Listed(ChildNames(read)));
            warning.sField = name;
            warnings.push_back(warning);
            CheckNamespacesBelow(child, namespaces);
            continue;
        }
        // Every Data child is a block of its own where the element writes blocks.
        if (bSecond && ((read.nTraits & ELEMENT_DATA_BLOCKS) == 0 ||
                        std::strcmp(read.fields[nField].name, txtData) != 0)) {
            KxbFinding warning = Warning(child, writer.name(),
                                         "is a second " + std::string(name) + ": only the first is read");
            warning.sField = name;
            warnings.push_back(warning);
            CheckNamespacesBelow(child, namespaces);
            continue;
        }
        CheckOneText(child, writer, warnings, &namespaces);
    }
}

// The steps the walker adds to every pass, counted by the walker itself on an empty script.
int WalkerSteps() {
    pugi::xml_document empty;
    int current = 0;
    int total = 0;
    kxbCheckWrite(empty.append_child(txtXmlBinFile.c_str()), txtScratch, nullptr, &current, &total);
    return current;
}

} // namespace

KxbFinding KxbAnnotatedFinding(pugi::xml_node node, const std::string& sField) {
    KxbFinding finding;
    // The Device element's units are annotated with their own name.
    if (sField == node.name() && txtDevice == node.parent().name() && DeviceUnitFault(node, finding)) {
        return finding;
    }
    finding = Fault(node, node.name());
    finding.sField = sField;
    finding.sAnnotation = txtPARSE_ERROR + sField;
    // A Data child's fields belong to the writer element that holds it.
    pugi::xml_node writer = IsWriter(node.name()) ? node : node.parent();
    const ElementField* field = FindElementField(writer.name(), sField.c_str());
    if (field == nullptr) {
        finding.sMessage = "cannot be read";
    } else if (field->bAttribute) {
        pugi::xml_attribute attribute = node.attribute(sField.c_str());
        SetValue(finding, !attribute.empty(), attribute.value(), field->accepts);
    } else if (sField == node.name()) {
        SetValue(finding, true, node.child_value(), field->accepts);
    } else {
        SetValue(finding, !node.child(sField.c_str()).empty(), ChildNodeValue(node, sField), field->accepts);
    }
    return finding;
}

int KxbCheckDocument(pugi::xml_node root, std::vector<KxbFinding>& findings, int* steps, int* writes) {
    std::vector<KxbFinding> errors;
    std::vector<KxbFinding> warnings;
    *steps = 0;
    *writes = 0;

    // The check pass judges the Device element first, wherever it stands.
    pugi::xml_node device = root.child(txtDevice.c_str());
    CheckDevice(device, errors, warnings);
    if (!device) {
        warnings.push_back(
            Warning(root, root.name(), "has no Device element: no keyboard will suit the script"));
    }

    if (txtXmlBinFile != root.name()) {
        KxbFinding finding = Fault(root, root.name());
        finding.bValue = true;
        finding.sValue = root.name();
        finding.sMessage = "is not " + txtXmlBinFile + ", the root element of a kxb script";
        errors.push_back(finding);
    }

    // The default namespaces are looked for on the way, in document order, and warned about last.
    std::vector<KxbFinding> namespaces;
    CheckNamespace(root, namespaces);
    int current = 0;
    int total = 0;
    bool bDevice = false;
    for (pugi::xml_node child = root.first_child(); child; child = child.next_sibling()) {
        const char* const name = child.name();
        const ElementEntry* entry = FindElement(name);
        if (entry == nullptr) {
            bool bText = child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata;
            KxbFinding finding = Fault(child, bText ? root.name() : name);
            finding.bValue = true;
            finding.sValue = bText ? child.value() : name;
            finding.sMessage = bText
                                   ? "is text directly inside the root element: only elements may stand there"
                                   : "is not an element of a kxb script (names are compared exactly)";
            errors.push_back(finding);
            CheckNamespacesBelow(child, namespaces);
            continue;
        }
        const bool bWriter = (entry->nTraits & ELEMENT_WRITER) != 0;
        if (!bWriter && txtDevice == name) {
            if (bDevice)
                warnings.push_back(
                    Warning(child, txtDevice, "is a second Device element: only the first counts"));
            bDevice = true;
        }
        if (entry->handler(child, txtScratch, nullptr, &current, &total) != 0)
            errors.push_back(HandlerFault(child));
        if (bWriter) {
            ++*writes;
            CheckUnread(child, *entry, warnings, namespaces);
        } else {
            CheckNamespacesBelow(child, namespaces);
        }
    }
    *steps = current + WalkerSteps();
    warnings.insert(warnings.end(), namespaces.begin(), namespaces.end());

    findings.insert(findings.end(), errors.begin(), errors.end());
    findings.insert(findings.end(), warnings.begin(), warnings.end());
    return errors.empty() ? 0 : ERR_ERROR_IN_FILE;
}
