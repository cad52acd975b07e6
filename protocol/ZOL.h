#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "link/HidPlatform.h"
#include "link/Types.h"
#include "link/USB.h"
#include "protocol/ParamFile.h"
#include "protocol/Utils.h"

namespace zol {

// ---- Settings records ---------------------------------------------------------------------------

/// Characters the tag field of the settings holds.
inline constexpr int kTagCapacity = 32;
/// Characters the instrument keeps of a tag.
inline constexpr int kDeviceTagLength = 16;
/// Characters of a password.
inline constexpr int kPasswordLength = 8;
/// Records of the instrument's history of write operations.
inline constexpr int kHistoryRecords = 8;
/// Characters of the information text (12 hexadecimal digits, room for 16).
inline constexpr int kInfoTextCapacity = 16;

/// The settings of one alarm, 16 bytes as parameter files hold them. The three flags are bytes:
/// 1 when the program writes true, and any non-zero byte reads as true.
struct TZOLAlarm {
  float SetPoint = 0.0f;       ///< threshold, °C
  float Hysteresis = 0.0f;     ///< °C
  float Delay = 0.0f;          ///< seconds; the instrument holds 0 to 25.5 in tenths
  std::uint8_t ContactNC = 0;  ///< contact normally closed
  std::uint8_t FailClosed = 0; ///< contact closed on sensor failure
  std::uint8_t LedBelow = 0;   ///< LED lit below the threshold
  std::uint8_t Padding = 0;
};
static_assert(sizeof(TZOLAlarm) == 16);
static_assert(offsetof(TZOLAlarm, SetPoint) == 0);
static_assert(offsetof(TZOLAlarm, Hysteresis) == 4);
static_assert(offsetof(TZOLAlarm, Delay) == 8);
static_assert(offsetof(TZOLAlarm, ContactNC) == 12);
static_assert(offsetof(TZOLAlarm, FailClosed) == 13);
static_assert(offsetof(TZOLAlarm, LedBelow) == 14);
static_assert(offsetof(TZOLAlarm, Padding) == 15);

/// A text of at most 32 characters: a length byte, then 32 character bytes. Bytes beyond the
/// length are kept as they are (a loaded file's bytes survive to the next save).
struct TTagField {
  std::uint8_t Length = 0;
  char Chars[kTagCapacity]{};

  /// The tag; a length byte above 32 (a foreign file) gives the 32 characters, never more.
  std::string Get() const;
  /// Stores the first 32 characters of Text; the bytes after them are left as they are.
  void Set(std::string_view Text);
};
static_assert(sizeof(TTagField) == 33);

/// All settings of the instrument, 72 bytes, the body of a parameter file.
struct TZOLSettings {
  TTagField Tag;
  std::uint8_t Padding[3]{};
  float Filter = 0.0f; ///< damping filter, seconds
  TZOLAlarm Alarm1;
  TZOLAlarm Alarm2;
};
static_assert(sizeof(TZOLSettings) == 72);
static_assert(offsetof(TZOLSettings, Tag) == 0);
static_assert(offsetof(TZOLSettings, Padding) == 33);
static_assert(offsetof(TZOLSettings, Filter) == 36);
static_assert(offsetof(TZOLSettings, Alarm1) == 40);
static_assert(offsetof(TZOLSettings, Alarm2) == 56);

// ---- Write-operation records ------------------------------------------------------------------

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

/// What OnUpdateWROP passes: valid only during the call; a handler that keeps it copies it.
using TPtrWROP = const TWROP *;
using TNotifyWROPEvent = std::function<void(TPtrWROP PtrWROP)>;
/// A range error (or another failure) met inside a chain on the worker: the chain has stopped.
using TChainErrorEvent = std::function<void(TObject *Sender, const std::string &Message)>;

/// The record held in 6 payload bytes (dates and times least significant byte first).
TWROP WROPFromBytes(const std::uint8_t *Bytes);
/// Slot 0..7 of a SlotMask, or -1 when it is not a run of ones from the top.
int WROPSlot(std::uint8_t SlotMask);
/// The French name of the write operation of OpCode; "???" for a code outside the table.
std::string WROPOperationName(std::uint8_t OpCode);
/// Day/month/year of a device date, without leading zeros ("1/1/2000").
std::string WROPDateText(std::uint16_t OpDate);
/// Hour:minute of a device time, without leading zeros ("12:0").
std::string WROPTimeText(std::uint16_t OpTime);

// ---- Framing ----------------------------------------------------------------------------------

/// True when the last command (code LastCommand, sent at SentCounter) is to go out again on an
/// answer of AnswerCode at RxCounter: no answer to it, and the instrument's counter has moved
/// by more than 3 since, counted modulo 256. Reset and the firmware commands are never resent.
bool ResendDue(std::uint8_t AnswerCode, std::uint8_t LastCommand, std::uint8_t SentCounter,
               std::uint8_t RxCounter);

/// The HID device that frames commands: checksum, the last frame kept for resending, and the
/// counters of the resend rule.
class TZOLComDevice : public THIDDevice {
public:
  explicit TZOLComDevice(HidPlatform &Platform);
  /// Stops the worker before the framing state goes away.
  ~TZOLComDevice() override;

  /// Sends an 8-byte command (Count bytes of Frame, the rest 0) with its checksum. The caller's
  /// array is not changed. Returns OutputLength - 1 when taken, -2 when not taken in time. From
  /// the worker it returns at once and the report goes out in the same turn.
  int WriteFrame(const std::uint8_t *Frame, int Count) override;
  /// A decoder's reply to an answer of AnsweredCode: sent like WriteFrame only while that code is
  /// still the last command sent. When another command has gone out since (a user's operation),
  /// the reply would overtake it; nothing is sent and the result is 0.
  int WriteReply(const std::uint8_t *Frame, int Count, std::uint8_t AnsweredCode);
  /// Applies the resend rule for an answer of AnswerCode: 0 when nothing was sent, else the
  /// result of the send.
  int ResendLastFrame(std::uint8_t AnswerCode);
  /// Stores the running counter of the answer just received.
  void SetRxCounter(std::uint8_t Counter);

  struct TFrameState {
    std::array<std::uint8_t, 9> LastFrame{};
    std::uint8_t SentCounter = 0;
    std::uint8_t RxCounter = 0;
    bool AnyFrameSent = false;
  };
  /// A consistent copy of the framing state.
  TFrameState FrameState() const;
  /// For an answer of AnswerCode whose checksum is valid, read after the last frame went out:
  /// when it answers the unlock or the password change kept for resending, that frame's
  /// password bytes are wiped. A corrupted report never wipes them, so a lost password frame is
  /// resent whole.
  void ForgetAnsweredSecret(std::uint8_t AnswerCode);
  /// True once the last frame queued (sent or resent) has gone out to the instrument: an answer
  /// read from now on was read after it.
  bool LastFrameOut() const;

  /// For tests of the resend rule: sets both counters.
  void SetCounters(std::uint8_t Sent, std::uint8_t Rx);

  /// Called with the command code each time a frame is handed to the channel, under the framing
  /// lock, so that the owner's record of the last command follows the order of the frames.
  /// Reply: the frame is a decoder's reply (WriteReply), not a command of its own.
  std::function<void(std::uint8_t Code, bool Reply)> OnFrameQueued;

private:
  int SendFrame(const std::uint8_t *Frame, int Count, int AnsweredCode);

  // Protects LastFrame, SentCounter, RxCounter, AnyFrameSent and LastTicket, and makes "counter,
  // checksum, LastFrame, queue" one step, so that two senders never interleave and each chain's
  // frames reach the channel in order. Never held while waiting for the worker.
  mutable std::mutex FrameMutex;
  std::uint8_t LastFrame[9]{};
  std::uint8_t SentCounter = 0;
  std::uint8_t RxCounter = 0;
  bool AnyFrameSent = false;    // nothing to resend before the first frame
  std::int64_t LastTicket = -1; // channel ticket of the last frame queued (sent or resent)
};

// ---- The device component ---------------------------------------------------------------------

/// A consistent copy of everything TCustomZOL knows of the instrument.
struct TZOLModel {
  std::string Manufacturer;
  std::string Product;
  std::string SerialNumber;
  bool WriteLocked = false;
  bool UseDisplay = false;
  bool UseE2PROM = false;
  bool Relay1 = false;
  bool Led1 = false;
  bool Relay2 = false;
  bool Led2 = false;
  std::int16_t RawValue = 0;
  float Measure = 0.0f; ///< °C; 9999 while the sensor has failed
  float Rt = 0.0f;
  std::string InfoText; ///< 12 upper-case hexadecimal digits
  bool PingError = false;
  TZOLSettings Settings; ///< as last read from the instrument or loaded from a file
  TZOLSettings Outgoing; ///< as being written to the instrument
  std::array<std::uint8_t, 6> CryptedPassword{};
  std::uint8_t LastCommand = 0;
  std::int32_t DeviceIndex = 0;
  bool ReadingAll = false;
  bool WritingAll = false;
  std::string TagPart1; ///< characters 1-8 of a tag being read
  std::string TagPart2; ///< characters 9-16 of a tag being read
};

/// The component through which the program talks to the instrument: it owns the HID device,
/// keeps the model, offers one operation per command or chain, decodes every answer on the
/// worker thread, sends the next command of a chain from there and raises its events there.
///
/// Event handlers are assigned before Open (the worker reads them without a lock); they run on
/// the worker with no lock held and may call Snapshot() and any operation. An operation called
/// from a handler is a command of its own, as if the user had sent it: it goes out after
/// whatever the decoder sent before raising the event, a reply the decoder would send after the
/// event gives way to it, and it ends a read-all, write-all or history read under way (with a
/// message). Operations called directly throw ERangeError for a value a frame cannot carry;
/// inside a chain on the worker the same error stops the chain and is reported through
/// OnChainError.
///
/// Shutdown order: Close() (or the destructor) stops the worker first; only then do the model
/// and the device go away.
class TCustomZOL : public TObject {
public:
  explicit TCustomZOL(HidPlatform &Platform);
  ~TCustomZOL() override;

  /// Rebuilds the device list; the number of matching instruments.
  int Scan();
  /// Stores Index in DeviceIndex and opens that instrument; false when it cannot be opened.
  bool Open(int Index);
  /// Stops the channel's worker (at most one more turn).
  void Close();

  /// A consistent copy of the model fields.
  TZOLModel Snapshot() const;

  void SendCommand(std::uint8_t Code);
  void ReadTag();
  void ReadFilter();
  void ReadAlarm1();
  void ReadAlarm2();
  void ReadAll();
  void WriteTag(std::string_view Text);
  void WriteFilter(float Value);
  void WriteAlarm1(const TZOLAlarm &Alarm);
  void WriteAlarm2(const TZOLAlarm &Alarm);
  void WriteAll();
  void SendTag1();
  void SendTag2();
  void SendFilter();
  void SendAlarm1();
  void SendAlarm2();
  void SetClock();
  void Ping();
  void ReadInfo();
  void AdjustZero();
  void AdjustFullScale();
  void Reset();
  void ProgramFirmware();
  void EraseFirmware();
  void ResetAll();
  void Unlock(std::string_view Password);
  void ChangePassword(std::string_view NewPassword);
  void ReadCryptedPassword();
  /// Asks for history record Index (0 to 255; ERangeError beyond, and nothing is sent): a history
  /// read of that one record, passed on once through OnUpdateWROP.
  void ReadWROP(int Index);
  /// Reads the instrument's 8 history records as a chain: the request for record i + 1 goes out
  /// from the decoder, in the turn in which the answer for record i arrives. OnUpdateWROP is
  /// raised once per record, in order, each with its own record. A lost request is asked again
  /// (a few times); a record that does not come ends the read with OnChainError naming it. A
  /// user's command during the read ends it with a message; ReadHistory or ReadWROP again
  /// restarts it.
  void ReadHistory();
  /// A history read (ReadHistory or ReadWROP) is under way.
  bool ReadingHistoryNow() const;

  /// Replaces Settings with a parameter file's; Settings is unchanged unless Ok.
  TParamFileResult LoadParameters(const std::string &Path);
  /// Writes Settings to a parameter file (atomically: the old file survives any failure).
  TParamFileResult SaveParameters(const std::string &Path);

  /// Where SetClock takes the time; the computer's local clock unless a test sets another.
  std::function<TCivilDateTime()> Clock = LocalNow;

  std::unique_ptr<TZOLComDevice> Device;

  TNotifyEvent OnConnect;
  TNotifyEvent OnDisconnect;
  TNotifyEvent OnUpdateState;
  TNotifyEvent OnError;
  TNotifyEvent OnUnlockDevice;
  TNotifyEvent OnUpdateAlarm1;
  TNotifyEvent OnUpdateAlarm2;
  TNotifyEvent OnUpdateFilter;
  TNotifyEvent OnUpdateTag;
  TNotifyEvent OnUpdateInfo;
  TNotifyEvent OnReadAll;
  TNotifyEvent OnWriteAll;
  TNotifyWROPEvent OnUpdateWROP;
  TNotifyEvent OnGetCryptedPassword;
  /// Not one of the 14: a chain on the worker stopped on an error (message in plain words).
  TChainErrorEvent OnChainError;

  // The device's handlers, run by the worker.
  void DeviceConnected(TObject *Sender);
  void DeviceDisconnected(TObject *Sender);
  void ProcessFrame(TObject *Sender);

private:
  using TFrame = std::array<std::uint8_t, kCommandLength>;

  void Send(const TFrame &Frame);
  void SendAlarm(TCommand Code, const TZOLAlarm TZOLSettings::*Which, const char *Name);
  void SendPasswordBlock(TCommand Code, std::string_view Password);
  void SendTagHalf(TCommand Code, int First);
  void Decode();
  /// Current: the answer is to the last command sent (a repeat of an earlier one is not).
  void Dispatch(std::uint8_t Code, const std::uint8_t *Payload, bool WriteLocked, bool Current);
  void Raise(const TNotifyEvent &Event);
  void ReportChainError(const char *Message);
  /// A user's command while a read-all, write-all or history read runs: the chain ends, and is
  /// reported unless its stop was reported already. A history read being restarted ends quietly.
  void InterruptChains(bool RestartingHistory = false);
  void StartHistory(int First, int Last);
  void SendHistoryRequest(int Index);
  /// The decoder's part of a history read: an answer of Code (0x02 or 0x00) has arrived.
  void HistoryAnswer(std::uint8_t Code, const std::uint8_t *Payload, bool Current);
  /// One more report read during a history read; ends the read when its record is overdue.
  void CountHistoryReport();
  void FailHistory(int Index, const char *Why);
  bool ReadingAllNow() const;
  bool WritingAllNow() const;

  // Protects Model (every field of it). Never held while an event runs or a frame is sent; the
  // device's framing lock may be held when it is taken, never the other way round.
  mutable std::mutex ModelMutex;
  TZOLModel Model;
  // Code of the answer whose row stopped on an error, -1 when none. The instrument repeats that
  // answer until it acts on another command; the stopped row is not run (nor reported) again
  // until an answer of another code arrives. Protected by ModelMutex.
  int StoppedAnswer = -1;
  // A chain stopped on an error and was reported; its flag stays set until the next command.
  // Protected by ModelMutex.
  bool ChainStopped = false;
  // Code of the last answer with a valid checksum. Protected by ModelMutex.
  int LastAnswerCode = -1;

  // A history read. All its answers carry the code 0x02, so an answer is known as the one to
  // the request just sent either by its bytes (they differ from the record passed on before)
  // or, when the record before could look the same, because a state request went between
  // (Separating): the first record after the state answer is then the awaited one.
  struct THistoryRead {
    bool Active = false;
    int Next = 0;            ///< index of the record awaited
    int Last = 0;            ///< index of the last record of the read
    bool Separating = false; ///< a state request is out; the request for Next follows its answer
    bool Distinct = false;   ///< no earlier record can be mistaken for the awaited one
    std::array<std::uint8_t, 6> Passed{}; ///< the record passed on last in this read
    bool AnyPassed = false;
    int Tries = 0;   ///< times Next was asked for again
    int Reports = 0; ///< reports read since Next was first asked for
  };
  THistoryRead History; // protected by ModelMutex
};

} // namespace zol
