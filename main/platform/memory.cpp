#include "platform/memory.h"

#include <malloc.h>

namespace tolvane {

void returnFreeMemory() { ::malloc_trim(0); }

}  // namespace tolvane
