// filemend: checks the system files and rewrites corrupted ones.
#include "platform/kmx_platform.h"

int main() { return 0; }
