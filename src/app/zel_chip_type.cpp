// zel_chip_type: service tool over the hash-board control library.
#include "platform/kmx_platform.h"

int main() { return 0; }
