// The decoder reads whatever the device sends: arbitrary answers, valid checksums included,
// arriving while the user-interface thread calls operations. Nothing may crash, hang, or put a
// value into the model that the frames cannot carry.
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "protocol/ZOL.h"

namespace {

using namespace zol;

/// One instrument whose input reports are the fuzzer's answers; output reports are dropped.
class FuzzPlatform final : public HidPlatform {
public:
  void Push(const std::uint8_t *Answer) {
    std::lock_guard lock(Mutex);
    std::array<std::uint8_t, 13> report{};
    std::memcpy(report.data() + 1, Answer, 12);
    Reports.push_back(report);
  }
  bool Drained() {
    std::lock_guard lock(Mutex);
    return Reports.empty();
  }

  std::vector<std::string> ListInterfaces(bool) override { return {"fuzz:0"}; }
  HidHandle Open(const std::string &path) override {
    return path == "fuzz:0" ? 1 : kInvalidHidHandle;
  }
  std::string LastOpenError() const override { return {}; }
  void Close(HidHandle) override {}
  bool GetAttributes(HidHandle, HidAttributes &a) override {
    a.VendorID = 0x0451;
    a.ProductID = 0x0023;
    return true;
  }
  bool GetManufacturerString(HidHandle, std::string &t) override {
    t = "fuzz";
    return true;
  }
  bool GetProductString(HidHandle, std::string &t) override { return GetManufacturerString(1, t); }
  bool GetSerialNumberString(HidHandle, std::string &t) override {
    return GetManufacturerString(1, t);
  }
  bool GetReportLengths(HidHandle, HidReportLengths &l) override {
    l = {13, 9};
    return true;
  }
  int Read(HidHandle, std::uint8_t *buffer, int length, int) override {
    std::lock_guard lock(Mutex);
    if (Reports.empty())
      return 0;
    const int n = std::min(length, 13);
    std::memcpy(buffer, Reports.front().data(), static_cast<std::size_t>(n));
    Reports.pop_front();
    return n;
  }
  int Write(HidHandle, const std::uint8_t *, int length) override { return length; }

private:
  std::mutex Mutex; //!< Protects Reports.
  std::deque<std::array<std::uint8_t, 13>> Reports;
};

void Check(bool condition, const char *what) {
  if (!condition) {
    std::fprintf(stderr, "broken: %s\n", what);
    std::abort();
  }
}

void CheckAlarm(const TZOLAlarm &a) {
  // Decoded from signed tenths: always finite and within the 16-bit range.
  Check(std::isfinite(a.SetPoint) && std::fabs(a.SetPoint) <= 3276.8f, "set point");
  Check(std::isfinite(a.Hysteresis) && std::fabs(a.Hysteresis) <= 3276.8f, "hysteresis");
  Check(a.Delay >= 0 && a.Delay <= 25.5f, "delay");
}

void Operate(TCustomZOL &zol, std::uint8_t which, std::uint8_t arg) {
  try {
    switch (which % 17) {
    case 0:
      zol.ReadAll();
      break;
    case 1:
      zol.WriteAll();
      break;
    case 2:
      zol.ReadTag();
      break;
    case 3:
      zol.WriteTag(std::string(arg % 40, static_cast<char>('A' + arg % 26)));
      break;
    case 4:
      zol.WriteFilter(static_cast<float>(arg) / 7.0f);
      break;
    case 5: {
      TZOLAlarm a;
      a.SetPoint = static_cast<float>(arg) * 13.0f - 1000.0f;
      a.Delay = static_cast<float>(arg) / 9.0f;
      zol.WriteAlarm1(a);
      break;
    }
    case 6:
      zol.Unlock("ABCD");
      break;
    case 7:
      zol.ReadWROP(arg);
      break;
    case 8:
      zol.Ping();
      break;
    case 9:
      zol.ReadCryptedPassword();
      break;
    case 10:
      zol.ReadInfo();
      break;
    case 11:
      zol.SetClock();
      break;
    case 12:
      zol.ReadAlarm2();
      break;
    case 13:
      zol.ChangePassword("WXYZ");
      break;
    case 14:
      zol.SendCommand(arg);
      break;
    case 15:
      zol.ReadHistory();
      break;
    default:
      (void)zol.Snapshot();
      break;
    }
  } catch (const ERangeError &) {
    // A value a frame cannot carry: refused before sending, as it should be.
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *Data, std::size_t Size) {
  FuzzPlatform platform;
  TCustomZOL zol(platform);
  // Handlers that look at the model, as the windows do.
  auto look = [&zol](TObject *) { (void)zol.Snapshot(); };
  zol.OnUpdateState = look;
  zol.OnUpdateTag = look;
  zol.OnReadAll = look;
  zol.OnUpdateWROP = [](TPtrWROP r) { (void)WROPOperationName(r->OpCode); };
  if (zol.Scan() != 1 || !zol.Open(0))
    std::abort();

  // Records: a selector byte, then for an answer its 12 bytes. Selector below 0x20: an operation
  // on this thread; with bit 0x40: the answer's checksum is made valid.
  std::size_t i = 0;
  int records = 0;
  while (i < Size && records < 256) {
    const std::uint8_t selector = Data[i++];
    ++records;
    if (selector < 0x20) {
      Operate(zol, selector, i < Size ? Data[i++] : 0);
      continue;
    }
    std::uint8_t answer[12]{};
    const std::size_t n = std::min<std::size_t>(12, Size - i);
    std::memcpy(answer, Data + i, n);
    i += n;
    if (selector & 0x40)
      answer[1] = FrameChecksum(answer, 12);
    platform.Push(answer);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!platform.Drained()) {
    Check(std::chrono::steady_clock::now() < deadline, "the worker stopped reading");
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  zol.Close();
  const TZOLModel m = zol.Snapshot();
  Check(m.Measure == 9999.0f || (std::isfinite(m.Measure) && std::fabs(m.Measure) <= 3276.8f),
        "measure");
  Check(m.Settings.Tag.Get().size() <= 32, "tag");
  CheckAlarm(m.Settings.Alarm1);
  CheckAlarm(m.Settings.Alarm2);
  Check(std::isfinite(m.Settings.Filter), "filter");
  Check(std::isfinite(m.Rt), "Rt");
  Check(m.InfoText.size() <= 16, "info text");
  return 0;
}
