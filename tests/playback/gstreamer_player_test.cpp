// The GStreamer player in real time, in process: songs are tone files the tests make, played to a
// fake output that keeps time ("fakesink sync=true") or to a file that captures every sample. The
// tests wait for events on the main loop, with margins that hold on a loaded machine; none asserts
// a speed.

#include "music_service/gstreamer/gstreamer_player.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "music_service/gstreamer/gstreamer_runtime.h"
#include "platform/clock.h"
#include "platform/run_loop.h"
#include "support/audio_files.h"

namespace tolvane {
namespace {

using namespace std::chrono_literals;
using testing::AudioFormat;
using testing::TemporaryFolder;

constexpr const char* realTime = "fakesink sync=true";

// GStreamer's own state goes at the end of the run, so that whatever the leak checker finds left
// was lost.
class GStreamerTeardown : public ::testing::Environment {
 public:
  void TearDown() override { gst_deinit(); }
};
[[maybe_unused]] const ::testing::Environment* const teardown =
    ::testing::AddGlobalTestEnvironment(new GStreamerTeardown);  // owned by GoogleTest

std::string fileUrl(const std::string& path) { return "file://" + path; }

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The file decoded on its own, as 32-bit float samples: what a gapless queue must deliver of it.
std::string decodedAlone(const std::string& path, const std::string& into) {
  const std::string description = "filesrc location=\"" + path +
                                  "\" ! decodebin ! audioconvert ! audio/x-raw,format=F32LE ! filesink location=\"" +
                                  into + "\"";
  GError* failure = nullptr;
  GstElement* pipeline = gst_parse_launch(description.c_str(), &failure);
  if (failure) g_error_free(failure);
  if (!pipeline) return {};
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  GstBus* bus = gst_element_get_bus(pipeline);
  GstMessage* end = gst_bus_timed_pop_filtered(bus, 30 * GST_SECOND,
                                               static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  const bool finished = end && GST_MESSAGE_TYPE(end) == GST_MESSAGE_EOS;
  if (end) gst_message_unref(end);
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(pipeline);
  return finished ? readAll(into) : std::string();
}

std::vector<float> samplesOf(const std::string& bytes) {
  std::vector<float> samples(bytes.size() / sizeof(float));
  std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
  return samples;
}

class PlayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // GStreamer ready before anything is timed.
    ASSERT_TRUE(runUntil([&] { return initialised; }, 60s)) << "GStreamer did not initialise";
  }

  void makePlayer(const std::string& output = realTime) {
    player = std::make_unique<GStreamerPlayer>(loop, runtime, output);
    // Each announcement is recorded with the state it announces, which the player has set by the time
    // the posted job runs.
    stateWatch = player->stateWillChange().sink(
        [this] { loop.post([this] { changes.push_back("status " + describe(player->playbackStatus())); }); });
  }

  // A song of a tone made at test time; its duration is the tone's length.
  std::shared_ptr<const Song> makeSong(const std::string& name, AudioFormat format, double seconds,
                                       double frequency = 440.0) {
    const std::string path = folder.file(name + "." + testing::extensionOf(format));
    testing::makeAudioFile(path, format, seconds, frequency);
    return std::make_shared<const Song>(
        Song{name, name, "Test Tones", std::nullopt, seconds, std::nullopt, fileUrl(path)});
  }

  void setQueue(const std::vector<std::shared_ptr<const Song>>& songs) {
    player->setQueue(songs);
    queueWatch = player->queue()->objectWillChange().sink(
        [this] { loop.post([this] { changes.push_back("entry " + currentId()); }); });
  }

  std::string currentId() const {
    const std::optional<QueueEntry> entry = player->queue()->currentEntry();
    return entry && entry->song ? entry->song->id : "(none)";
  }

  // Runs the main loop until `done` holds; false when `timeout` passes first.
  bool runUntil(const std::function<bool()>& done, Duration timeout = 30s) {
    if (done()) return true;
    const TimePoint deadline = clock.now() + timeout;
    Timer watch = loop.scheduleRepeating(5ms, [&] {
      if (done() || clock.now() >= deadline) loop.quit();
    });
    loop.run();
    return done();
  }

  // Runs the main loop for `period`, whatever happens.
  void runFor(Duration period) {
    const TimePoint until = clock.now() + period;
    runUntil([&] { return clock.now() >= until; }, period + 1s);
  }

  template <typename T>
  std::optional<T> await(Future<T> future, Duration timeout = 30s) {
    if (!runUntil([&] { return future.await_ready(); }, timeout)) return std::nullopt;
    return future.await_resume();
  }

  Result<void> play() {
    std::optional<Result<void>> played = await(player->play());
    if (!played) return Error{"test", 0, "play() did not complete"};
    return *played;
  }

  bool queueHasEnded() {
    return player->playbackStatus() == PlaybackStatus::paused && player->playbackTime() == 0.0 &&
           player->queue()->currentEntry() && currentId() == firstId;
  }

  // The file playbin reads: the next one as soon as about-to-finish has handed it over, while the one
  // before it still plays.
  std::string playbinUri() {
    gchar* uri = nullptr;
    g_object_get(player->pipelineForTest()->playbinForTest(), "current-uri", &uri, nullptr);
    std::string text = uri ? uri : "";
    g_free(uri);
    return text;
  }

  SteadyClock clock;
  RunLoop loop{clock};
  GStreamerRuntime runtime{loop};
  bool initialised = [this] {
    runtime.whenReady([this](const Result<void>& ok) { initialised = ok.ok(); });
    return false;
  }();
  TemporaryFolder folder;
  std::unique_ptr<GStreamerPlayer> player;
  std::vector<std::string> changes;
  Cancellable stateWatch;
  Cancellable queueWatch;
  std::string firstId;
};

TEST_F(PlayerTest, ConsecutiveSongsJoinWithoutASampleMissingOrAdded) {
  struct Row {
    const char* name;
    AudioFormat format;
    // How far a sample may differ from the file decoded alone. The MP3 decoder gives float samples in
    // the queue and 16-bit ones alone (the formats are negotiated differently), so they may differ by
    // one 16-bit step; a sample missing or added moves the tone by far more.
    float tolerance = 0.0F;
  };
  const Row rows[] = {
      {"flac", AudioFormat::flac},
      {"vorbis", AudioFormat::vorbis},  // float samples: compared before any dithering to integers
      {"opus", AudioFormat::opus},      // pre-skip and end trimming at both joins
      {"mp3 with its LAME header", AudioFormat::mp3, 1.0F / 32768},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    changes.clear();
    const std::string captured = folder.file(std::string("captured-") + testing::extensionOf(row.format) + ".raw");
    makePlayer("audioconvert ! audio/x-raw,format=F32LE ! filesink location=\"" + captured + "\"");
    const std::vector<std::shared_ptr<const Song>> songs = {makeSong("one", row.format, 1.3, 440.0),
                                                            makeSong("two", row.format, 1.7, 554.4),
                                                            makeSong("three", row.format, 1.1, 659.3)};
    firstId = "one";
    setQueue(songs);
    ASSERT_TRUE(play().ok());
    ASSERT_TRUE(runUntil([&] { return queueHasEnded(); })) << "the queue did not play out";

    std::vector<float> expected;
    std::vector<std::size_t> joins;
    for (const auto& song : songs) {
      const std::string path = song->url->substr(std::strlen("file://"));
      const std::vector<float> alone = samplesOf(decodedAlone(path, path + ".alone.raw"));
      ASSERT_FALSE(alone.empty()) << path;
      expected.insert(expected.end(), alone.begin(), alone.end());
      joins.push_back(expected.size());
    }
    const std::vector<float> actual = samplesOf(readAll(captured));
    ASSERT_EQ(actual.size(), expected.size())
        << "samples missing or added; the songs end at " << joins[0] << ", " << joins[1] << ", " << joins[2];
    std::size_t differing = 0;
    std::optional<std::size_t> first;
    for (std::size_t i = 0; i < actual.size(); ++i) {
      if (std::fabs(actual[i] - expected[i]) > row.tolerance) {
        ++differing;
        if (!first) first = i;
      }
    }
    EXPECT_EQ(differing, 0u) << "first at sample " << first.value_or(0) << "; the songs end at " << joins[0] << ", "
                             << joins[1] << ", " << joins[2];
    // Playing, three changes of entry (the last back to the first), paused. (The entries' own order
    // is the samples'; a recorded change reads the entry when the output may be past it already.)
    ASSERT_EQ(changes.size(), 5u);
    EXPECT_EQ(changes.front(), "status playing");
    EXPECT_EQ(
        std::count_if(changes.begin(), changes.end(), [](const std::string& c) { return c.starts_with("entry"); }), 3);
    EXPECT_EQ(changes.back(), "status paused");
    player.reset();
  }
}

TEST_F(PlayerTest, AnEntryBecomesCurrentWithItsFirstSampleAndItsPositionStartsAtZero) {
  makePlayer();
  const auto one = makeSong("one", AudioFormat::flac, 2.0);
  const auto two = makeSong("two", AudioFormat::flac, 2.0, 660.0);
  firstId = "one";
  setQueue({one, two});
  ASSERT_TRUE(play().ok());
  const TimePoint started = clock.now();
  // Every 5 ms: which entry is current and where it stands.
  struct Sample {
    std::string id;
    double seconds;
    Duration since;
  };
  std::vector<Sample> samples;
  Timer sampling = loop.scheduleRepeating(5ms, [&] {
    if (player->playbackStatus() == PlaybackStatus::playing) {
      samples.push_back({currentId(), player->playbackTime(), clock.now() - started});
    }
  });
  ASSERT_TRUE(runUntil([&] { return queueHasEnded(); }));
  sampling.invalidate();

  ASSERT_FALSE(samples.empty());
  std::optional<Sample> firstOfTwo;
  double lastOfOne = 0;
  std::optional<Sample> previous;
  for (const Sample& sample : samples) {
    EXPECT_LE(sample.seconds, 2.0) << sample.id << ": never past the song's length";
    EXPECT_GE(sample.seconds, 0.0);
    // Within a song the position only moves on: the next song's never shows under the song before.
    if (previous && previous->id == sample.id) {
      EXPECT_GE(sample.seconds, previous->seconds) << sample.id << " went back at " << sample.since.count() << " ns";
    }
    previous = sample;
    if (sample.id == "one") lastOfOne = sample.seconds;
    if (sample.id == "two" && !firstOfTwo) firstOfTwo = sample;
  }
  ASSERT_TRUE(firstOfTwo);
  // Not the previous song's position (2.0): the new entry starts near zero. (Margins for a loop that
  // a loaded machine keeps waiting.)
  EXPECT_LT(firstOfTwo->seconds, 1.0);
  EXPECT_GT(lastOfOne, 1.0);
  // The next file is handed over about a second before the end; the entry changes only when its
  // samples play, a whole song after the start.
  EXPECT_GE(firstOfTwo->since, 1900ms);
}

TEST_F(PlayerTest, ASeekAfterTheNextFileWasHandedOverStaysInTheSongThatPlays) {
  makePlayer();
  const auto one = makeSong("one", AudioFormat::flac, 3.0);
  const auto two = makeSong("two", AudioFormat::flac, 1.5, 660.0);
  firstId = "one";
  setQueue({one, two});
  ASSERT_TRUE(play().ok());
  // about-to-finish has given playbin the next file while the first still plays.
  ASSERT_TRUE(runUntil([&] { return playbinUri() == *two->url; }));
  ASSERT_EQ(currentId(), "one");

  player->setPlaybackTime(0.5);
  const TimePoint seeked = clock.now();
  EXPECT_EQ(player->playbackTime(), 0.5);
  ASSERT_TRUE(runUntil([&] { return player->playbackTime() > 0.7; }, 10s));
  EXPECT_EQ(currentId(), "one");
  // From 0.5 on, not from where the first song stood before the seek.
  EXPECT_LE(player->playbackTime(), 0.5 + std::chrono::duration_cast<Seconds>(clock.now() - seeked).count() + 0.2);
  // The rest of the first song plays (2.5 s from 0.5), then the second follows it.
  ASSERT_TRUE(runUntil([&] { return currentId() == "two"; }, 20s));
  EXPECT_GE(clock.now() - seeked, 2300ms);
  EXPECT_TRUE(runUntil([&] { return queueHasEnded(); }));
}

TEST_F(PlayerTest, PauseHoldsThePositionAndPlayGoesOnFromIt) {
  makePlayer();
  firstId = "one";
  setQueue({makeSong("one", AudioFormat::vorbis, 3.0)});
  ASSERT_TRUE(play().ok());
  ASSERT_TRUE(runUntil([&] { return player->playbackTime() > 0.5; }));
  player->pause();
  const double held = player->playbackTime();
  runFor(400ms);
  EXPECT_EQ(player->playbackStatus(), PlaybackStatus::paused);
  EXPECT_EQ(player->playbackTime(), held);
  ASSERT_TRUE(play().ok());
  EXPECT_EQ(player->playbackStatus(), PlaybackStatus::playing);
  const double resumed = player->playbackTime();
  EXPECT_GE(resumed, held - 0.05);
  EXPECT_LT(resumed, held + 1.5);  // from the held position, not from a jump ahead (margin for a loaded machine)
}

TEST_F(PlayerTest, APositionAtOrPastTheEndEndsTheEntryAtOnce) {
  makePlayer();
  firstId = "one";
  setQueue({makeSong("one", AudioFormat::flac, 3.0), makeSong("two", AudioFormat::flac, 3.0, 660.0)});
  ASSERT_TRUE(play().ok());
  player->setPlaybackTime(3.0);
  EXPECT_EQ(currentId(), "two");
  EXPECT_EQ(player->playbackTime(), 0.0);
  ASSERT_TRUE(runUntil([&] { return player->playbackTime() > 0.3; }));
  EXPECT_EQ(player->playbackStatus(), PlaybackStatus::playing);
  // Past the end of the last entry: the queue ends, first entry, paused at 0.
  player->setPlaybackTime(100.0);
  EXPECT_TRUE(queueHasEnded());
}

TEST_F(PlayerTest, ALaterRequestWinsOverAPlayStillStarting) {
  struct Row {
    const char* name;
    std::function<void(GStreamerPlayer&)> request;
    PlaybackStatus after;
  };
  const Row rows[] = {
      {"stop", [](GStreamerPlayer& p) { p.stop(); }, PlaybackStatus::stopped},
      {"pause", [](GStreamerPlayer& p) { p.pause(); }, PlaybackStatus::paused},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    makePlayer();
    setQueue({makeSong("one", AudioFormat::flac, 2.0)});
    Future<Result<void>> starting = player->play();
    row.request(*player);
    const std::optional<Result<void>> played = await(std::move(starting));
    ASSERT_TRUE(played);
    EXPECT_TRUE(played->ok());
    runFor(300ms);
    EXPECT_EQ(player->playbackStatus(), row.after);
    EXPECT_EQ(player->playbackTime(), 0.0);
    player.reset();
  }
}

TEST_F(PlayerTest, AFileThatCannotBePlayedIsPassedOverForTheNext) {
  struct Row {
    const char* name;
    // Spoils the file at `path` after the queue was set (the file is read when its turn comes).
    std::function<void(const std::string& path)> spoil;
  };
  const Row rows[] = {
      {"deleted", [](const std::string& path) { std::filesystem::remove(path); }},
      {"text", [](const std::string& path) { testing::writeFile(path, "not audio at all\n"); }},
      {"cut after its header", [](const std::string& path) { std::filesystem::resize_file(path, 200); }},
      {"garbage in the middle",
       [](const std::string& path) {
         std::string bytes = readAll(path);
         for (std::size_t i = bytes.size() / 4; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 37);
         testing::writeFile(path, bytes);
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    changes.clear();
    makePlayer();
    const auto one = makeSong("one", AudioFormat::flac, 1.5);
    const auto bad = makeSong("bad", AudioFormat::vorbis, 1.5, 550.0);
    const auto three = makeSong("three", AudioFormat::flac, 1.5, 660.0);
    firstId = "one";
    setQueue({one, bad, three});
    ASSERT_TRUE(play().ok());
    row.spoil(bad->url->substr(std::strlen("file://")));
    ASSERT_TRUE(runUntil([&] { return currentId() == "three"; })) << "the third song never came";
    EXPECT_EQ(player->playbackStatus(), PlaybackStatus::playing);
    ASSERT_TRUE(runUntil([&] { return player->playbackTime() > 0.2; }));
    ASSERT_TRUE(runUntil([&] { return queueHasEnded(); }));
    // The failing entry is never current, whether it failed when handed over or when loaded.
    EXPECT_EQ(changes, (std::vector<std::string>{"status playing", "entry three", "entry one", "status paused"}));
    player.reset();
  }
}

TEST_F(PlayerTest, WhenNoLaterEntryCanPlayTheQueueEndsAsIfPlayedOut) {
  makePlayer();
  const auto one = makeSong("one", AudioFormat::flac, 1.0);
  const auto gone = makeSong("gone", AudioFormat::flac, 1.0);
  const auto text = makeSong("text", AudioFormat::flac, 1.0);
  firstId = "one";
  setQueue({one, gone, text});
  std::filesystem::remove(gone->url->substr(std::strlen("file://")));
  testing::writeFile(text->url->substr(std::strlen("file://")), "text\n");
  ASSERT_TRUE(play().ok());
  ASSERT_TRUE(runUntil([&] { return queueHasEnded(); }));
  // The failing entries are never current; the last one is shown (at its end, as if it had played
  // out) before the queue goes back to its first entry.
  EXPECT_EQ(changes, (std::vector<std::string>{"status playing", "entry text", "entry one", "status paused"}));
}

TEST_F(PlayerTest, PlayFailsWithGStreamersErrorWhenTheFirstEntryOrTheOutputCannotBeOpened) {
  struct Row {
    const char* name;
    std::string output;
    bool firstFileMissing;
    std::string domain;
  };
  const Row rows[] = {
      {"missing file", realTime, true, "gst-resource-error-quark"},
      {"output that cannot be opened", "filesink location=/nonexistent/folder/out.raw", false,
       "gst-resource-error-quark"},
      {"output that does not parse", "nosuchsink", false, "gst_parse_error"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    makePlayer(row.output);
    const auto one = makeSong("one", AudioFormat::flac, 1.0);
    setQueue({one, makeSong("two", AudioFormat::flac, 1.0)});
    if (row.firstFileMissing) std::filesystem::remove(one->url->substr(std::strlen("file://")));
    const Result<void> played = play();
    ASSERT_FALSE(played.ok());
    EXPECT_EQ(played.error().domain, row.domain);
    EXPECT_FALSE(played.error().localizedDescription.empty());
    EXPECT_NE(player->playbackStatus(), PlaybackStatus::playing);
    player.reset();
  }
}

TEST_F(PlayerTest, TheSubscriptionSaysWhetherTheOutputCanBeOpened) {
  struct Row {
    std::string output;
    bool canPlay;
    std::string domain;
  };
  const Row rows[] = {
      {realTime, true, ""},
      {"audioconvert ! audio/x-raw,format=S16LE ! filesink location=" + folder.file("out.raw"), true, ""},
      {"filesink location=/nonexistent/folder/out.raw", false, "gst-resource-error-quark"},
      {"fakesink sync=maybe", false, "gst_parse_error"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.output);
    makePlayer(row.output);
    const std::optional<Result<Subscription>> subscription = await(player->subscription());
    ASSERT_TRUE(subscription);
    EXPECT_EQ(subscription->ok(), row.canPlay);
    if (subscription->ok()) {
      EXPECT_TRUE(subscription->value().canPlayCatalogContent);
    } else {
      EXPECT_EQ(subscription->error().domain, row.domain);
    }
    player.reset();
  }
}

TEST_F(PlayerTest, TheOutputHeldOrTheStreamStalledInterruptsPlaybackUntilReleased) {
  struct Row {
    const char* name;
    std::function<GstMessage*(GstObject* source)> hold;
    std::function<GstMessage*(GstObject* source)> release;
  };
  const Row rows[] = {
      {"another program takes the output",
       [](GstObject* source) { return gst_message_new_request_state(source, GST_STATE_PAUSED); },
       [](GstObject* source) { return gst_message_new_request_state(source, GST_STATE_PLAYING); }},
      {"the stream stalls", [](GstObject* source) { return gst_message_new_buffering(source, 40); },
       [](GstObject* source) { return gst_message_new_buffering(source, 100); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    makePlayer();
    setQueue({makeSong("one", AudioFormat::flac, 4.0)});
    ASSERT_TRUE(play().ok());
    ASSERT_TRUE(runUntil([&] { return player->playbackTime() > 0.3; }));
    GstElement* playbin = player->pipelineForTest()->playbinForTest();
    gst_element_post_message(playbin, row.hold(GST_OBJECT(playbin)));
    ASSERT_TRUE(runUntil([&] { return player->playbackStatus() == PlaybackStatus::interrupted; }));
    const double held = player->playbackTime();
    runFor(300ms);
    EXPECT_EQ(player->playbackTime(), held);
    gst_element_post_message(playbin, row.release(GST_OBJECT(playbin)));
    ASSERT_TRUE(runUntil([&] { return player->playbackStatus() == PlaybackStatus::playing; }));
    EXPECT_TRUE(runUntil([&] { return player->playbackTime() > held + 0.2; }));
    player.reset();
  }
}

TEST_F(PlayerTest, ALostOutputInterruptsAndPlayGoesOnFromThePosition) {
  // Played in real time into a file on a full device: the file sink's first full buffer (64 KiB, some
  // 0.7 s of the mono tone) fails to be written, while the song plays.
  makePlayer("filesink location=/dev/full sync=true");
  setQueue({makeSong("one", AudioFormat::flac, 4.0)});
  ASSERT_TRUE(play().ok());
  ASSERT_TRUE(runUntil([&] { return player->playbackStatus() == PlaybackStatus::interrupted; }));
  const double held = player->playbackTime();
  EXPECT_GT(held, 0.2);
  runFor(200ms);
  EXPECT_EQ(player->playbackTime(), held);
  // Played again, it goes on from there (and meets the full device again).
  ASSERT_TRUE(play().ok());
  EXPECT_EQ(player->playbackStatus(), PlaybackStatus::playing);
  EXPECT_GE(player->playbackTime(), held - 0.05);
  EXPECT_TRUE(runUntil([&] { return player->playbackStatus() == PlaybackStatus::interrupted; }));
}

}  // namespace
}  // namespace tolvane
