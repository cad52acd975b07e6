#pragma once

#include <string>
#include <vector>

#include "link/HidPlatform.h"

namespace zol {

/// A HidPlatform that passes every call to another one. Wrappers (zolctl's trace, the
/// benchmarks' timers) derive from it and override only what they watch, so that a call the
/// interface gains later (the kept device, the instrument's identity) is never lost behind a
/// wrapper that answers with the interface's defaults.
class ForwardingHidPlatform : public HidPlatform {
public:
  explicit ForwardingHidPlatform(HidPlatform &Wrapped) : Inner(Wrapped) {}

  std::vector<std::string> ListInterfaces(bool IncludeRegistered) override {
    return Inner.ListInterfaces(IncludeRegistered);
  }
  HidHandle Open(const std::string &Path) override { return Inner.Open(Path); }
  std::string LastOpenError() const override { return Inner.LastOpenError(); }
  void Close(HidHandle Handle) override { Inner.Close(Handle); }
  bool PeekAttributes(const std::string &Path, HidAttributes &Attributes) override {
    return Inner.PeekAttributes(Path, Attributes);
  }
  bool GetAttributes(HidHandle Handle, HidAttributes &Attributes) override {
    return Inner.GetAttributes(Handle, Attributes);
  }
  bool GetManufacturerString(HidHandle Handle, std::string &Text) override {
    return Inner.GetManufacturerString(Handle, Text);
  }
  bool GetProductString(HidHandle Handle, std::string &Text) override {
    return Inner.GetProductString(Handle, Text);
  }
  bool GetSerialNumberString(HidHandle Handle, std::string &Text) override {
    return Inner.GetSerialNumberString(Handle, Text);
  }
  bool GetReportLengths(HidHandle Handle, HidReportLengths &Lengths) override {
    return Inner.GetReportLengths(Handle, Lengths);
  }
  int Read(HidHandle Handle, std::uint8_t *Buffer, int Length, int TimeoutMs) override {
    return Inner.Read(Handle, Buffer, Length, TimeoutMs);
  }
  int Write(HidHandle Handle, const std::uint8_t *Report, int Length) override {
    return Inner.Write(Handle, Report, Length);
  }
  bool KeepsDevicesOpen() const override { return Inner.KeepsDevicesOpen(); }
  bool StillThere(HidHandle Handle) override { return Inner.StillThere(Handle); }
  bool ReusesPaths() const override { return Inner.ReusesPaths(); }
  HidIdentityMatch MatchIdentity(const std::string &Path, const HidIdentity &Who) override {
    return Inner.MatchIdentity(Path, Who);
  }
  bool FindIdentity(const HidIdentity &Who, std::string &Path) override {
    return Inner.FindIdentity(Who, Path);
  }
  bool WatchArrivals(std::uint16_t VendorId, std::uint16_t ProductId) override {
    return Inner.WatchArrivals(VendorId, ProductId);
  }
  std::uint64_t Arrivals() override { return Inner.Arrivals(); }

protected:
  HidPlatform &Inner;
};

} // namespace zol
