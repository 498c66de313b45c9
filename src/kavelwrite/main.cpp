// kavelwrite's entry.
#include "kavelwrite.h"

int main(int argc, char* argv[]) {
    return kxbMain(argc, argv);
}
