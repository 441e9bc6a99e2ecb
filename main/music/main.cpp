#include "music/helper.h"

int main() { return tolvane::Helper::main(); }
