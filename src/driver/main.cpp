#include "driver.h"

int main(int argc, char* argv[]) {
    return kxbMain(argc, argv);
}
