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
#include "protocol/Codec.h"
#include "protocol/ParamFile.h"
#include "protocol/Settings.h"
#include "protocol/Utils.h"
#include "protocol/WROP.h"
#include "protocol/ZOLComDevice.h"

namespace zol {

// ---- Events ------------------------------------------------------------------------------------

/// What OnUpdateWROP passes: valid only during the call; a handler that keeps it copies it.
using TPtrWROP = const TWROP *;
using TNotifyWROPEvent = std::function<void(TPtrWROP PtrWROP)>;
/// A range error (or another failure) met inside a chain on the worker: the chain has stopped.
using TChainErrorEvent = std::function<void(TObject *Sender, const TError &Error)>;

// ---- The device component ---------------------------------------------------------------------

/// Who the instrument is: read at each connection, unchanged until the next.
struct TZOLIdentity {
  std::string Manufacturer;
  std::string Product;
  std::string SerialNumber;
  std::uint32_t IdentityGeneration = 0; ///< counts the connections that set the three texts
};

/// What the instrument answers and holds: it changes with the answers.
struct TZOLState {
  bool WriteLocked = false;
  bool UseDisplay = false;
  bool UseE2PROM = false;
  bool Relay1 = false;
  bool Led1 = false;
  bool Relay2 = false;
  bool Led2 = false;
  std::int16_t RawValue = 0;
  float Measure = 0.0f; ///< °C; kSensorFailureMeasure while the sensor has failed
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

/// A consistent copy of everything TCustomZOL knows of the instrument.
struct TZOLModel : TZOLIdentity, TZOLState {};

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
  /// Brings Into up to the model as Snapshot() would, in place: the identity texts are copied
  /// only when a connection has changed them since Into took them, so that a window following
  /// a 1 kHz stream allocates nothing per update.
  void SnapshotInto(TZOLModel &Into) const;

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
  /// read of that one record, passed on once through OnUpdateWROP; a state request follows it.
  void ReadWROP(int Index);
  /// Reads the instrument's 8 history records as a chain: the request for record i + 1 goes out
  /// from the decoder, in the turn in which the answer for record i arrives. OnUpdateWROP is
  /// raised once per record, in order, each with its own record. A lost request is asked again
  /// (a few times); a record that does not come ends the read with OnChainError naming it. The
  /// read ends with a state request, as a read-all does, so that state answers come again. A
  /// user's command during the read ends it with a message; ReadHistory or ReadWROP again
  /// restarts it.
  void ReadHistory();
  /// A history read (ReadHistory or ReadWROP) is under way.
  bool ReadingHistoryNow() const;

  /// Replaces Settings with a parameter file's; Settings is unchanged unless Ok.
  TParamFileResult LoadParameters(const std::string &Path);
  /// Replaces Settings (what WriteAll sends) with a copy already read and checked.
  void UseSettings(const TZOLSettings &Settings);
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
  /// Not one of the 14: a chain on the worker stopped on an error (its code and values).
  TChainErrorEvent OnChainError;

  // The device's handlers, run by the worker.
  void DeviceConnected(TObject *Sender);
  void DeviceDisconnected(TObject *Sender);
  void ProcessFrame(TObject *Sender);

private:
  using TFrame = TCommandBytes;

  /// How a frame goes out. A command of its own (a public operation, called by the user or by
  /// an event handler) ends the read-all, write-all or history read under way. The first frame
  /// of a chain that its operation has just set up goes out without ending it. A decoder's
  /// reply within a chain, to the answer of code Answered, goes out only while that code is
  /// still the last command sent (TZOLComDevice::WriteReply): it gives way to a command sent
  /// since.
  struct TSendAs {
    enum class TKind : std::uint8_t { Command, ChainStart, Reply };
    TKind Kind = TKind::Command;
    std::uint8_t Answered = 0;
    static constexpr TSendAs Command() { return {TKind::Command, 0}; }
    static constexpr TSendAs ChainStart() { return {TKind::ChainStart, 0}; }
    static constexpr TSendAs ReplyTo(std::uint8_t AnswerCode) { return {TKind::Reply, AnswerCode}; }
  };

  void Send(const TFrame &Frame, TSendAs As);
  void SendCommand(std::uint8_t Code, TSendAs As);
  void SendTag1(TSendAs As);
  void SendTag2(TSendAs As);
  void SendFilter(TSendAs As);
  void SendAlarm1(TSendAs As);
  void SendAlarm2(TSendAs As);
  void SendAlarm(TCommand Code, const TZOLAlarm TZOLSettings::*Which, TSendAs As);
  void SendPasswordBlock(TCommand Code, std::string_view Password);
  void SendTagHalf(TCommand Code, TSendAs As);
  void Decode();
  /// The row of the answer: its events, and its replies (sent as replies to its code).
  /// Current: the answer is to the last command sent (a repeat of an earlier one is not).
  void Dispatch(const TDecodedAnswer &Answer, bool Current);
  void Raise(const TNotifyEvent &Event);
  void ReportChainError(const TError &Error);
  void ReportChainError(TErrorCode Code, int Number = 0);
  /// What a chain caught: a range error as it is, anything else as Unexpected.
  void ReportCaught(const std::exception &Caught);
  /// A user's command while a read-all, write-all or history read runs: the chain ends, and is
  /// reported unless its stop was reported already. A history read being restarted ends quietly.
  void InterruptChains(bool RestartingHistory = false);
  void StartHistory(int First, int Last);
  void SendHistoryRequest(int Index, TSendAs As);
  /// The decoder's part of a history read: an answer of code 0x02 or 0x00 has arrived; the
  /// next request goes out as Reply.
  void HistoryAnswer(const TDecodedAnswer &Answer, bool Current, TSendAs Reply);
  /// One more report read during a history read; ends the read when its record is overdue.
  void CountHistoryReport();
  void FailHistory(int Index, TErrorCode Why);
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
    int Tries = 0;                               ///< times Next was asked for again
    int Reports = 0;                             ///< reports read since Next was first asked for
    TZOLComDevice::TClock::time_point AskedAt{}; ///< when Next was first asked for
  };
  THistoryRead History; // protected by ModelMutex
};

} // namespace zol
