#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>

#include <unistd.h>

#include "link/USB.h"
#include "tests/link/FakeHidPlatform.h"

namespace zol {
namespace {

using namespace std::chrono_literals;
using test::FakeHidPlatform;
using Bytes = std::vector<std::uint8_t>;

template <typename Pred> bool WaitUntil(Pred pred, std::chrono::milliseconds timeout = 2000ms) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end)
      return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

Bytes Answer(std::uint8_t first) {
  Bytes report(13, 0);
  for (int i = 1; i < 13; ++i)
    report[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(first + i - 1);
  return report;
}

/// A channel for the instrument with counters on its three notifications.
struct Channel : THIDDevice {
  explicit Channel(HidPlatform &p) : THIDDevice(p) {
    Vid = 0x0451;
    Pid = 0x0023;
    OnConnect = [this](TObject *sender) {
      EXPECT_EQ(sender, this);
      ++Connects;
    };
    OnDisconnect = [this](TObject *sender) {
      EXPECT_EQ(sender, this);
      ++Disconnects;
    };
    OnRXFrame = [this](TObject *sender) {
      EXPECT_EQ(sender, this);
      std::uint8_t frame[12];
      ReadFrame(frame, 12);
      LastFirstByte = frame[0];
      ++Frames;
    };
  }
  // The most derived class stops the worker: it calls virtual members until it is stopped.
  ~Channel() override { CloseDevice(); }
  std::atomic<int> Connects{0}, Disconnects{0}, Frames{0};
  std::atomic<int> LastFirstByte{-1};
};

TEST(Channel, ConnectAndDisconnectFireOncePerChange) {
  FakeHidPlatform platform;
  platform.Add("/dev/hidraw1");
  Channel channel(platform);
  ASSERT_TRUE(channel.OpenDevice(0));
  EXPECT_EQ(channel.OutputLength.load(), 9);
  ASSERT_TRUE(WaitUntil([&] { return channel.Connects == 1; }));

  platform.PushInput(0, Answer(0x10));
  ASSERT_TRUE(WaitUntil([&] { return channel.Frames == 1; }));
  EXPECT_EQ(channel.LastFirstByte, 0x10);
  EXPECT_EQ(channel.LastReceivedLength(), 13);

  platform.SetPresent(0, false);
  ASSERT_TRUE(WaitUntil([&] { return channel.Disconnects == 1; }));
  // Several absent turns later still one notification.
  const auto turns = channel.Worker()->Turns();
  ASSERT_TRUE(WaitUntil([&] { return channel.Worker()->Turns() >= turns + 3; }));
  EXPECT_EQ(channel.Disconnects, 1);

  // Plugged back: connected again without a new OpenDevice.
  platform.SetPresent(0, true);
  ASSERT_TRUE(WaitUntil([&] { return channel.Connects == 2; }));
  const auto later = channel.Worker()->Turns();
  ASSERT_TRUE(WaitUntil([&] { return channel.Worker()->Turns() >= later + 3; }));
  EXPECT_EQ(channel.Connects, 2);
  EXPECT_EQ(channel.Disconnects, 1);
  channel.CloseDevice();
  EXPECT_EQ(platform.OpenHandles(), 0);
}

TEST(Channel, SelectingTheSameDeviceTwiceConnectsTwice) {
  FakeHidPlatform platform;
  platform.Add("/dev/hidraw1");
  Channel channel(platform);
  ASSERT_TRUE(channel.OpenDevice(0));
  ASSERT_TRUE(WaitUntil([&] { return channel.Connects == 1; }));
  ASSERT_TRUE(channel.OpenDevice(0));
  ASSERT_TRUE(WaitUntil([&] { return channel.Connects == 2; }));
  EXPECT_EQ(channel.Disconnects, 0);
}

TEST(Channel, OpenDeviceRefusesIndicesOutsideTheList) {
  FakeHidPlatform platform;
  platform.Add("/dev/hidraw1");
  Channel channel(platform);
  EXPECT_FALSE(channel.OpenDevice(1));
  EXPECT_FALSE(channel.OpenDevice(-1));
  EXPECT_EQ(channel.OutputLength.load(), 0);
  EXPECT_TRUE(channel.Worker()->Suspended()) << "the worker was never started";
}

TEST(Channel, OpenDeviceWithoutReadableLengthsIsFalseAndKeepsThem) {
  for (const bool vanishes : {false, true}) {
    SCOPED_TRACE(vanishes ? "the node is gone between the scan and the open" : "unreadable");
    FakeHidPlatform platform;
    FakeHidPlatform::Device &d = platform.Add("/dev/hidraw1");
    if (vanishes)
      d.OpensLeft = 1; // the scan's
    else
      d.LengthsReadable = false;
    Channel channel(platform);
    EXPECT_FALSE(channel.OpenDevice(0));
    EXPECT_EQ(channel.OutputLength.load(), 0);
    EXPECT_FALSE(channel.OpenError.empty());
    if (vanishes) {
      // Nothing is known of what may come back on its path: never linked.
      platform.With(0, [](FakeHidPlatform::Device &d) { d.OpensLeft = -1; });
      const auto turns = channel.Worker()->Turns();
      ASSERT_TRUE(WaitUntil([&] { return channel.Worker()->Turns() >= turns + 2; }));
      EXPECT_EQ(channel.Connects, 0);
    } else {
      // Selected all the same: the worker tracks presence.
      ASSERT_TRUE(WaitUntil([&] { return channel.Connects == 1; }));
    }
  }
}

TEST(Channel, DevicesDeclaringReportsLongerThanTheBuffersAreRefused) {
  for (HidReportLengths lengths : {HidReportLengths{257, 9}, HidReportLengths{13, 258}}) {
    FakeHidPlatform platform;
    platform.Add("/dev/hidraw1").Lengths = lengths;
    Channel channel(platform);
    EXPECT_FALSE(channel.OpenDevice(0));
    EXPECT_EQ(channel.OutputLength.load(), 0);
    platform.PushInput(0, Answer(1));
    const auto turns = channel.Worker()->Turns();
    ASSERT_TRUE(WaitUntil([&] { return channel.Worker()->Turns() >= turns + 2; }));
    EXPECT_EQ(channel.Connects, 0) << "a refused device is never linked";
    EXPECT_EQ(channel.Frames, 0);
  }
  // The largest lengths the buffers hold are accepted.
  FakeHidPlatform platform;
  platform.Add("/dev/hidraw1").Lengths = {256, 257};
  Channel channel(platform);
  EXPECT_TRUE(channel.OpenDevice(0));
  EXPECT_EQ(channel.OutputLength.load(), 257);
}

TEST(Channel, WriteFramePadsTheReportAndReportsTheDataBytesCarried) {
  struct Case {
    int outputLength;
    Bytes data;
    Bytes expected;
    int result;
  };
  const Case cases[] = {
      {9, {1, 2, 3, 4, 5, 6, 7, 8}, {0, 1, 2, 3, 4, 5, 6, 7, 8}, 8},
      {9, {1, 2, 3}, {0, 1, 2, 3, 0, 0, 0, 0, 0}, 8},
      {5, {1, 2, 3, 4, 5, 6, 7, 8}, {0, 1, 2, 3, 4}, 4},
      {12, {9, 8}, {0, 9, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 11},
  };
  for (const Case &c : cases) {
    FakeHidPlatform platform;
    platform.Add("/dev/hidraw1").Lengths = {13, c.outputLength};
    Channel channel(platform);
    ASSERT_TRUE(channel.OpenDevice(0));
    // A steady stream of input reports, as the instrument sends.
    std::atomic<bool> streaming{true};
    std::thread stream([&] {
      while (streaming) {
        platform.PushInput(0, Answer(0));
        std::this_thread::sleep_for(2ms);
      }
    });
    EXPECT_EQ(channel.WriteFrame(c.data.data(), static_cast<int>(c.data.size())), c.result);
    ASSERT_TRUE(platform.WaitWritten(0, 1, 1000ms));
    EXPECT_EQ(platform.Written(0).front(), c.expected);
    streaming = false;
    stream.join();
  }
}

TEST(Channel, WriteFrameBeforeTheLengthsAreKnownQueuesNothing) {
  FakeHidPlatform platform;
  platform.Add("/dev/hidraw1");
  Channel channel(platform);
  const std::uint8_t data[8] = {1};
  EXPECT_EQ(channel.WriteFrame(data, 8), -2);
  EXPECT_EQ(channel.Worker()->PendingCount(), 0);
}

TEST(Channel, WaitingReportsFormAQueueAndNoneIsOverwritten) {
  FakeHidPlatform platform;
  platform.Add("/dev/hidraw1");
  Channel channel(platform);
  ASSERT_TRUE(channel.OpenDevice(0));
  ASSERT_TRUE(WaitUntil([&] { return channel.Connects == 1; }));
  // A silent device: each turn waits out its read, then writes one report. Two senders at once.
  std::thread a([&] {
    for (std::uint8_t i = 0; i < 3; ++i) {
      const std::uint8_t data[8] = {0xA0, i};
      channel.WriteFrame(data, 8);
    }
  });
  std::thread b([&] {
    for (std::uint8_t i = 0; i < 3; ++i) {
      const std::uint8_t data[8] = {0xB0, i};
      channel.WriteFrame(data, 8);
    }
  });
  a.join();
  b.join();
  ASSERT_TRUE(platform.WaitWritten(0, 6, 3000ms));
  // Each sender's reports go out in its own order, all of them.
  int nextA = 0, nextB = 0;
  for (const Bytes &r : platform.Written(0)) {
    if (r[1] == 0xA0) {
      EXPECT_EQ(r[2], nextA++);
    } else if (r[1] == 0xB0) {
      EXPECT_EQ(r[2], nextB++);
    }
  }
  EXPECT_EQ(nextA, 3);
  EXPECT_EQ(nextB, 3);
}

TEST(Channel, ASendFromTheWorkerReturnsAtOnceAndGoesOutInTheSameTurn) {
  FakeHidPlatform platform;
  platform.Add("/dev/hidraw1");
  Channel channel(platform);
  std::atomic<int> result{0};
  channel.OnRXFrame = [&](TObject *) {
    const std::uint8_t reply[8] = {0x55};
    result = channel.WriteFrame(reply, 8);
  };
  ASSERT_TRUE(channel.OpenDevice(0));
  ASSERT_TRUE(WaitUntil([&] { return channel.Connects == 1; }));
  platform.ClearLog();
  platform.PushInput(0, Answer(0));
  ASSERT_TRUE(platform.WaitWritten(0, 1, 1000ms));
  EXPECT_EQ(result, 8);
  // The turn that read the answer wrote the reply before closing.
  ASSERT_TRUE(WaitUntil([&] {
    const auto log = platform.Log();
    return std::find(std::find(log.begin(), log.end(), "write"), log.end(), "close") != log.end();
  }));
  const auto log = platform.Log();
  auto read = std::find(log.begin(), log.end(), "read");
  ASSERT_NE(read, log.end());
  ASSERT_LT(read + 2, log.end());
  EXPECT_EQ(*(read + 1), "write");
  EXPECT_EQ(*(read + 2), "close");
}

TEST(Channel, AShortWriteLeavesTheReportWaitingUntilItGoesOutWhole) {
  FakeHidPlatform platform;
  platform.Add("/dev/hidraw1").ShortWrites = 2;
  Channel channel(platform);
  ASSERT_TRUE(channel.OpenDevice(0));
  const std::uint8_t data[8] = {7, 7};
  channel.WriteFrame(data, 8);
  ASSERT_TRUE(platform.WaitWritten(0, 1, 2000ms));
  EXPECT_EQ(platform.Written(0).front()[1], 7);
  EXPECT_EQ(platform.Written(0).size(), 1u) << "the short writes were not counted as sent";
  EXPECT_TRUE(WaitUntil([&] { return channel.Worker()->PendingCount() == 0; }));
}

TEST(Channel, ReportsWaitingWhenTheDeviceIsFoundAbsentAreDropped) {
  FakeHidPlatform platform;
  platform.Add("/dev/hidraw1");
  Channel channel(platform);
  ASSERT_TRUE(channel.OpenDevice(0));
  ASSERT_TRUE(WaitUntil([&] { return channel.Connects == 1; }));
  platform.SetPresent(0, false);
  ASSERT_TRUE(WaitUntil([&] { return channel.Disconnects == 1; }));
  const std::uint8_t data[8] = {3};
  const int result = channel.WriteFrame(data, 8);
  EXPECT_TRUE(result == 8 || result == -2) << result;
  ASSERT_TRUE(WaitUntil([&] { return channel.Worker()->PendingCount() == 0; }));
  platform.SetPresent(0, true);
  ASSERT_TRUE(WaitUntil([&] { return channel.Connects == 2; }));
  platform.PushInput(0, Answer(0));
  ASSERT_TRUE(WaitUntil([&] { return channel.Frames == 1; }));
  EXPECT_TRUE(platform.Written(0).empty()) << "a dropped report never goes out later";
}

TEST(Channel, ReadFrameKeepsBytesBeyondAShortReport) {
  FakeHidPlatform platform;
  platform.Add("/dev/hidraw1");
  Channel channel(platform);
  std::atomic<int> tail{-1};
  channel.OnRXFrame = [&](TObject *) {
    std::uint8_t frame[12];
    EXPECT_EQ(channel.ReadFrame(frame, 12), 12);
    tail = frame[11];
    ++channel.Frames;
  };
  ASSERT_TRUE(channel.OpenDevice(0));
  platform.PushInput(0, Answer(0x20)); // 12 data bytes: the last is 0x2B
  ASSERT_TRUE(WaitUntil([&] { return channel.Frames == 1; }));
  EXPECT_EQ(tail, 0x2B);
  platform.PushInput(0, Bytes{0, 1, 2}); // a short report
  ASSERT_TRUE(WaitUntil([&] { return channel.Frames == 2; }));
  EXPECT_EQ(tail, 0x2B);
}

TEST(Channel, CloseDeviceIsBoundedAndIdempotent) {
  {
    FakeHidPlatform platform;
    Channel channel(platform);
    channel.CloseDevice(); // never selected
    channel.CloseDevice();
    EXPECT_EQ(channel.Worker(), nullptr);
    const std::uint8_t data[8] = {};
    EXPECT_EQ(channel.WriteFrame(data, 8), -2);
  }
  {
    // Present but silent: the pending read ends within its time-out.
    FakeHidPlatform platform;
    platform.Add("/dev/hidraw1");
    Channel channel(platform);
    ASSERT_TRUE(channel.OpenDevice(0));
    ASSERT_TRUE(WaitUntil([&] { return channel.Connects == 1; }));
    const auto start = std::chrono::steady_clock::now();
    channel.CloseDevice();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms) << "close must not hang";
    channel.CloseDevice();
    EXPECT_EQ(platform.OpenHandles(), 0);
  }
}

TEST(Channel, TheWorkerIsConfiguredOnlyWhileParked) {
  FakeHidPlatform platform;
  platform.Add("/dev/hidraw1");
  Channel channel(platform);
  ASSERT_TRUE(channel.OpenDevice(0));
  ASSERT_TRUE(WaitUntil([&] { return channel.Connects == 1; }));
  TUSBThread &worker = *channel.Worker();
  EXPECT_THROW(worker.Configure([](TUSBThread::TSettings &s) { s.InputLength = 0; }),
               std::logic_error);
  worker.Suspend();
  worker.Configure([](TUSBThread::TSettings &s) { EXPECT_EQ(s.InputLength, 13); });
  worker.Resume();
  platform.PushInput(0, Answer(1));
  EXPECT_TRUE(WaitUntil([&] { return channel.Frames == 1; })) << "settings kept, worker reading";
  EXPECT_EQ(channel.Connects, 2) << "a configured worker raises OnConnect again";
}

TEST(Channel, TheWorkerIdlesWhileNothingMovesAndWorksAtNormalPriorityOtherwise) {
  if (geteuid() != 0)
    GTEST_SKIP() << "only a privileged thread may come back from the idle class, so it never goes";
  FakeHidPlatform platform;
  platform.Add("/dev/hidraw1");
  Channel channel(platform);
  ASSERT_TRUE(channel.OpenDevice(0));
  platform.PushInput(0, Answer(1));
  ASSERT_TRUE(WaitUntil([&] { return channel.Frames == 1; }));
  EXPECT_EQ(channel.Worker()->Priority(), TThreadPriority::Normal) << "a turn that read";
  platform.SetPresent(0, false);
  ASSERT_TRUE(WaitUntil([&] { return channel.Worker()->Priority() == TThreadPriority::Idle; }));
  platform.SetPresent(0, true);
  platform.PushInput(0, Answer(2));
  ASSERT_TRUE(WaitUntil([&] { return channel.Frames == 2; }));
  EXPECT_TRUE(WaitUntil([&] { return channel.Worker()->Priority() == TThreadPriority::Normal; }));
}

// ---- Where opening is costly (Linux) the worker keeps its device open -----------------------

int CountOf(const std::vector<std::string> &log, const char *call) {
  return static_cast<int>(std::count(log.begin(), log.end(), call));
}

TEST(KeptLink, SteadyTurnsOpenNothingAndEventsStayThoseOfAnOpenPerTurn) {
  FakeHidPlatform platform;
  platform.KeepOpen = true;
  platform.Add("/dev/hidraw1");
  Channel channel(platform);
  ASSERT_TRUE(channel.OpenDevice(0));
  ASSERT_TRUE(WaitUntil([&] { return channel.Connects == 1; }));
  platform.PushInput(0, Answer(0)); // the first read proves the device there
  ASSERT_TRUE(WaitUntil([&] { return channel.Frames == 1; }));
  EXPECT_EQ(platform.Opens(), 2) << "one to list, one to select; the worker took the latter";
  platform.ClearLog();
  for (int i = 0; i < 20; ++i) {
    platform.PushInput(0, Answer(static_cast<std::uint8_t>(i)));
    ASSERT_TRUE(WaitUntil([&] { return channel.Frames == i + 2; }));
  }
  EXPECT_EQ(CountOf(platform.Log(), "open"), 0);
  EXPECT_EQ(CountOf(platform.Log(), "close"), 0);
  EXPECT_EQ(platform.OpenHandles(), 1);

  // A read failing with the device still there is no loss: the next turn opens again.
  platform.With(0, [](FakeHidPlatform::Device &d) { d.FailedReads = 1; });
  platform.PushInput(0, Answer(0x40));
  ASSERT_TRUE(WaitUntil([&] { return channel.Frames == 22; }));
  EXPECT_EQ(CountOf(platform.Log(), "open"), 1);
  EXPECT_EQ(channel.Disconnects, 0);

  // Unplugged: the kept handle goes, one OnDisconnect, waiting reports dropped.
  platform.SetPresent(0, false);
  ASSERT_TRUE(WaitUntil([&] { return channel.Disconnects == 1; }));
  const std::uint8_t data[8] = {3};
  channel.WriteFrame(data, 8);
  ASSERT_TRUE(WaitUntil([&] { return channel.Worker()->PendingCount() == 0; }));
  EXPECT_EQ(platform.OpenHandles(), 0);
  platform.SetPresent(0, true);
  ASSERT_TRUE(WaitUntil([&] { return channel.Connects == 2; }));
  platform.PushInput(0, Answer(1));
  ASSERT_TRUE(WaitUntil([&] { return channel.Frames == 23; }));
  const auto turns = channel.Worker()->Turns();
  ASSERT_TRUE(WaitUntil([&] { return channel.Worker()->Turns() >= turns + 3; }));
  EXPECT_EQ(channel.Connects, 2);
  EXPECT_EQ(channel.Disconnects, 1);
  EXPECT_TRUE(platform.Written(0).empty());
  channel.CloseDevice();
  EXPECT_EQ(platform.OpenHandles(), 0) << "the kept handle is closed with the worker";
}

TEST(KeptLink, EachTurnReadsAKeptHandleDownToItsNewestReport) {
  FakeHidPlatform platform;
  platform.KeepOpen = true;
  platform.Add("/dev/hidraw1");
  Channel channel(platform);
  ASSERT_TRUE(channel.OpenDevice(0));
  platform.PushInput(0, Answer(0));
  ASSERT_TRUE(WaitUntil([&] { return channel.Frames == 1; }));
  // Queued while the worker was busy: one turn takes them all and hands on the newest.
  platform.PushInputs(0, {Answer(1), Answer(2), Answer(3), Answer(4), Answer(5)});
  ASSERT_TRUE(WaitUntil([&] { return channel.LastFirstByte == 5; }));
  EXPECT_EQ(channel.Frames, 2);
  EXPECT_EQ(CountOf(platform.Log(), "open"), 2) << "the kept handle stayed";
}

/// The instrument unplugged while its node was held comes back on another node; another
/// device gets the old node.
struct Renumbered {
  FakeHidPlatform platform;
  Channel channel{platform};
  explicit Renumbered(bool withSerial,
                      const std::function<void(FakeHidPlatform::Device &)> &other = {}) {
    Run(withSerial, other);
  }
  void Run(bool withSerial, const std::function<void(FakeHidPlatform::Device &)> &other) {
    platform.KeepOpen = true;
    platform.ReusePaths = true;
    platform.Add("/dev/hidraw0").HasStrings = withSerial;
    ASSERT_TRUE(channel.OpenDevice(0));
    ASSERT_TRUE(WaitUntil([&] { return channel.Connects == 1; }));
    platform.SetPresent(0, false);
    ASSERT_TRUE(WaitUntil([&] { return channel.Disconnects == 1; }));
    platform.With(0, [](FakeHidPlatform::Device &d) { d.Path = "/dev/hidraw1"; });
    FakeHidPlatform::Device &d = platform.Add("/dev/hidraw0");
    d.Serial = "SN-OTHER"; // a second instrument, unless told otherwise
    if (other)
      other(d);
    platform.SetPresent(0, true);
  }
};

TEST(KeptLink, TheWorkerFollowsItsInstrumentToItsNewNodeAndNeverOpensTheOther) {
  Renumbered r(true);
  ASSERT_TRUE(WaitUntil([&] { return r.channel.Connects == 2; }));
  EXPECT_EQ(r.channel.Worker()->LinkedPath(), "/dev/hidraw1");
  std::string serial;
  r.channel.SerialNumber(1, serial); // the selected entry is asked where the worker is now
  EXPECT_EQ(serial, "SN-/dev/hidraw0");
  const std::uint8_t data[8] = {0x21};
  std::thread stream([&] { r.platform.PushInput(0, Answer(0)); });
  r.channel.WriteFrame(data, 8);
  stream.join();
  ASSERT_TRUE(r.platform.WaitWritten(0, 1, 1000ms));
  const auto turns = r.channel.Worker()->Turns();
  ASSERT_TRUE(WaitUntil([&] { return r.channel.Worker()->Turns() >= turns + 3; }));
  EXPECT_EQ(r.channel.Connects, 2);
  EXPECT_EQ(r.channel.Disconnects, 1);
  EXPECT_EQ(r.platform.With(1, [](FakeHidPlatform::Device &d) { return d.Opens; }), 0)
      << "the other instrument is never opened";
  EXPECT_TRUE(r.platform.Written(1).empty());
}

// An instrument without a serial number is looked for on its own path only, and what takes
// that path is linked only when nothing tells it from the instrument: the same ids, no serial.
TEST(KeptLink, WithoutASerialNumberTheWorkerStaysOnItsPathAndLinksOnlyItsKind) {
  struct Row {
    const char *What;
    std::function<void(FakeHidPlatform::Device &)> Other;
    bool Linked;
  };
  const Row rows[] = {
      {"an RW8 with a serial number", {}, false},
      {"a mouse",
       [](FakeHidPlatform::Device &d) {
         d.Attributes.VendorID = 0x046D;
         d.Attributes.ProductID = 0xC077;
         d.HasStrings = false;
       },
       false},
      {"an RW8 without a serial number", [](FakeHidPlatform::Device &d) { d.HasStrings = false; },
       true},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.What);
    Renumbered r(false, row.Other);
    const int opens = r.platform.With(0, [](FakeHidPlatform::Device &d) { return d.Opens; });
    const auto turns = r.channel.Worker()->Turns();
    ASSERT_TRUE(WaitUntil([&] { return r.channel.Worker()->Turns() >= turns + 4; }));
    EXPECT_EQ(r.channel.Worker()->LinkedPath(), "/dev/hidraw0");
    EXPECT_EQ(r.channel.Connects, row.Linked ? 2 : 1);
    EXPECT_EQ(r.platform.With(1, [](FakeHidPlatform::Device &d) { return d.Opens; }) > 0,
              row.Linked);
    EXPECT_EQ(r.platform.With(0, [](FakeHidPlatform::Device &d) { return d.Opens; }), opens)
        << "the instrument is not followed to another node";
  }
}

} // namespace
} // namespace zol
