#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zol {

/// What the channel needs of a HID report descriptor: the longest report of each kind in bytes,
/// report id byte included (0 when the device has no report of that kind).
struct TReportDescriptorInfo {
  int InputReportByteLength = 0;
  int OutputReportByteLength = 0;
  int FeatureReportByteLength = 0;
  /// The device numbers its reports (Report ID items): reads then carry the id byte themselves.
  bool UsesReportIds = false;
};

/// Computes the report lengths of a report descriptor as the Windows HID stack does. Returns
/// false, with a reason in error, for a descriptor that is truncated or declares nonsense
/// (report id 0, unbalanced push/pop, reports longer than a HID report can be).
bool ParseReportDescriptor(const std::uint8_t *Data, std::size_t Size, TReportDescriptorInfo &Info,
                           std::string *Error = nullptr);

} // namespace zol
