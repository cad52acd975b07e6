#pragma once

#include <map>
#include <mutex>
#include <string>

#include "link/HidPlatform.h"
#include "link/ReportDescriptor.h"

struct hid_device_;

namespace zol {

/// HID services over hidapi (hidraw backend on Linux). Report lengths come from the report
/// descriptor the kernel publishes in sysfs, parsed by our own parser.
///
/// Create one before any thread uses HID (it initialises hidapi) and destroy it after the last
/// channel has been closed.
class HidapiPlatform final : public HidPlatform {
public:
  HidapiPlatform();
  ~HidapiPlatform() override;
  HidapiPlatform(const HidapiPlatform &) = delete;
  HidapiPlatform &operator=(const HidapiPlatform &) = delete;

  std::vector<std::string> ListInterfaces(bool includeRegistered) override;
  HidHandle Open(const std::string &path) override;
  std::string LastOpenError() const override;
  void Close(HidHandle handle) override;
  bool PeekAttributes(const std::string &path, HidAttributes &attributes) override;
  bool GetAttributes(HidHandle handle, HidAttributes &attributes) override;
  bool GetManufacturerString(HidHandle handle, std::string &text) override;
  bool GetProductString(HidHandle handle, std::string &text) override;
  bool GetSerialNumberString(HidHandle handle, std::string &text) override;
  bool GetReportLengths(HidHandle handle, HidReportLengths &lengths) override;
  int Read(HidHandle handle, std::uint8_t *buffer, int length, int timeoutMs) override;
  int Write(HidHandle handle, const std::uint8_t *report, int length) override;

  /// The sysfs file that holds the report descriptor of a hidraw path ("/dev/hidraw3").
  static std::string DescriptorFileOf(const std::string &path);

private:
  static constexpr int kMaxHandles = 64;
  struct Slot {
    hid_device_ *Device = nullptr;
    bool UsesReportIds = false;
    std::string Path;
  };
  struct DescriptorFacts {
    bool Known = false;
    TReportDescriptorInfo Info;
  };

  Slot *SlotOf(HidHandle handle);
  /// The hidapi device of an open handle (nullptr when none), and whether it numbers reports.
  hid_device_ *DeviceOf(HidHandle handle, bool *usesReportIds = nullptr);
  DescriptorFacts FactsOf(const std::string &path, bool reread);

  mutable std::mutex SlotsMutex; //!< Protects which slots are in use (Slot::Device, Path, UsesReportIds).
  Slot Slots[kMaxHandles];

  std::mutex FactsMutex; //!< Protects Facts.
  std::map<std::string, DescriptorFacts, std::less<>> Facts;
};

} // namespace zol
