#include "music/delegate.h"

#include "music/write.h"

namespace tolvane {

TerminateReply Delegate::applicationShouldTerminate(Application& sender) {
  write(Json(JsonObject{{"type", "quit"}}));
  sender.mainLoop().runAfter(replyDelay, [&sender] { sender.replyToApplicationShouldTerminate(true); });
  return TerminateReply::terminateLater;
}

}  // namespace tolvane
