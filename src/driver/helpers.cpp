// Text and XML helpers shared by the driver and every element handler.
#include "driver.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <iomanip>
#include <sstream>

const std::string WHITESPACE = " \n\r\t\f\v";

const std::string txtPARSE_ERROR = "PARSE_ERROR:";
const std::string txtERROR = "ERROR=";
const std::string txtRESULT = "result=";
const std::string txtSKIPPED = "skipped";
const std::string txtINTERRUPTED = "interrupted";

std::string ToTwoDigitDec(const int number) {
    std::ostringstream out;
    out << std::setw(2) << std::setfill('0') << number;
    return out.str();
}

std::string ltrim(const std::string& s) {
    size_t start = s.find_first_not_of(WHITESPACE);
    return start == std::string::npos ? std::string() : s.substr(start);
}

std::string rtrim(const std::string& s) {
    size_t end = s.find_last_not_of(WHITESPACE);
    return end == std::string::npos ? std::string() : s.substr(0, end + 1);
}

std::string trim(const std::string& s) {
    return rtrim(ltrim(s));
}

long StrHexToLong(const char* strHex) {
    const int baseHex = 16;
    if (strHex == nullptr || *strHex == '\0') return NOT_DEFINED;
    char* endptr = nullptr;
    errno = 0;
    long value = std::strtol(strHex, &endptr, baseHex);
    // A number that does not fit, no digit at all, or anything after the digits is not a number.
    if (errno != 0 || endptr == strHex || *endptr != '\0') return NOT_DEFINED;
    return value;
}

const char* ChildNodeValue(pugi::xml_node node, std::string childNodeName) {
    return node.child(childNodeName.c_str()).child_value();
}

const char* AttributeValue(pugi::xml_node node, std::string attributeName) {
    return node.attribute(attributeName.c_str()).value();
}

int AddAttribute(pugi::xml_node node, std::string name, std::string value) {
    pugi::xml_attribute attribute = node.append_attribute(name.c_str());
    attribute.set_value(value.c_str());
    return 0;
}

pugi::xml_node AddChild(pugi::xml_node node, std::string name) {
    return node.append_child(name.c_str());
}

template <typename T> std::string ToHex(const T& value) {
    std::ostringstream out;
    out << std::hex << value;
    return out.str();
}
template std::string ToHex<int>(const int& value);

int ParseError(pugi::xml_node node, const std::string& timestampDevice, const std::string& txtField,
               int nResult) {
    AddAttribute(node, timestampDevice, txtPARSE_ERROR + txtField);
    return nResult;
}

std::string StatusAnnotation(int nError) {
    return (nError == 0 ? txtRESULT : txtERROR) + ToHex(nError);
}

std::string ResponseLenAnnotation(int nResponseLen) {
    return ";responselen=" + ToHex(nResponseLen);
}

std::string KxbUpperHex(int nValue) {
    std::string sHex = ToHex(nValue);
    for (char& c : sHex) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return sHex;
}

std::string KxbTwoDigits(int nValue) {
    std::string sHex = KxbUpperHex(nValue & 0xFF);
    return sHex.size() < 2 ? "0" + sHex : sHex;
}

std::string KxbByteListText(const std::vector<unsigned char>& pBytes) {
    std::string sBytes;
    sBytes.reserve(3 * pBytes.size());
    for (unsigned char b : pBytes) {
        if (!sBytes.empty()) sBytes += ' ';
        sBytes += KxbTwoDigits(b);
    }
    return sBytes;
}
