#include "platform/error.h"

namespace tolvane {

std::string Error::description() const {
  return "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" + localizedDescription +
         "\" UserInfo={NSLocalizedDescription=" + localizedDescription + "}";
}

Error notFoundError() { return Error{"tolvane", 1, "notFound"}; }

}  // namespace tolvane
