#pragma once

namespace tolvane {

// Gives the memory that the heap holds free back to the system. Costly with a large heap: for
// after a large structure was released, not for every command.
void returnFreeMemory();

}  // namespace tolvane
