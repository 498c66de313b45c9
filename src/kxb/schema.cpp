// kxb schema: an XML Schema (XSD 1.0) of kxb scripts and log files, made from the walker's element
// table, so that an editor completes names, shows what each field accepts and marks a fault as it is
// typed. Where a pattern cannot say exactly what the program reads, it is the looser one: a script
// that passes kxb check without a word is never marked; the rest is left to kxb check.
#include "kxb.h"

#include "device.h"
#include "driver.h"

#include <getopt.h>
#include <iostream>
#include <sstream>
#include <unistd.h>

const char* const txtUsageSchema =
    "Usage: kxb schema\n"
    "\n"
    "Prints an XML Schema (XSD 1.0) of kxb scripts and of kavelwrite's log files, made from the\n"
    "elements and fields that kavelwrite reads, with what each field accepts as its documentation.\n"
    "Editors use it for completion, help and live errors; 'xmllint --noout --schema kxb.xsd FILE'\n"
    "checks a script with it. Every script that kxb check passes without a warning is valid against\n"
    "it; step counts, the order of candidates and a value that only a keyboard judges are left to\n"
    "kxb check. The package installs it as /usr/share/xml/kavelwrite/kxb.xsd.\n"
    "\n"
    "  --help   show this help\n"
    "\n"
    "Exit status: 0 printed; 2 a wrong option or an argument.\n";

const char* const txtKxbSchemaPath = "/usr/share/xml/kavelwrite/kxb.xsd";

namespace {

const std::string txtXmlSchema = "http://www.w3.org/2001/XMLSchema";
// Where the schema lies below the prefix that a program is installed under.
const std::string txtSchemaBelowPrefix = "/share/xml/kavelwrite/kxb.xsd";

// The pieces of the patterns: XSD regular expressions, anchored at both ends of the value, which
// keeps its white space (xs:string's). XML text holds no form feed or vertical tab.
const std::string HEX = "[0-9a-fA-F]";
const std::string WS = "[ \\t\\n\\r]";
const std::string ANY = "[\\s\\S]";

// A number as strtol reads it in base 16 after its white space, with the values that fit a long,
// but not -1, which marks a missing number.
std::string NumberCore() {
    const std::string sPositive = "\\+?(0[xX])?0*(" + HEX + "{1,15}|[1-7]" + HEX + "{15})";
    const std::string sNegative =
        "-(0[xX])?0*(0|[2-9a-fA-F]|[1-9a-fA-F]" + HEX + "{1,14}|[1-7]" + HEX + "{15}|80{15})";
    return sPositive + "|" + sNegative;
}

// Two characters that a byte list or a version reads as one number: two digits, a sign and a
// digit (not -1), or (bBlank) white space and a digit.
std::string PairCore(bool bBlank) {
    return HEX + "{2}|" + (bBlank ? WS + HEX + "|" : "") + "\\+" + HEX + "|-[02-9a-fA-F]";
}

// The pattern of a notation's text.
std::string NotationPattern(unsigned nNotation) {
    switch (nNotation) {
    case FIELD_DESTINATION:
        return WS + "*(\\+?(0[xX])?0*" + HEX + "|-(0[xX])?0+)";
    case FIELD_BYTE_LIST: {
        // Pairs on a grid of three characters, any one character between them, and at most two
        // characters after the last pair; the list is trimmed first, so the first pair cannot
        // begin with white space. A single character holds no pair at all.
        const std::string sFirst = "(" + PairCore(false) + ")";
        const std::string sNext = "(" + PairCore(true) + ")";
        return WS + "*(" + sFirst + "(" + ANY + sNext + ")*" + ANY + "{0,2}|" + ANY + ")?" + WS + "*";
    }
    case FIELD_ID:
        return WS + "*(xx|" + NumberCore() + ")" + WS + "*";
    case FIELD_VERSION: {
        // Fields at 0, 3, 6 and, in a text of 11 characters or more, 9; the characters between and
        // after them are not looked at.
        const std::string sWild = "xx|x" + HEX + "|" + HEX + "x|";
        const std::string sFirst = "(" + sWild + PairCore(false) + ")";
        const std::string sNext = "(" + sWild + PairCore(true) + ")";
        return WS + "*" + sFirst + ANY + sNext + ANY + sNext + "(" + ANY + "{0,2}|" + ANY + sNext + ANY +
               "*)" + WS + "*";
    }
    default:
        return WS + "*(" + NumberCore() + ")";
    }
}

// The name of a notation's simple type.
std::string NotationType(unsigned nNotation) {
    switch (nNotation) {
    case FIELD_DESTINATION:
        return "destination";
    case FIELD_BYTE_LIST:
        return "byteList";
    case FIELD_ID:
        return "id";
    case FIELD_VERSION:
        return "version";
    default:
        return "number";
    }
}

pugi::xml_node Xs(pugi::xml_node parent, const std::string& sName) {
    return parent.append_child(("xs:" + sName).c_str());
}

pugi::xml_node Named(pugi::xml_node node, const std::string& sName) {
    node.append_attribute("name").set_value(sName.c_str());
    return node;
}

// Gives a declaration the documentation that editors show for it.
void Document(pugi::xml_node node, const std::string& sText) {
    Xs(Xs(node, "annotation"), "documentation").text().set(sText.c_str());
}

// Lets node's type carry the run annotations, whose names are run stamps, and any other attribute:
// the program reads none but those it names.
void AnyAttribute(pugi::xml_node type) {
    Xs(type, "anyAttribute").append_attribute("processContents").set_value("skip");
}

// The type of an element that the program passes over: anything inside.
void AddPassedOverType(pugi::xml_node schema) {
    pugi::xml_node type = Named(Xs(schema, "complexType"), "passedOver");
    type.append_attribute("mixed").set_value(true);
    pugi::xml_node any = Xs(Xs(type, "sequence"), "any");
    any.append_attribute("processContents").set_value("skip");
    any.append_attribute("minOccurs").set_value(0);
    any.append_attribute("maxOccurs").set_value("unbounded");
    AnyAttribute(type);
}

pugi::xml_node Element(pugi::xml_node parent, const std::string& sName, const std::string& sType,
                       const std::string& sDocumentation) {
    pugi::xml_node element = Named(Xs(parent, "element"), sName);
    element.append_attribute("type").set_value(sType.c_str());
    Document(element, sDocumentation);
    return element;
}

void Occurs(pugi::xml_node particle, int nMin, bool bUnbounded) {
    particle.append_attribute("minOccurs").set_value(nMin);
    if (bUnbounded) particle.append_attribute("maxOccurs").set_value("unbounded");
}

// A field element's type: its notation's text, with the attribute fields where it is a Data block.
void AddFieldType(pugi::xml_node schema, const std::string& sType, unsigned nNotation,
                  const std::vector<const ElementField*>& attributes) {
    pugi::xml_node extension = Xs(Xs(Named(Xs(schema, "complexType"), sType), "simpleContent"), "extension");
    extension.append_attribute("base").set_value(NotationType(nNotation).c_str());
    for (const ElementField* field : attributes) {
        pugi::xml_node attribute = Named(Xs(extension, "attribute"), field->name);
        attribute.append_attribute("type").set_value(NotationType(field->nNotation).c_str());
        // An absent attribute reads as empty text, which only a byte list accepts.
        if (field->nNotation != FIELD_BYTE_LIST) attribute.append_attribute("use").set_value("required");
        Document(attribute, std::string(field->name) + ": " + field->accepts + ".");
    }
    AnyAttribute(extension);
}

// The fields a writer reads once, as element children, and its Data blocks where every one counts.
struct WriterShape {
    std::vector<const ElementField*> arOnce;
    const ElementField* blocks = nullptr;
};

std::string GroupName(const ElementEntry& writer, const WriterShape& shape, unsigned nLeft) {
    std::string sName = std::string(writer.name) + ".rest";
    for (size_t i = 0; i < shape.arOnce.size(); ++i) {
        if ((nLeft & (1u << i)) != 0) sName += std::string(".") + shape.arOnce[i]->name;
    }
    return sName;
}

std::string FieldDocumentation(const ElementEntry& writer, const ElementField& field) {
    // An absent field reads as empty text, which only a byte list accepts.
    bool bRequired = field.nNotation != FIELD_BYTE_LIST;
    return std::string(field.name) + " of " + writer.name + ": " + field.accepts + "." +
           (bRequired ? " Required." : " Optional.");
}

// The rest of a writer's content once the fields outside nLeft were met: its fields in any order,
// each once, the required ones before the end, and Data blocks anywhere between them. One group per
// set of fields still to come keeps the content model deterministic; for the few fields that a
// writer reads once, that is a few dozen groups at most.
void AddWriterGroups(pugi::xml_node schema, const ElementEntry& writer, const WriterShape& shape) {
    const unsigned nAll = (1u << shape.arOnce.size()) - 1;
    for (unsigned nLeft = 0; nLeft <= nAll; ++nLeft) {
        // Nothing is left to come after the last field of an element without blocks.
        if (nLeft == 0 && shape.blocks == nullptr) continue;
        pugi::xml_node sequence = Xs(Named(Xs(schema, "group"), GroupName(writer, shape, nLeft)), "sequence");
        if (shape.blocks != nullptr) {
            pugi::xml_node data = Element(sequence, shape.blocks->name, std::string(writer.name) + ".Data",
                                          std::string(shape.blocks->name) + " of " + writer.name +
                                              ", one block each, any number: " + shape.blocks->accepts + ".");
            Occurs(data, 0, true);
        }
        if (nLeft == 0) continue;
        bool bRequired = false;
        pugi::xml_node choice = Xs(sequence, "choice");
        for (size_t i = 0; i < shape.arOnce.size(); ++i) {
            if ((nLeft & (1u << i)) == 0) continue;
            const ElementField& field = *shape.arOnce[i];
            bRequired = bRequired || field.nNotation != FIELD_BYTE_LIST;
            pugi::xml_node branch = Xs(choice, "sequence");
            Element(branch, field.name, std::string(writer.name) + "." + field.name,
                    FieldDocumentation(writer, field));
            const unsigned nRest = nLeft & ~(1u << i);
            if (nRest != 0 || shape.blocks != nullptr) {
                Xs(branch, "group")
                    .append_attribute("ref")
                    .set_value(GroupName(writer, shape, nRest).c_str());
            }
        }
        if (!bRequired) choice.append_attribute("minOccurs").set_value(0);
    }
}

// A writer element: its type, its field types and the groups of its content.
void AddWriter(pugi::xml_node schema, const ElementEntry& writer) {
    WriterShape shape;
    std::vector<const ElementField*> attributes;
    for (const ElementField& field : writer.fields) {
        if (field.bAttribute) {
            attributes.push_back(&field);
        } else if ((writer.nTraits & ELEMENT_DATA_BLOCKS) != 0 && std::string(field.name) == "Data") {
            shape.blocks = &field;
        } else {
            shape.arOnce.push_back(&field);
        }
    }
    for (const ElementField* field : shape.arOnce)
        AddFieldType(schema, std::string(writer.name) + "." + field->name, field->nNotation, {});
    if (shape.blocks != nullptr)
        AddFieldType(schema, std::string(writer.name) + "." + shape.blocks->name, shape.blocks->nNotation,
                     attributes);

    pugi::xml_node type = Named(Xs(schema, "complexType"), writer.name);
    // Text between the fields is passed over.
    type.append_attribute("mixed").set_value(true);
    const unsigned nAll = (1u << shape.arOnce.size()) - 1;
    Xs(type, "group").append_attribute("ref").set_value(GroupName(writer, shape, nAll).c_str());
    AnyAttribute(type);
    AddWriterGroups(schema, writer, shape);
}

// The Device element: its units, their candidates with Id and Versions, and the reports that runs
// append to it.
void AddDevice(pugi::xml_node schema, const ElementEntry& device) {
    const ElementField* id = FindElementField(device.name, txtKxbId);
    const ElementField* version = FindElementField(device.name, "Version");
    if (id == nullptr || version == nullptr) return;
    AddFieldType(schema, "Device.Version", version->nNotation, {});

    pugi::xml_node candidate = Named(Xs(schema, "complexType"), "Device.Candidate");
    candidate.append_attribute("mixed").set_value(true);
    Occurs(Element(Xs(candidate, "sequence"), version->name, "Device.Version",
                   std::string(version->name) + ": " + version->accepts +
                       ". Versions are tried in order; a candidate without one never matches."),
           1, true);
    pugi::xml_node attribute = Named(Xs(candidate, "attribute"), id->name);
    attribute.append_attribute("type").set_value(NotationType(id->nNotation).c_str());
    attribute.append_attribute("use").set_value("required");
    Document(attribute, std::string(id->name) + ": " + id->accepts +
                            ". A number matches the slot's configured type id, the unit's type id, its "
                            "sub-id, or the type id and sub-id together (6612).");
    AnyAttribute(candidate);

    pugi::xml_node unit = Named(Xs(schema, "complexType"), "Device.Unit");
    unit.append_attribute("mixed").set_value(true);
    Occurs(Element(Xs(unit, "sequence"), "Module", "Device.Candidate",
                   "A candidate: an Id and the Versions that go with it, tried in order."),
           1, true);
    AnyAttribute(unit);

    pugi::xml_node type = Named(Xs(schema, "complexType"), device.name);
    type.append_attribute("mixed").set_value(true);
    pugi::xml_node choice = Xs(type, "choice");
    Occurs(choice, 0, true);
    for (int nUnit = 0; nUnit < DEVICE_UNITS; ++nUnit) {
        std::string sWhat =
            nUnit == 0 ? "the controller"
                       : "module slot " + std::to_string(nUnit - 1) + " (empty: id 0, version 00.00.00)";
        Element(choice, DeviceUnitName(nUnit), "Device.Unit",
                "The candidates for " + sWhat +
                    ". Every unit needs its element: one without candidates "
                    "matches no keyboard.");
    }
    Element(choice, txtDETECTED_DEVICE, "passedOver",
            "What a run read from one keyboard and whether it suits the script, appended by kavelwrite in "
            "its log file; passed over.");
    AnyAttribute(type);
}

// The root: its children in any number and order, and exactly one Device element among them.
void AddRoot(pugi::xml_node schema, const std::vector<ElementEntry>& table) {
    const std::string sDevice = txtKxbDevice;
    pugi::xml_node group = Xs(Named(Xs(schema, "group"), "walked"), "choice");
    for (const ElementEntry& entry : table) {
        if (sDevice == entry.name) continue;
        std::string sType = (entry.nTraits & ELEMENT_WRITER) != 0 ? entry.name : "passedOver";
        Element(group, entry.name, sType, entry.about);
    }

    pugi::xml_node root = Named(Xs(schema, "element"), "XML_BIN_FILE");
    Document(root, "A kxb script: the Device element and the writes, carried out in document order. "
                   "kavelwrite checks the whole script before it sends anything.");
    pugi::xml_node type = Xs(root, "complexType");
    pugi::xml_node sequence = Xs(type, "sequence");
    for (int i = 0; i < 2; ++i) {
        pugi::xml_node walked = Xs(sequence, "group");
        walked.append_attribute("ref").set_value("walked");
        Occurs(walked, 0, true);
        if (i == 1) break;
        const ElementEntry* device = FindElement(sDevice.c_str());
        if (device != nullptr) Element(sequence, device->name, device->name, device->about);
    }
    AnyAttribute(type);
}

} // namespace

std::string KxbSchemaText() {
    pugi::xml_document doc;
    pugi::xml_node declaration = doc.append_child(pugi::node_declaration);
    declaration.append_attribute("version").set_value("1.0");
    declaration.append_attribute("encoding").set_value("UTF-8");
    doc.append_child(pugi::node_comment)
        .set_value((" kxb scripts and kavelwrite's log files, as kxb " +
                    std::to_string(KAVELWRITE_VER_MAJOR) + "." + std::to_string(KAVELWRITE_VER_MINOR) + "." +
                    std::to_string(KAVELWRITE_VER_BUILD) + " reads them; made by 'kxb schema'. ")
                       .c_str());
    pugi::xml_node schema = doc.append_child("xs:schema");
    schema.append_attribute("xmlns:xs").set_value(txtXmlSchema.c_str());

    const std::vector<ElementEntry>& table = ElementTable();
    AddRoot(schema, table);
    for (unsigned nNotation : {FIELD_NUMBER, FIELD_DESTINATION, FIELD_BYTE_LIST, FIELD_ID, FIELD_VERSION}) {
        pugi::xml_node restriction =
            Xs(Named(Xs(schema, "simpleType"), NotationType(nNotation)), "restriction");
        restriction.append_attribute("base").set_value("xs:string");
        Xs(restriction, "pattern").append_attribute("value").set_value(NotationPattern(nNotation).c_str());
    }
    AddPassedOverType(schema);
    for (const ElementEntry& entry : table) {
        if ((entry.nTraits & ELEMENT_WRITER) != 0) AddWriter(schema, entry);
        if (std::string(txtKxbDevice) == entry.name) AddDevice(schema, entry);
    }

    std::ostringstream text;
    doc.save(text, "\t", pugi::format_indent, pugi::encoding_utf8);
    return text.str();
}

std::string KxbSchemaLocation() {
    // An installed kxb names the schema installed beside it, under its own prefix.
    std::vector<char> arPath(4096);
    ssize_t nLength = readlink("/proc/self/exe", arPath.data(), arPath.size() - 1);
    if (nLength > 0 && static_cast<size_t>(nLength) < arPath.size() - 1) {
        std::string sProgram(arPath.data(), static_cast<size_t>(nLength));
        size_t nBin = sProgram.rfind('/');
        size_t nPrefix =
            nBin == std::string::npos || nBin == 0 ? std::string::npos : sProgram.rfind('/', nBin - 1);
        if (nPrefix != std::string::npos) {
            std::string sSchema = sProgram.substr(0, nPrefix) + txtSchemaBelowPrefix;
            if (access(sSchema.c_str(), R_OK) == 0) return sSchema;
        }
    }
    return txtKxbSchemaPath;
}

std::string KxbSchemaModel(const std::string& sLocation) {
    return "href=\"" + sLocation + "\" schematypens=\"" + txtXmlSchema + "\"";
}

int KxbSchema(int argc, char* argv[]) {
    const struct option options[] = {
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int nOption;
    while ((nOption = getopt_long(argc, argv, "", options, nullptr)) != -1) {
        if (nOption == 'h') return KxbUsage(txtUsageSchema);
        return KxbUsageError(txtUsageSchema);
    }
    if (optind < argc) {
        std::cerr << "kxb schema: takes no argument, not '" << argv[optind] << "'" << std::endl;
        return KxbUsageError(txtUsageSchema);
    }
    std::cout << KxbSchemaText() << std::flush;
    return 0;
}
