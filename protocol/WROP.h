#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zol {

/// Records of the instrument's history of write operations.
inline constexpr int kHistoryRecords = 8;

/// One record of the instrument's history of its last 8 write operations (payload of 0x02).
struct TWROP {
  std::uint8_t SlotMask = 0; ///< a run of one bits from the top: 0xFF slot 0 ... 0x80 slot 7
  std::uint8_t OpCode = 0;   ///< code of the command that made the change
  std::uint16_t OpDate = 0;  ///< device date: days since 1 January 2000
  std::uint16_t OpTime = 0;  ///< device time: 1/65536 of a day
};
static_assert(sizeof(TWROP) == 6);
static_assert(offsetof(TWROP, SlotMask) == 0);
static_assert(offsetof(TWROP, OpCode) == 1);
static_assert(offsetof(TWROP, OpDate) == 2);
static_assert(offsetof(TWROP, OpTime) == 4);

/// Offsets inside the 6 payload bytes of a history record (dates and times least significant
/// byte first).
namespace WROPOffset {
inline constexpr int SlotMask = 0;
inline constexpr int OpCode = 1;
inline constexpr int OpDate = 2;
inline constexpr int OpTime = 4;
inline constexpr int Length = 6;
} // namespace WROPOffset

/// The slot mask of record Slot: the top 8 - Slot bits set (0xFF slot 0 ... 0x80 slot 7);
/// 0, a mask of no slot, from 8 on.
constexpr std::uint8_t WROPSlotMask(int Slot) {
  return Slot >= 0 && Slot < kHistoryRecords ? static_cast<std::uint8_t>(0xFF << Slot) : 0;
}
/// Slot 0..7 of a SlotMask, or -1 when it is not a run of ones from the top.
int WROPSlot(std::uint8_t SlotMask);

/// The record held in 6 payload bytes.
TWROP WROPFromBytes(const std::uint8_t *Bytes);
/// The 6 payload bytes of a record.
void WROPToBytes(const TWROP &Record, std::uint8_t *Bytes);

/// The French name of the write operation of OpCode; "???" for a code outside the table.
std::string WROPOperationName(std::uint8_t OpCode);

/// Whether the instrument records an accepted write of this command code in its history.
bool IsRecordedWrite(std::uint8_t Code);
/// Day/month/year of a device date, without leading zeros ("1/1/2000").
std::string WROPDateText(std::uint16_t OpDate);
/// Hour:minute of a device time, without leading zeros ("12:0").
std::string WROPTimeText(std::uint16_t OpTime);

} // namespace zol
