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
  explicit ForwardingHidPlatform(HidPlatform &Inner) : Inner(Inner) {}

  std::vector<std::string> ListInterfaces(bool includeRegistered) override {
    return Inner.ListInterfaces(includeRegistered);
  }
  HidHandle Open(const std::string &path) override { return Inner.Open(path); }
  std::string LastOpenError() const override { return Inner.LastOpenError(); }
  void Close(HidHandle handle) override { Inner.Close(handle); }
  bool PeekAttributes(const std::string &path, HidAttributes &attributes) override {
    return Inner.PeekAttributes(path, attributes);
  }
  bool GetAttributes(HidHandle handle, HidAttributes &attributes) override {
    return Inner.GetAttributes(handle, attributes);
  }
  bool GetManufacturerString(HidHandle handle, std::string &text) override {
    return Inner.GetManufacturerString(handle, text);
  }
  bool GetProductString(HidHandle handle, std::string &text) override {
    return Inner.GetProductString(handle, text);
  }
  bool GetSerialNumberString(HidHandle handle, std::string &text) override {
    return Inner.GetSerialNumberString(handle, text);
  }
  bool GetReportLengths(HidHandle handle, HidReportLengths &lengths) override {
    return Inner.GetReportLengths(handle, lengths);
  }
  int Read(HidHandle handle, std::uint8_t *buffer, int length, int timeoutMs) override {
    return Inner.Read(handle, buffer, length, timeoutMs);
  }
  int Write(HidHandle handle, const std::uint8_t *report, int length) override {
    return Inner.Write(handle, report, length);
  }
  bool KeepsDevicesOpen() const override { return Inner.KeepsDevicesOpen(); }
  bool StillThere(HidHandle handle) override { return Inner.StillThere(handle); }
  bool ReusesPaths() const override { return Inner.ReusesPaths(); }
  HidIdentityMatch MatchIdentity(const std::string &path, const HidIdentity &who) override {
    return Inner.MatchIdentity(path, who);
  }
  bool FindIdentity(const HidIdentity &who, std::string &path) override {
    return Inner.FindIdentity(who, path);
  }
  bool WatchArrivals(std::uint16_t vendorId, std::uint16_t productId) override {
    return Inner.WatchArrivals(vendorId, productId);
  }
  std::uint64_t Arrivals() override { return Inner.Arrivals(); }

protected:
  HidPlatform &Inner;
};

} // namespace zol
