#include "protocol/ZOL.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>

namespace zol {

namespace {

/// Times a history record is asked for again before the read gives up on it.
constexpr int kHistoryTries = 8;
/// Reports a history read waits for one record, resends included, before it gives up on it;
/// and the time, in resend times (a lost state request between two records is resent only
/// after one).
constexpr int kHistoryReportBudget = 96;
constexpr int kHistoryResendBudget = 8;
} // namespace

// ---- History read -------------------------------------------------------------------------------

void TCustomZOL::StartHistory(int First, int Last) {
  InterruptChains(true);
  bool Separating = false;
  {
    std::lock_guard<std::mutex> Lock(ModelMutex);
    History = THistoryRead{};
    History.Active = true;
    History.Next = First;
    History.Last = Last;
    // While the instrument answers history requests, its repeats of an earlier record could be
    // taken for the first one: a state request goes between.
    const std::uint8_t Code = CodeOf(TCommand::ReadWROP);
    Separating = Model.LastCommand == Code || LastAnswerCode == Code;
    History.Separating = Separating;
    History.Distinct = !Separating;
    History.AskedAt = Device->Now();
  }
  if (Separating) {
    SendCommand(CodeOf(TCommand::ReadState), TSendAs::ChainStart());
  } else {
    SendHistoryRequest(First, TSendAs::ChainStart());
  }
}

void TCustomZOL::SendHistoryRequest(int Index, TSendAs As) {
  Send(EncodeHistoryRequest(Index), As);
}

void TCustomZOL::FailHistory(int Index, TErrorCode Why) {
  ReportChainError(Why, Index);
}

void TCustomZOL::CountHistoryReport() {
  // Asked before the model lock: the framing lock is never taken under it.
  const auto Budget = ResendAfter(Device->ReportPeriod()) * kHistoryResendBudget;
  const auto At = Device->Now();
  int Overdue = -1;
  {
    std::lock_guard<std::mutex> Lock(ModelMutex);
    if (!History.Active) {
      return;
    }
    if (++History.Reports > kHistoryReportBudget && At - History.AskedAt > Budget) {
      History.Active = false;
      Overdue = History.Next;
    }
  }
  if (Overdue >= 0) {
    FailHistory(Overdue, TErrorCode::HistoryNoAnswer);
  }
}

void TCustomZOL::HistoryAnswer(const TDecodedAnswer &Answer, bool Current, TSendAs Reply) {
  const std::uint8_t Code = Answer.Code;
  const std::uint8_t *Payload = Answer.Payload.data();
  // Asked before the model lock: the framing lock is never taken under it.
  const bool Out = Device->LastFrameOut();
  const auto At = Device->Now();
  const TZOLComDevice::TFrameState Frames = Device->FrameState();
  const auto Waited = static_cast<std::uint8_t>(Frames.RxCounter - Frames.SentCounter);
  enum class TStep { None, Request, Separate, End, Fail } Step = TStep::None;
  bool Pass = false;
  int Index = 0;
  {
    std::lock_guard<std::mutex> Lock(ModelMutex);
    if (!History.Active || !Out) {
      return; // not reading, or this answer was read before the last request went out
    }
    if (Code == CodeOf(TCommand::ReadState)) {
      if (!History.Separating || !Current) {
        return;
      }
      // The instrument has acted on the state request: the next record it sends is the one
      // asked for now.
      History.Separating = false;
      History.Distinct = true;
      Step = TStep::Request;
      Index = History.Next;
    } else if (History.Separating) {
      return; // a repeat of an earlier record while the state request is on its way
    } else if (History.Distinct || !History.AnyPassed ||
               !std::equal(History.Passed.begin(), History.Passed.end(), Payload)) {
      Pass = true;
      std::copy(Payload, Payload + History.Passed.size(), History.Passed.begin());
      History.AnyPassed = true;
      History.Tries = 0;
      History.Reports = 0;
      History.AskedAt = At;
      ++History.Next;
      Index = History.Next;
      if (History.Next > History.Last) {
        // The instrument would repeat the record for ever: a state request brings the
        // measurement back, as at the end of a read-all.
        History.Active = false;
        Step = TStep::End;
      } else if (WROPSlot(Payload[WROPOffset::SlotMask]) < 0) {
        // A record without a slot: the next may hold the same bytes, so a state request goes
        // between to tell its answer from this one's repeats.
        History.Separating = true;
        History.Distinct = false;
        Step = TStep::Separate;
      } else {
        History.Distinct = false;
        Step = TStep::Request;
      }
    } else if (Waited > kResendReports) {
      // Still the previous record, well after the request: the request was lost, the
      // instrument is slow, or it holds the same bytes twice. The request goes out again as it
      // was (a slow instrument's answer is not put off by it); the time after, behind a state
      // request, which tells a record that looks like the previous one from its repeats.
      if (++History.Tries > kHistoryTries) {
        History.Active = false;
        Step = TStep::Fail;
        Index = History.Next;
      } else if (History.Tries % 2 == 1) {
        Step = TStep::Request;
        Index = History.Next;
      } else {
        History.Separating = true;
        Step = TStep::Separate;
      }
    }
  }
  // The next request goes out before the record is passed on: its exchange runs while the
  // handler does its work.
  switch (Step) {
  case TStep::Request:
    SendHistoryRequest(Index, Reply);
    break;
  case TStep::Separate:
  case TStep::End:
    SendCommand(CodeOf(TCommand::ReadState), Reply);
    break;
  case TStep::Fail:
    SendCommand(CodeOf(TCommand::ReadState), Reply);
    FailHistory(Index, TErrorCode::HistoryNoAnswer);
    break;
  case TStep::None:
    break;
  }
  if (Pass && OnUpdateWROP) {
    // A copy decoded from the payload: aligned, and the same on any byte order.
    const TWROP Record = Answer.Record;
    OnUpdateWROP(&Record);
  }
}

// ---- The decoder -------------------------------------------------------------------------------

void TCustomZOL::Raise(const TNotifyEvent &Event) {
  if (Event) {
    Event(this);
  }
}

void TCustomZOL::ReportChainError(const TError &Error) {
  if (!OnChainError) {
    return;
  }
  try {
    OnChainError(this, Error);
  } catch (...) {
    // The worker must go on whatever a handler of the report does.
  }
}

void TCustomZOL::ReportChainError(TErrorCode Code, int Number) {
  TError Error;
  Error.Code = Code;
  Error.Number = Number;
  ReportChainError(Error);
}

void TCustomZOL::ReportCaught(const std::exception &Caught) {
  if (const auto *Range = dynamic_cast<const ERangeError *>(&Caught)) {
    ReportChainError(Range->Error());
    return;
  }
  TError Error;
  Error.Code = TErrorCode::Unexpected;
  Error.Text = Caught.what();
  ReportChainError(Error);
}

bool TCustomZOL::ReadingAllNow() const {
  std::lock_guard<std::mutex> Lock(ModelMutex);
  return Model.ReadingAll;
}

bool TCustomZOL::WritingAllNow() const {
  std::lock_guard<std::mutex> Lock(ModelMutex);
  return Model.WritingAll;
}

void TCustomZOL::ProcessFrame(TObject *) {
  try {
    Decode();
  } catch (const std::exception &Error) {
    // Nothing outside the rows throws today; whatever does must not end the worker.
    ReportCaught(Error);
  }
}

void TCustomZOL::Decode() {
  std::uint8_t Bytes[kAnswerLength]{};
  Device->ReadFrame(Bytes, kAnswerLength);
  const TDecodedAnswer Answer = DecodeAnswer(Bytes);
  Device->SetRxCounter(Answer.Counter);
  Device->ResendLastFrame(Answer.Code);
  CountHistoryReport();
  if (!Answer.ChecksumValid) {
    return;
  }
  Device->ForgetAnsweredSecret(Answer.Code);

  const std::uint8_t Code = Answer.Code;
  bool Stopped = false;
  bool Current = false;
  {
    std::lock_guard<std::mutex> Lock(ModelMutex);
    Model.Measure = Answer.Measure;
    Model.WriteLocked = Answer.WriteLocked;
    Model.UseDisplay = Answer.UseDisplay;
    Model.UseE2PROM = Answer.UseE2PROM;
    Model.Relay1 = Answer.Relay1;
    Model.Led1 = Answer.Led1;
    Model.Relay2 = Answer.Relay2;
    Model.Led2 = Answer.Led2;
    // The instrument repeats its last answer until a new command reaches it: an answer whose
    // code is not the last command sent is a repeat of an earlier exchange.
    Current = Code == Model.LastCommand;
    LastAnswerCode = Code;
    Stopped = StoppedAnswer == Code;
    if (!Stopped) {
      StoppedAnswer = -1; // the instrument has moved on to another answer
    }

    switch (static_cast<TCommand>(Code)) {
    case TCommand::ReadState:
      Model.RawValue = Answer.RawValue;
      Model.Rt = Answer.Rt;
      break;
    case TCommand::ReadInfo:
      Model.InfoText = Answer.InfoText;
      break;
    case TCommand::Ping:
      if (!Answer.PingEchoed) {
        Model.PingError = true;
      }
      break;
    case TCommand::ReadFilter:
      Model.Settings.Filter = Answer.Filter;
      break;
    case TCommand::ReadAlarm1:
    case TCommand::ReadAlarm2: {
      // The padding, which no frame carries, stays the settings'.
      TZOLAlarm &Alarm =
          Code == CodeOf(TCommand::ReadAlarm1) ? Model.Settings.Alarm1 : Model.Settings.Alarm2;
      const std::uint8_t Padding = Alarm.Padding;
      Alarm = Answer.Alarm;
      Alarm.Padding = Padding;
      break;
    }
    case TCommand::ReadTag:
      Model.TagPart1 = Answer.TagHalf;
      break;
    case TCommand::ReadTag2:
      Model.TagPart2 = Answer.TagHalf;
      Model.Settings.Tag.Set(Model.TagPart1 + Model.TagPart2);
      break;
    case TCommand::ReadCryptedPassword:
      Model.CryptedPassword = Answer.CryptedPassword;
      break;
    default:
      break;
    }
  }

  if (Stopped) {
    return;
  }
  try {
    Dispatch(Answer, Current);
  } catch (const std::exception &Error) {
    // A range error inside a chain (an alarm loaded from a file that no frame can carry) stops
    // that chain; the worker goes on reading and writing reports.
    {
      std::lock_guard<std::mutex> Lock(ModelMutex);
      StoppedAnswer = Code;
      ChainStopped = true;
    }
    ReportCaught(Error);
  }
}

void TCustomZOL::Dispatch(const TDecodedAnswer &Answer, bool Current) {
  const std::uint8_t Code = Answer.Code;
  // Events and replies in the order of each row, with no lock held: handlers take snapshots
  // and may call operations. ReadingAll and WritingAll are looked at when the row needs them.
  // The steps of a read-all or write-all chain are taken only on a current answer: a repeat of
  // the previous chain's last answer must neither end a new chain nor skip its writes.
  const bool WritingAllStep = Current && WritingAllNow();
  const bool ReadingAllStep = Current && ReadingAllNow();
  // Every frame a row sends is its reply to this answer; what a handler sends is a command of
  // its own (the public operations), and a reply gives way to it.
  const TSendAs Reply = TSendAs::ReplyTo(Code);
  switch (static_cast<TCommand>(Code)) {
  case TCommand::ReadState:
    HistoryAnswer(Answer, Current, Reply);
    Raise(OnUpdateState);
    break;
  case TCommand::ReadInfo:
    Raise(OnUpdateInfo);
    SendCommand(CodeOf(TCommand::ReadState), Reply);
    break;
  case TCommand::ReadWROP:
    HistoryAnswer(Answer, Current, Reply);
    break;
  case TCommand::SendFilter:
    if (WritingAllStep) {
      Raise(OnUpdateFilter);
      SendAlarm1(Reply);
    } else if (!WritingAllNow()) {
      SendCommand(CodeOf(TCommand::ReadFilter), Reply);
    }
    break;
  case TCommand::SendAlarm1:
    if (WritingAllStep) {
      SendAlarm2(Reply);
      Raise(OnUpdateAlarm1);
    } else if (!WritingAllNow()) {
      SendCommand(CodeOf(TCommand::ReadAlarm1), Reply);
    }
    break;
  case TCommand::SendAlarm2:
    if (WritingAllStep) {
      // The chain is over before its handlers run: one of them may start the next at once.
      {
        std::lock_guard<std::mutex> Lock(ModelMutex);
        Model.WritingAll = false;
      }
      Raise(OnUpdateAlarm2);
      Raise(OnWriteAll);
    } else if (!WritingAllNow()) {
      SendCommand(CodeOf(TCommand::ReadAlarm2), Reply);
    }
    break;
  case TCommand::SendTag1:
    SendTag2(Reply);
    break;
  case TCommand::SendTag2:
    if (WritingAllStep) {
      SendFilter(Reply);
      Raise(OnUpdateTag);
    } else if (!WritingAllNow()) {
      SendCommand(CodeOf(TCommand::ReadTag), Reply);
    }
    break;
  case TCommand::Unlock:
    SendCommand(CodeOf(TCommand::ReadState), Reply);
    if (!Answer.WriteLocked) {
      Raise(OnUnlockDevice);
    }
    break;
  case TCommand::ChangePassword:
  case TCommand::AdjustZero:
  case TCommand::AdjustFullScale:
    SendCommand(CodeOf(TCommand::ReadState), Reply);
    break;
  case TCommand::SetClock:
    SendCommand(CodeOf(TCommand::ReadTag), Reply);
    break;
  case TCommand::Ping:
    Raise(OnUpdateState);
    break;
  case TCommand::ReadFilter:
    Raise(OnUpdateFilter);
    SendCommand(CodeOf(ReadingAllStep ? TCommand::ReadAlarm1 : TCommand::ReadState), Reply);
    break;
  case TCommand::ReadAlarm1:
    Raise(OnUpdateAlarm1);
    SendCommand(CodeOf(ReadingAllStep ? TCommand::ReadAlarm2 : TCommand::ReadState), Reply);
    break;
  case TCommand::ReadAlarm2:
    if (ReadingAllStep) {
      // The chain is over before its handlers run: one of them may start the next at once.
      {
        std::lock_guard<std::mutex> Lock(ModelMutex);
        Model.ReadingAll = false;
      }
      Raise(OnUpdateAlarm2);
      Raise(OnReadAll);
    } else {
      Raise(OnUpdateAlarm2);
    }
    SendCommand(CodeOf(TCommand::ReadState), Reply);
    break;
  case TCommand::ReadTag:
    SendCommand(CodeOf(TCommand::ReadTag2), Reply);
    break;
  case TCommand::ReadTag2:
    Raise(OnUpdateTag);
    SendCommand(CodeOf(ReadingAllStep ? TCommand::ReadFilter : TCommand::ReadState), Reply);
    break;
  case TCommand::ReadCryptedPassword:
    Raise(OnGetCryptedPassword);
    SendCommand(CodeOf(TCommand::ReadState), Reply);
    break;
  case TCommand::Error:
    Raise(OnError);
    break;
  default:
    // No handling: the status and the measurement have been taken.
    break;
  }
}

} // namespace zol
