#pragma once

#include "platform/application.h"
#include "platform/clock.h"

namespace tolvane {

// The application delegate. It keeps no state: every termination request announces "quit" at once
// and gives its own reply, which ends the process, `replyDelay` later.
class Delegate final : public ApplicationDelegate {
 public:
  static constexpr Duration replyDelay = std::chrono::seconds(10);

  TerminateReply applicationShouldTerminate(Application& sender) override;
};

}  // namespace tolvane
