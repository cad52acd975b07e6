// The simulated HID platform: listing, identity, per-handle report queues, faults, threads.

#include "sim/SimPlatform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "protocol/Utils.h"

namespace zol {
namespace {

using std::chrono::milliseconds;

TVirtualRW8Options ManualBase() {
  TVirtualRW8Options o;
  o.Streaming = false;
  return o;
}

std::vector<std::uint8_t> CommandReport(TCommand code, std::array<std::uint8_t, 6> params = {}) {
  std::vector<std::uint8_t> r(kSimOutputReportLength, 0);
  r[1 + CommandOffset::Code] = CodeOf(code);
  std::copy(params.begin(), params.end(), r.begin() + 1 + CommandOffset::Params);
  r[1 + CommandOffset::Checksum] = FrameChecksum(r.data() + 1, kCommandLength);
  return r;
}

/// Reads one report with a bounded wait; the answer code, or -1 / -2 for error / time-out.
int ReadCode(SimPlatform &p, HidHandle h, int timeoutMs = 1000, std::uint8_t *counter = nullptr) {
  std::uint8_t report[kSimInputReportLength]{};
  const int n = p.Read(h, report, kSimInputReportLength, timeoutMs);
  if (n < 0)
    return -1;
  if (n == 0)
    return -2;
  EXPECT_EQ(n, kSimInputReportLength);
  if (counter)
    *counter = report[1 + AnswerOffset::Counter];
  return report[1 + AnswerOffset::Code];
}

TEST(SimPlatform, ListsInstrumentsAndOneMouse) {
  SimPlatform p(3, ManualBase());
  EXPECT_EQ(p.ListInterfaces(false),
            (std::vector<std::string>{"sim:0", "sim:mouse", "sim:1", "sim:2"}));
  p.Instrument(1)->SetPresent(false);
  EXPECT_EQ(p.ListInterfaces(false), (std::vector<std::string>{"sim:0", "sim:mouse", "sim:2"}));
  EXPECT_EQ(p.ListInterfaces(true),
            (std::vector<std::string>{"sim:0", "sim:mouse", "sim:1", "sim:2"}));
  p.RemoveInstrument(2);
  EXPECT_EQ(p.ListInterfaces(true), (std::vector<std::string>{"sim:0", "sim:mouse", "sim:1"}));
  EXPECT_EQ(p.AddInstrument(SimPlatform::OptionsFor(3, ManualBase())), 3);
  EXPECT_EQ(p.ListInterfaces(false), (std::vector<std::string>{"sim:0", "sim:mouse", "sim:3"}));
  SimPlatform none(0, ManualBase());
  EXPECT_EQ(none.ListInterfaces(false), (std::vector<std::string>{"sim:mouse"}));
}

TEST(SimPlatform, IdentityAttributesAndReportLengths) {
  SimPlatform p(2, ManualBase());
  std::vector<std::string> serials;
  for (const char *path : {"sim:0", "sim:1"}) {
    SCOPED_TRACE(path);
    const HidHandle h = p.Open(path);
    ASSERT_NE(h, kInvalidHidHandle);
    HidAttributes a;
    ASSERT_TRUE(p.GetAttributes(h, a));
    EXPECT_EQ(a.VendorID, 0x0451);
    EXPECT_EQ(a.ProductID, 0x0023);
    std::string text;
    EXPECT_TRUE(p.GetManufacturerString(h, text));
    EXPECT_FALSE(text.empty());
    EXPECT_TRUE(p.GetProductString(h, text));
    EXPECT_EQ(text, "RW8");
    EXPECT_TRUE(p.GetSerialNumberString(h, text));
    EXPECT_EQ(text.size(), 16u);
    serials.push_back(text);
    HidReportLengths lengths;
    ASSERT_TRUE(p.GetReportLengths(h, lengths));
    EXPECT_EQ(lengths.InputReportByteLength, 13);
    EXPECT_EQ(lengths.OutputReportByteLength, 9);
    p.Close(h);
  }
  EXPECT_NE(serials[0], serials[1]);

  const HidHandle mouse = p.Open("sim:mouse");
  ASSERT_NE(mouse, kInvalidHidHandle);
  HidAttributes a;
  ASSERT_TRUE(p.GetAttributes(mouse, a));
  EXPECT_EQ(a.VendorID, 0x046D);
  EXPECT_EQ(a.ProductID, 0xC077);
  std::string serial;
  EXPECT_FALSE(p.GetSerialNumberString(mouse, serial));
  const std::uint8_t report[kSimOutputReportLength]{};
  EXPECT_EQ(p.Write(mouse, report, kSimOutputReportLength), -1);
  std::uint8_t in[8];
  EXPECT_EQ(p.Read(mouse, in, sizeof in, 0), 0);
  p.Close(mouse);

  p.Instrument(0)->SetOversizedReports(true);
  const HidHandle h = p.Open("sim:0");
  HidReportLengths lengths;
  ASSERT_TRUE(p.GetReportLengths(h, lengths));
  EXPECT_GT(lengths.InputReportByteLength, 256);
  EXPECT_GT(lengths.OutputReportByteLength, 257);
  p.Close(h);
  EXPECT_EQ(p.OpenHandles(), 0);
}

TEST(SimPlatform, OpenRefusesUnknownPathsAbsentAndDeniedInstruments) {
  SimPlatform p(2, ManualBase());
  p.Instrument(1)->SetPermissionDenied(true);
  p.Instrument(0)->SetPresent(false);
  struct Case {
    const char *path;
    const char *error;
  };
  for (const Case &c : {Case{"sim:0", "no such device"}, Case{"sim:1", "permission denied"},
                        Case{"sim:7", "no such device"}, Case{"sim:", "no such device"},
                        Case{"sim:x1", "no such device"}, Case{"/dev/hidraw0", "no such device"}}) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(p.Open(c.path), kInvalidHidHandle);
    EXPECT_EQ(p.LastOpenError(), c.error);
  }
  p.Instrument(1)->SetPermissionDenied(false);
  const HidHandle h = p.Open("sim:1");
  EXPECT_NE(h, kInvalidHidHandle);
  EXPECT_EQ(p.LastOpenError(), "");
  p.Close(h);
}

TEST(SimPlatform, HandleTableIsBounded) {
  SimPlatform p(1, ManualBase());
  std::vector<HidHandle> handles;
  for (int i = 0; i < kSimMaxHandles; ++i) {
    handles.push_back(p.Open(i % 2 ? "sim:0" : "sim:mouse"));
    ASSERT_NE(handles.back(), kInvalidHidHandle);
  }
  EXPECT_EQ(p.Open("sim:0"), kInvalidHidHandle);
  EXPECT_EQ(p.LastOpenError(), "too many open handles");
  p.Close(handles[5]);
  EXPECT_NE(p.Open("sim:0"), kInvalidHidHandle);
  // Closing an unknown or closed handle is harmless; using it fails.
  p.Close(handles[5]);
  p.Close(12345);
  std::uint8_t buffer[kSimInputReportLength];
  EXPECT_EQ(p.Read(12345, buffer, sizeof buffer, 0), -1);
  EXPECT_EQ(p.Write(-1, buffer, sizeof buffer), -1);
}

TEST(SimPlatform, EachHandleSeesTheReportsProducedAfterItOpened) {
  SimPlatform p(1, ManualBase());
  auto sim = p.Instrument(0);
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(sim->Emit(milliseconds(10))); // nobody listens: lost
  const HidHandle first = p.Open("sim:0");
  ASSERT_TRUE(sim->Emit(milliseconds(10)));
  const HidHandle second = p.Open("sim:0");
  // The queue of a handle keeps the newest kSimHandleQueue reports.
  for (int i = 0; i < 40; ++i)
    ASSERT_TRUE(sim->Emit(milliseconds(10)));
  std::uint8_t counter = 0;
  EXPECT_EQ(ReadCode(p, second, 0, &counter), 0x00);
  EXPECT_EQ(counter, 4 + 40 - kSimHandleQueue);
  EXPECT_EQ(ReadCode(p, first, 0, &counter), 0x00);
  EXPECT_EQ(counter, 4 + 40 - kSimHandleQueue);
  for (int i = 1; i < kSimHandleQueue; ++i) {
    EXPECT_EQ(ReadCode(p, first, 0, &counter), 0x00);
    EXPECT_EQ(counter, 4 + 40 - kSimHandleQueue + i);
  }
  EXPECT_EQ(ReadCode(p, first, 0), -2) << "empty queue: time-out";
  p.Close(first);
  p.Close(second);
}

TEST(SimPlatform, WritePassesTheCommandAndReadGetsItsAnswer) {
  SimPlatform p(1, ManualBase());
  auto sim = p.Instrument(0);
  const HidHandle h = p.Open("sim:0");
  const auto report = CommandReport(TCommand::ReadAlarm1);
  EXPECT_EQ(p.Write(h, report.data(), static_cast<int>(report.size())), kSimOutputReportLength);
  ASSERT_TRUE(sim->Emit(milliseconds(10)));
  EXPECT_EQ(ReadCode(p, h, 0), 0xA1);
  // A report longer than the command carries only the command; a shorter one is padded.
  auto longer = CommandReport(TCommand::ReadAlarm2);
  longer.resize(64, 0xEE);
  EXPECT_EQ(p.Write(h, longer.data(), 64), 64);
  ASSERT_TRUE(sim->Emit(milliseconds(10)));
  EXPECT_EQ(ReadCode(p, h, 0), 0xA2);
  const std::uint8_t shorter[2] = {0, CodeOf(TCommand::ReadFilter)};
  EXPECT_EQ(p.Write(h, shorter, 2), 2); // padded with zeros: the checksum is wrong
  EXPECT_EQ(sim->Snapshot().CommandsWithBadChecksum, 1u);
  p.Close(h);
}

TEST(SimPlatform, UnplugKillsOpenHandlesAndReplugNeedsANewOne) {
  // Reports come only when the test emits them: a streaming instrument could still deliver one
  // that was on its way when it fell silent, and the reader would take it.
  SimPlatform p(1, ManualBase());
  auto sim = p.Instrument(0);
  const HidHandle h = p.Open("sim:0");
  ASSERT_NE(h, kInvalidHidHandle);
  ASSERT_TRUE(sim->Emit(milliseconds(10)));
  EXPECT_GE(ReadCode(p, h), 0);
  // A reader waiting when the instrument goes returns -1 at once (bounded by its time-out).
  std::atomic<int> waited{0};
  std::thread reader([&] { waited = ReadCode(p, h, 5000); });
  std::this_thread::sleep_for(milliseconds(20));
  sim->SetPresent(false);
  reader.join();
  EXPECT_EQ(waited, -1);
  EXPECT_EQ(ReadCode(p, h, 0), -1);
  const auto report = CommandReport(TCommand::ReadState);
  EXPECT_EQ(p.Write(h, report.data(), kSimOutputReportLength), -1);
  EXPECT_EQ(p.Open("sim:0"), kInvalidHidHandle);
  std::string text;
  EXPECT_FALSE(p.GetSerialNumberString(h, text));
  sim->SetPresent(true);
  ASSERT_TRUE(sim->Emit(milliseconds(10)));
  EXPECT_EQ(ReadCode(p, h, 0), -1) << "a handle does not survive an unplug";
  const HidHandle again = p.Open("sim:0");
  ASSERT_NE(again, kInvalidHidHandle);
  ASSERT_TRUE(sim->Emit(milliseconds(10)));
  EXPECT_GE(ReadCode(p, again), 0);
  p.Close(h);
  p.Close(again);
}

TEST(SimPlatform, SilentInstrumentReadTimesOut) {
  SimPlatform p(1);
  p.Instrument(0)->SetSilent(true);
  const HidHandle h = p.Open("sim:0");
  EXPECT_EQ(ReadCode(p, h, 30), -2);
  p.Instrument(0)->SetSilent(false);
  EXPECT_GE(ReadCode(p, h), 0);
  p.Close(h);
}

TEST(SimPlatform, RemovedInstrumentReadsFail) {
  SimPlatform p(2, ManualBase());
  const HidHandle h = p.Open("sim:1");
  p.RemoveInstrument(1);
  EXPECT_EQ(p.Instrument(1), nullptr);
  EXPECT_EQ(ReadCode(p, h, 0), -1);
  EXPECT_EQ(p.Open("sim:1"), kInvalidHidHandle);
  p.Close(h);
}

TEST(SimPlatform, MemoryFilesPerInstrument) {
  TVirtualRW8Options base;
  base.MemoryFile = "/tmp/rw8.mem";
  EXPECT_EQ(SimPlatform::OptionsFor(0, base).MemoryFile, "/tmp/rw8.mem");
  EXPECT_EQ(SimPlatform::OptionsFor(1, base).MemoryFile, "/tmp/rw8.mem.1");
  EXPECT_EQ(SimPlatform::OptionsFor(9, base).SerialNumber, "SIMRW80000000010");
}

// The worker's pattern (open, read, write, close on every turn) beside another thread that
// lists devices and asks for identity strings on a second handle. Run under ThreadSanitizer.
TEST(SimPlatform, WorkerTurnsBesideEnumeration) {
  SimPlatform p(2);
  p.Instrument(0)->SetReportPeriod(1);
  std::atomic<bool> done{false};
  std::atomic<int> answers{0};
  std::thread worker([&] {
    const auto command = CommandReport(TCommand::ReadTag);
    for (int turn = 0; turn < 200; ++turn) {
      const HidHandle h = p.Open("sim:0");
      if (h == kInvalidHidHandle)
        continue;
      std::uint8_t report[kSimInputReportLength];
      if (p.Read(h, report, sizeof report, 100) == kSimInputReportLength &&
          FrameChecksumValid(report + 1, kAnswerLength))
        ++answers;
      p.Write(h, command.data(), kSimOutputReportLength);
      p.Close(h);
    }
    done = true;
  });
  int listings = 0;
  while (!done) {
    for (const std::string &path : p.ListInterfaces(false)) {
      const HidHandle h = p.Open(path);
      std::string text;
      if (h != kInvalidHidHandle) {
        p.GetSerialNumberString(h, text);
        p.Close(h);
      }
    }
    ++listings;
    std::this_thread::sleep_for(milliseconds(1));
  }
  worker.join();
  EXPECT_GT(answers.load(), 150);
  EXPECT_GT(listings, 0);
  EXPECT_EQ(p.OpenHandles(), 0);
  EXPECT_GE(p.Instrument(0)->Snapshot().CommandCount(CodeOf(TCommand::ReadTag)), 150u);
}

TEST(SimPlatform, RenumberingMovesTheInstrumentAndHandsItsOldPathToAnother) {
  SimPlatform p(2, ManualBase());
  const HidIdentity first{kSimRW8Vendor, kSimRW8Product, p.Instrument(0)->SerialNumber()};
  const HidHandle h = p.Open("sim:0");
  ASSERT_NE(h, kInvalidHidHandle);
  EXPECT_TRUE(p.StillThere(h));
  EXPECT_EQ(p.MatchIdentity("sim:0", first), HidIdentityMatch::Same);

  p.Renumber(0, 1);
  EXPECT_FALSE(p.StillThere(h)) << "a handle does not survive the replug";
  EXPECT_EQ(p.PathOf(0), "sim:2");
  EXPECT_EQ(p.PathOf(1), "sim:0");
  EXPECT_EQ(p.ListInterfaces(false), (std::vector<std::string>{"sim:2", "sim:mouse", "sim:0"}));
  EXPECT_EQ(p.MatchIdentity("sim:0", first), HidIdentityMatch::Other);
  EXPECT_EQ(p.MatchIdentity("sim:1", first), HidIdentityMatch::Unknown);
  EXPECT_EQ(p.MatchIdentity(kSimMousePath, first), HidIdentityMatch::Other);
  std::string path;
  ASSERT_TRUE(p.FindIdentity(first, path));
  EXPECT_EQ(path, "sim:2");
  EXPECT_FALSE(p.FindIdentity({kSimRW8Vendor, kSimRW8Product, ""}, path));

  // Each path now reaches its new instrument.
  const int opensOfSecond = p.OpensOf(1);
  const HidHandle second = p.Open("sim:0");
  std::string serial;
  ASSERT_TRUE(p.GetSerialNumberString(second, serial));
  EXPECT_EQ(serial, p.Instrument(1)->SerialNumber());
  EXPECT_EQ(p.OpensOf(1), opensOfSecond + 1);
  p.Close(second);
  p.Close(h);
  // A new instrument never takes a path in use.
  EXPECT_EQ(p.AddInstrument(SimPlatform::OptionsFor(2, ManualBase())), 2);
  EXPECT_EQ(p.PathOf(2), "sim:3");
}

} // namespace
} // namespace zol
