// Small helpers for tests of element handlers on inline XML documents.
#ifndef KAVELWRITE_TESTS_XML_SUPPORT_H
#define KAVELWRITE_TESTS_XML_SUPPORT_H

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <string>
#include <vector>

typedef std::vector<unsigned char> Bytes;

// The run annotation name of the write passes in these tests.
const char* const STAMP = "t20260101000000_device0";

// Loads xml into doc and returns its root element.
inline pugi::xml_node Load(pugi::xml_document& doc, const std::string& xml) {
    EXPECT_TRUE(doc.load_string(xml.c_str())) << xml;
    return doc.document_element();
}

// The value of node's run annotation named STAMP, or "".
inline std::string Note(pugi::xml_node node) {
    return node.attribute(STAMP).value();
}

// The index-th Data child of node.
inline pugi::xml_node DataChild(pugi::xml_node node, int index) {
    pugi::xml_node child = node.child("Data");
    for (int i = 0; i < index; ++i) child = child.next_sibling("Data");
    return child;
}

// A Device element that every keyboard suits: any controller, anything or nothing in every slot.
inline std::string AnyDeviceElement() {
    std::string text =
        "<Device><Controller><Module Id=\"xx\"><Version>xx.xx.xx</Version></Module></Controller>";
    for (int i = 0; i < 14; i++) {
        std::string slot = "Module" + std::to_string(i);
        text += "<" + slot + "><Module Id=\"xx\"><Version>xx.xx.xx</Version></Module></" + slot + ">";
    }
    return text + "</Device>";
}

// A simulation file of two keyboards that suit AnyDeviceElement: a controller each, no module.
const char* const TWO_KEYBOARDS = R"(<KavelSimulation>
  <Keyboard><Controller><Version>11 01 02 03</Version></Controller></Keyboard>
  <Keyboard><Controller><Version>11 01 02 03</Version></Controller></Keyboard>
</KavelSimulation>
)";

#endif
