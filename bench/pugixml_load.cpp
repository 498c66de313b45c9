// The baseline of the check pass: loads a kxb file with pugixml exactly as kavelwrite does, and
// nothing else.
//
//   pugixml_load SCRIPT
#include <pugixml.hpp>

#include <cstdio>

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "Usage: pugixml_load SCRIPT\n");
        return 2;
    }
    pugi::xml_document doc;
    pugi::xml_parse_result loaded = doc.load_file(argv[1], pugi::parse_default, pugi::encoding_auto);
    return loaded ? 0 : 1;
}
