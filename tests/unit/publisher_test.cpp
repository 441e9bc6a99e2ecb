#include "platform/publisher.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/counted.h"

namespace tolvane::testing {
namespace {

using Log = std::vector<std::string>;

class PublisherTest : public ::testing::Test {
 protected:
  std::function<void()> note(std::string name) {
    return [this, name] { log.push_back(name); };
  }

  Publisher publisher;
  Log log;
};

TEST_F(PublisherTest, SendCallsEveryReceiverOnceInSubscriptionOrder) {
  Cancellable a = publisher.sink(note("a"));
  Cancellable b = publisher.sink(note("b"));
  EXPECT_EQ(publisher.subscriberCount(), 2u);
  EXPECT_TRUE(log.empty()) << "subscribing sends nothing";

  publisher.send();
  publisher.send();
  EXPECT_EQ(log, (Log{"a", "b", "a", "b"}));
}

TEST_F(PublisherTest, CancelledReceiverIsNeverCalledAgainAndIsReleased) {
  struct Row {
    const char* name;
    std::function<void(std::optional<Cancellable>&)> end;
  };
  const Row rows[] = {
      // A destructor that forgets to unsubscribe keeps calling a receiver whose owner is gone.
      {"handle destroyed", [](std::optional<Cancellable>& c) { c.reset(); }},
      {"cancel()", [](std::optional<Cancellable>& c) { c->cancel(); }},
      {"cancel() twice",
       [](std::optional<Cancellable>& c) {
         c->cancel();
         c->cancel();
       }},
      // Assigning over a handle ends the subscription it held.
      {"empty handle assigned over it", [](std::optional<Cancellable>& c) { *c = Cancellable{}; }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Publisher rowPublisher;
    int live = 0;
    int calls = 0;
    Cancellable other = rowPublisher.sink([&] { ++calls; });
    std::optional<Cancellable> handle = rowPublisher.sink([&calls, guard = Counted(live)] { calls += 100; });
    ASSERT_EQ(live, 1);

    row.end(handle);
    EXPECT_EQ(live, 0) << "the receiver and its captures are released at once";
    EXPECT_EQ(rowPublisher.subscriberCount(), 1u);
    rowPublisher.send();
    EXPECT_EQ(calls, 1) << "only the other receiver";
  }
}

TEST_F(PublisherTest, ReceiverMayCancelItselfDuringSend) {
  int live = 0;
  int liveInsideAfterCancel = -1;
  std::optional<Cancellable> self;
  Cancellable before = publisher.sink(note("before"));
  self = publisher.sink([&, guard = Counted(live)] {
    log.push_back("self");
    self.reset();
    // The running receiver must survive its own cancellation until it returns.
    liveInsideAfterCancel = live;
  });
  Cancellable after = publisher.sink(note("after"));

  publisher.send();
  EXPECT_GE(liveInsideAfterCancel, 1);
  EXPECT_EQ(live, 0) << "released once the send has finished with it";
  publisher.send();
  EXPECT_EQ(log, (Log{"before", "self", "after", "before", "after"}));
}

TEST_F(PublisherTest, ReceiverCancelledByAnotherDuringSendIsNotCalledByThatSend) {
  std::optional<Cancellable> earlier;
  std::optional<Cancellable> later;
  earlier = publisher.sink(note("earlier"));
  Cancellable canceller = publisher.sink([&] {
    log.push_back("canceller");
    earlier.reset();  // already called in this send
    later.reset();    // not yet called: must not be
  });
  later = publisher.sink(note("later"));

  publisher.send();
  publisher.send();
  EXPECT_EQ(log, (Log{"earlier", "canceller", "canceller"}));
  EXPECT_EQ(publisher.subscriberCount(), 1u);
}

TEST_F(PublisherTest, ReceiverAddedDuringSendHearsOnlyTheNextOne) {
  std::vector<Cancellable> added;
  Cancellable adder = publisher.sink([&] {
    log.push_back("adder");
    added.push_back(publisher.sink(note("added " + std::to_string(added.size()))));
  });

  publisher.send();
  EXPECT_EQ(log, (Log{"adder"}));
  publisher.send();
  EXPECT_EQ(log, (Log{"adder", "adder", "added 0"}));
}

TEST_F(PublisherTest, MovedHandleCarriesTheSubscription) {
  std::optional<Cancellable> source = publisher.sink(note("a"));
  Cancellable moved = std::move(*source);
  source.reset();  // the moved-from handle owns nothing
  publisher.send();
  EXPECT_EQ(log, (Log{"a"}));

  Cancellable target = publisher.sink(note("b"));
  target = std::move(moved);  // ends "b", takes over "a"
  publisher.send();
  EXPECT_EQ(log, (Log{"a", "a"}));
  EXPECT_EQ(publisher.subscriberCount(), 1u);

  target.cancel();
  publisher.send();
  EXPECT_EQ(log, (Log{"a", "a"}));
}

TEST_F(PublisherTest, HandleMayOutliveItsPublisher) {
  int live = 0;
  auto ownPublisher = std::make_unique<Publisher>();
  Cancellable handle = ownPublisher->sink([guard = Counted(live)] {});
  ownPublisher.reset();
  EXPECT_EQ(live, 0) << "the publisher releases its receivers";
  handle.cancel();  // must not touch the gone publisher
  Cancellable{std::move(handle)}.cancel();
}

}  // namespace
}  // namespace tolvane::testing
