#include "protocol/main_loop.h"

// The engine takes no command-line arguments; everything comes through stdin.
int main() { return runEngine(); }
