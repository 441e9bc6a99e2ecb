#include "music/command_line.h"

int main(int argc, char** argv) { return tolvane::runCommandLine(argc, argv); }
