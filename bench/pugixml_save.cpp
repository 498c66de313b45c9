// The baseline of the log file: loads a kxb file with pugixml exactly as kavelwrite does and saves
// the document as kavelwrite saves its log file, and nothing else.
//
//   pugixml_save SCRIPT OUTPUT
#include <pugixml.hpp>

#include <cstdio>

int main(int argc, char* argv[]) {
    if (argc != 3) {
        std::fprintf(stderr, "Usage: pugixml_save SCRIPT OUTPUT\n");
        return 2;
    }
    pugi::xml_document doc;
    pugi::xml_parse_result loaded = doc.load_file(argv[1], pugi::parse_default, pugi::encoding_auto);
    if (!loaded) return 1;
    return doc.save_file(argv[2], "\t", pugi::format_indent, pugi::encoding_auto) ? 0 : 1;
}
