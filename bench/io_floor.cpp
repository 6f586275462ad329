// The I/O floor of a restore run: io_floor OUTPUT INPUT...
#include "floor.h"

int main(int argc, char** argv) {
    return floor_io::run(argc, argv, 1, [](int, const uint8_t*, uint64_t) {});
}
