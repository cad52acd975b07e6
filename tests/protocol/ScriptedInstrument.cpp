#include "tests/protocol/ScriptedInstrument.h"

#include <algorithm>
#include <thread>

#include "protocol/Utils.h"

namespace zol::test {

namespace {
// The pause before each report: short, so that tests run fast, and long enough that the
// worker does not spin. Not below 1 ms: Windows sleeps in whole milliseconds, and a shorter
// sleep there returns at once.
constexpr std::chrono::microseconds kReportPeriod{1000};
} // namespace

TScriptedInstrument::TScriptedInstrument() {
  Responder = [this](const TCommandFrame &Frame) { return DefaultResponse(Frame); };
}

void TScriptedInstrument::SetResponder(TResponder NewResponder) {
  std::lock_guard<std::mutex> Lock(Mutex);
  Responder = std::move(NewResponder);
}

void TScriptedInstrument::SetPayload(std::uint8_t Code, std::array<std::uint8_t, 6> Payload) {
  std::lock_guard<std::mutex> Lock(Mutex);
  Payloads[Code] = Payload;
}

void TScriptedInstrument::SetStatus(std::uint8_t NewStatus) {
  std::lock_guard<std::mutex> Lock(Mutex);
  Status = NewStatus;
  Current.Status = NewStatus;
}

void TScriptedInstrument::SetAnswer(const TScriptedAnswer &Answer) {
  std::lock_guard<std::mutex> Lock(Mutex);
  Current = Answer;
  Next.reset();
}

void TScriptedInstrument::SetCounter(std::uint8_t NewCounter) {
  std::lock_guard<std::mutex> Lock(Mutex);
  Counter = NewCounter;
}

void TScriptedInstrument::SetAnswerDelay(int Reports) {
  std::lock_guard<std::mutex> Lock(Mutex);
  AnswerDelay = Reports;
}

void TScriptedInstrument::SetCorruptEvery(int n) {
  std::lock_guard<std::mutex> Lock(Mutex);
  CorruptEvery = n;
}

void TScriptedInstrument::SetPresent(bool NewPresent) {
  std::lock_guard<std::mutex> Lock(Mutex);
  Present = NewPresent;
  Changed.notify_all();
}

void TScriptedInstrument::SetIdentity(std::string NewManufacturer, std::string NewProduct,
                                      std::string NewSerial) {
  std::lock_guard<std::mutex> Lock(Mutex);
  Manufacturer = std::move(NewManufacturer);
  Product = std::move(NewProduct);
  Serial = std::move(NewSerial);
}

std::vector<TCommandFrame> TScriptedInstrument::Frames() const {
  std::lock_guard<std::mutex> Lock(Mutex);
  return Received;
}

std::vector<std::uint8_t> TScriptedInstrument::Codes() const {
  std::lock_guard<std::mutex> Lock(Mutex);
  std::vector<std::uint8_t> Result;
  for (const auto &Frame : Received) {
    Result.push_back(Frame[0]);
  }
  return Result;
}

std::uint64_t TScriptedInstrument::Reads() const {
  std::lock_guard<std::mutex> Lock(Mutex);
  return ReadCount;
}

bool TScriptedInstrument::WaitFrames(std::size_t n, std::chrono::milliseconds Timeout) {
  std::unique_lock<std::mutex> Lock(Mutex);
  return Changed.wait_for(Lock, Timeout, [&] { return Received.size() >= n; });
}

bool TScriptedInstrument::WaitReads(std::uint64_t n, std::chrono::milliseconds Timeout) {
  std::unique_lock<std::mutex> Lock(Mutex);
  const std::uint64_t Target = ReadCount + n;
  return Changed.wait_for(Lock, Timeout, [&] { return ReadCount >= Target; });
}

std::optional<TScriptedAnswer>
TScriptedInstrument::DefaultResponse(const TCommandFrame &Frame) const {
  // Called under Mutex.
  TScriptedAnswer Answer;
  Answer.Code = Frame[0];
  Answer.Status = Status;
  Answer.MeasureTenths = Current.MeasureTenths;
  auto It = Payloads.find(Frame[0]);
  if (It != Payloads.end()) {
    Answer.Payload = It->second;
  } else if (Frame[0] == 0x6A) {
    std::copy(Frame.begin() + 2, Frame.end(), Answer.Payload.begin());
  }
  return Answer;
}

bool TScriptedInstrument::IsInstrument(HidHandle handle) const {
  auto It = Handles.find(handle);
  return It != Handles.end() && It->second == kPath;
}

std::vector<std::string> TScriptedInstrument::ListInterfaces(bool) {
  std::lock_guard<std::mutex> Lock(Mutex);
  std::vector<std::string> Paths{kForeignPath};
  if (Present) {
    Paths.emplace_back(kPath);
  }
  return Paths;
}

HidHandle TScriptedInstrument::Open(const std::string &path) {
  std::lock_guard<std::mutex> Lock(Mutex);
  if (path == kForeignPath || (path == kPath && Present)) {
    const HidHandle Handle = NextHandle++;
    Handles[Handle] = path;
    return Handle;
  }
  return kInvalidHidHandle;
}

std::string TScriptedInstrument::LastOpenError() const {
  return "no such device";
}

void TScriptedInstrument::Close(HidHandle handle) {
  std::lock_guard<std::mutex> Lock(Mutex);
  Handles.erase(handle);
}

bool TScriptedInstrument::GetAttributes(HidHandle handle, HidAttributes &attributes) {
  std::lock_guard<std::mutex> Lock(Mutex);
  auto It = Handles.find(handle);
  if (It == Handles.end()) {
    return false;
  }
  attributes = It->second == kPath ? HidAttributes{0x0451, 0x0023, 0x0100}
                                   : HidAttributes{0x046D, 0xC077, 0x0100};
  return true;
}

bool TScriptedInstrument::GetManufacturerString(HidHandle handle, std::string &text) {
  std::lock_guard<std::mutex> Lock(Mutex);
  text = Manufacturer;
  return IsInstrument(handle);
}

bool TScriptedInstrument::GetProductString(HidHandle handle, std::string &text) {
  std::lock_guard<std::mutex> Lock(Mutex);
  text = Product;
  return IsInstrument(handle);
}

bool TScriptedInstrument::GetSerialNumberString(HidHandle handle, std::string &text) {
  std::lock_guard<std::mutex> Lock(Mutex);
  text = Serial;
  return IsInstrument(handle);
}

bool TScriptedInstrument::GetReportLengths(HidHandle handle, HidReportLengths &lengths) {
  std::lock_guard<std::mutex> Lock(Mutex);
  if (!IsInstrument(handle)) {
    return false;
  }
  lengths = HidReportLengths{13, 9};
  return true;
}

int TScriptedInstrument::Read(HidHandle handle, std::uint8_t *buffer, int length, int) {
  std::this_thread::sleep_for(kReportPeriod);
  std::lock_guard<std::mutex> Lock(Mutex);
  if (!IsInstrument(handle) || !Present) {
    return -1;
  }
  if (Next && --Countdown <= 0) {
    Current = *Next;
    Next.reset();
  }
  std::uint8_t Report[13]{};
  Report[1] = Current.Code;
  Report[3] = Current.Status;
  Report[4] = Counter++;
  PutInt16LE(Report + 5, Current.MeasureTenths);
  std::copy(Current.Payload.begin(), Current.Payload.end(), Report + 7);
  Report[2] = FrameChecksum(Report + 1, 12);
  if (Current.CorruptChecksum || (CorruptEvery > 0 && ReadCount % CorruptEvery == 0)) {
    Report[2] = static_cast<std::uint8_t>(Report[2] + 1);
  }
  const int n = std::min(length, 13);
  std::copy(Report, Report + n, buffer);
  ++ReadCount;
  Changed.notify_all();
  return n;
}

int TScriptedInstrument::Write(HidHandle handle, const std::uint8_t *report, int length) {
  std::lock_guard<std::mutex> Lock(Mutex);
  if (!IsInstrument(handle) || !Present || length != 9) {
    return -1;
  }
  TCommandFrame Frame{};
  std::copy(report + 1, report + 9, Frame.begin());
  Received.push_back(Frame);
  // Like the instrument, a command with a bad checksum is ignored.
  if (FrameChecksumValid(Frame.data(), 8)) {
    if (auto Answer = Responder(Frame)) {
      if (AnswerDelay == 0) {
        Current = *Answer;
        Next.reset();
      } else {
        // A command repeated while the instrument is busy does not put its answer off again.
        if (!Next) {
          Countdown = AnswerDelay;
        }
        Next = *Answer;
      }
    }
  }
  Changed.notify_all();
  return length;
}

} // namespace zol::test
