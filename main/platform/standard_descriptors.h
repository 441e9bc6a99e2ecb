#pragma once

namespace tolvane {

// Which of the standard descriptors the process was started without.
struct ClosedStandardDescriptors {
  bool input = false;
  bool output = false;
  bool error = false;
};

// Once, first thing in the process, before anything opens a descriptor: fills each closed one of
// descriptors 0, 1 and 2 so that no descriptor the program opens later can land there and be taken
// for a standard stream. A closed input becomes /dev/null (it ends at once); a closed output becomes
// a pipe whose reading end is gone (the first write fails, as when a parent closes its end); a closed
// error output becomes /dev/null.
ClosedStandardDescriptors occupyClosedStandardDescriptors();

}  // namespace tolvane
