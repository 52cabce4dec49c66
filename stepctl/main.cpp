// stepctl: runs the factory tuning steps across work modes.
#include "module/kmx_log.h"

int main() { return 0; }
