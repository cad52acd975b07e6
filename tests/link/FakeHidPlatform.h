#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "link/HidPlatform.h"

namespace zol::test {

/// A HID platform with scripted devices: input reports are pushed by the test, output reports are
/// recorded. Thread-safe like a real one.
class FakeHidPlatform final : public HidPlatform {
public:
  struct Device {
    std::string Path;
    HidAttributes Attributes;
    std::string Manufacturer, Product, Serial;
    bool HasStrings = true;
    bool Present = true;
    bool Openable = true; // false: held exclusively by someone else
    bool LengthsReadable = true;
    HidReportLengths Lengths{13, 9};
    std::deque<std::vector<std::uint8_t>> Input; // reports waiting to be read
    std::vector<std::vector<std::uint8_t>> Written;
    int ShortWrites = 0; // the next writes that write one byte less
    int FailedReads = 0; // the next reads that fail with the device still there
    int Opens = 0;
    int OpensLeft = -1; // opens that succeed from now on; -1: any number
  };

  /// Behave like Linux: the worker keeps its device open, paths are handed out again.
  bool KeepOpen = false;
  bool ReusePaths = false;

  Device &Add(const std::string &path, std::uint16_t vid = 0x0451, std::uint16_t pid = 0x0023) {
    std::lock_guard lock(Mutex);
    Device d;
    d.Path = path;
    d.Attributes.VendorID = vid;
    d.Attributes.ProductID = pid;
    d.Manufacturer = "Maker";
    d.Product = "RW8";
    d.Serial = "SN-" + path;
    Devices.push_back(std::move(d));
    return Devices.back();
  }

  /// Runs f on device i under the platform's lock.
  template <typename F> auto With(std::size_t i, F f) {
    std::lock_guard lock(Mutex);
    return f(Devices.at(i));
  }

  void PushInput(std::size_t i, std::vector<std::uint8_t> report) {
    std::lock_guard lock(Mutex);
    Devices.at(i).Input.push_back(std::move(report));
    Changed.notify_all();
  }

  /// Queues several reports at once, as they pile up while nobody reads.
  void PushInputs(std::size_t i, std::vector<std::vector<std::uint8_t>> reports) {
    std::lock_guard lock(Mutex);
    for (auto &report : reports)
      Devices.at(i).Input.push_back(std::move(report));
    Changed.notify_all();
  }

  void SetPresent(std::size_t i, bool present) {
    std::lock_guard lock(Mutex);
    Devices.at(i).Present = present;
    Changed.notify_all();
  }

  std::vector<std::vector<std::uint8_t>> Written(std::size_t i) {
    std::lock_guard lock(Mutex);
    return Devices.at(i).Written;
  }

  /// Waits (bounded) until device i has received at least n output reports.
  bool WaitWritten(std::size_t i, std::size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock lock(Mutex);
    return Changed.wait_for(lock, timeout, [&] { return Devices.at(i).Written.size() >= n; });
  }

  /// What the platform was asked, in order: "open", "read", "write", "close".
  std::vector<std::string> Log() {
    std::lock_guard lock(Mutex);
    return Calls;
  }
  void ClearLog() {
    std::lock_guard lock(Mutex);
    Calls.clear();
  }

  int Opens() {
    std::lock_guard lock(Mutex);
    return OpenCount;
  }
  int OpenHandles() {
    std::lock_guard lock(Mutex);
    return static_cast<int>(Handles.size());
  }

  std::vector<std::string> ListInterfaces(bool) override {
    std::lock_guard lock(Mutex);
    std::vector<std::string> paths;
    for (const Device &d : Devices)
      if (d.Present)
        paths.push_back(d.Path);
    return paths;
  }

  HidHandle Open(const std::string &path) override {
    std::lock_guard lock(Mutex);
    ++OpenCount;
    Calls.push_back("open");
    for (std::size_t i = 0; i < Devices.size(); ++i) {
      const Device &d = Devices[i];
      if (d.Path == path && d.Present && d.Openable && d.OpensLeft != 0) {
        if (d.OpensLeft > 0)
          --Devices[i].OpensLeft;
        ++Devices[i].Opens;
        const HidHandle h = NextHandle++;
        Handles[h] = i;
        LastError.clear();
        return h;
      }
    }
    LastError = "no such device";
    return kInvalidHidHandle;
  }

  std::string LastOpenError() const override {
    std::lock_guard lock(Mutex);
    return LastError;
  }

  void Close(HidHandle handle) override {
    std::lock_guard lock(Mutex);
    Calls.push_back("close");
    Handles.erase(handle);
  }

  bool GetAttributes(HidHandle handle, HidAttributes &attributes) override {
    std::lock_guard lock(Mutex);
    Device *d = Find(handle);
    if (!d)
      return false;
    attributes = d->Attributes;
    return true;
  }
  bool GetManufacturerString(HidHandle handle, std::string &text) override {
    return String(handle, text, &Device::Manufacturer);
  }
  bool GetProductString(HidHandle handle, std::string &text) override {
    return String(handle, text, &Device::Product);
  }
  bool GetSerialNumberString(HidHandle handle, std::string &text) override {
    return String(handle, text, &Device::Serial);
  }

  bool GetReportLengths(HidHandle handle, HidReportLengths &lengths) override {
    std::lock_guard lock(Mutex);
    Device *d = Find(handle);
    if (!d || !d->LengthsReadable)
      return false;
    lengths = d->Lengths;
    return true;
  }

  int Read(HidHandle handle, std::uint8_t *buffer, int length, int timeoutMs) override {
    std::unique_lock lock(Mutex);
    Device *d = Find(handle);
    if (!d)
      return -1;
    const bool ready = Changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      Device *now = Find(handle);
      return !now || !now->Present || !now->Input.empty();
    });
    d = Find(handle);
    if (!d || !d->Present)
      return -1;
    if (d->FailedReads > 0) {
      --d->FailedReads;
      return -1;
    }
    if (!ready)
      return 0;
    Calls.push_back("read");
    std::vector<std::uint8_t> report = std::move(d->Input.front());
    d->Input.pop_front();
    const int n = std::min<int>(length, static_cast<int>(report.size()));
    std::copy(report.begin(), report.begin() + n, buffer);
    return n;
  }

  int Write(HidHandle handle, const std::uint8_t *report, int length) override {
    std::lock_guard lock(Mutex);
    Device *d = Find(handle);
    if (!d || !d->Present)
      return -1;
    if (d->ShortWrites > 0) {
      --d->ShortWrites;
      return length - 1;
    }
    Calls.push_back("write");
    d->Written.emplace_back(report, report + length);
    Changed.notify_all();
    return length;
  }

  bool KeepsDevicesOpen() const override { return KeepOpen; }
  bool ReusesPaths() const override { return ReusePaths; }
  bool StillThere(HidHandle handle) override {
    std::lock_guard lock(Mutex);
    Device *d = Find(handle);
    return d && d->Present;
  }
  HidIdentityMatch MatchIdentity(const std::string &path, const HidIdentity &who) override {
    std::lock_guard lock(Mutex);
    for (const Device &d : Devices)
      if (d.Path == path && d.Present)
        return Same(d, who) ? HidIdentityMatch::Same : HidIdentityMatch::Other;
    return HidIdentityMatch::Unknown;
  }
  bool FindIdentity(const HidIdentity &who, std::string &path) override {
    if (!who.Known())
      return false;
    std::lock_guard lock(Mutex);
    for (const Device &d : Devices)
      if (d.Present && Same(d, who)) {
        path = d.Path;
        return true;
      }
    return false;
  }

private:
  static bool Same(const Device &d, const HidIdentity &who) {
    return (d.HasStrings ? d.Serial : std::string()) == who.SerialNumber &&
           d.Attributes.VendorID == who.VendorID && d.Attributes.ProductID == who.ProductID;
  }

  Device *Find(HidHandle handle) {
    auto it = Handles.find(handle);
    return it == Handles.end() ? nullptr : &Devices[it->second];
  }

  bool String(HidHandle handle, std::string &text, std::string Device::*field) {
    std::lock_guard lock(Mutex);
    Device *d = Find(handle);
    if (!d || !d->HasStrings)
      return false;
    text = d->*field;
    return true;
  }

  mutable std::mutex Mutex; //!< Protects everything below.
  std::condition_variable Changed;
  std::deque<Device> Devices;
  std::map<HidHandle, std::size_t> Handles;
  HidHandle NextHandle = 1;
  int OpenCount = 0;
  std::string LastError;
  std::vector<std::string> Calls;
};

} // namespace zol::test
