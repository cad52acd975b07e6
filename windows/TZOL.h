#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>
#include <mutex>
#include <optional>

#include "protocol/ZOL.h"

class QWidget;

namespace zol {

class TJournalKeeper;

/// The device component as the windows use it: TCustomZOL whose events reach the user-interface
/// thread as Qt signals, in the order the events were raised. Each signal but StateUpdated
/// carries the model as it was when its event was raised. State answers stream (up to 1000 a
/// second) and the windows follow them at a display's pace: StateUpdated carries the latest
/// state, at most once per pass of the event loop and about every kStatePaceMs while answers
/// come; a state raised before another event is shown before it, one raised after it after it.
/// The worker never waits for the user-interface thread, so closing the windows while chains run
/// cannot hang; a state answer costs the worker no allocation and, while the windows follow the
/// stream, no queued call.
///
/// Shutdown order: the destructor calls Close() (the worker stops) before the component goes;
/// emissions still queued then are dropped with this object.
class TZOL : public QObject, public TCustomZOL {
  Q_OBJECT

public:
  explicit TZOL(HidPlatform &Platform, QObject *Parent = nullptr);
  ~TZOL() override;

  /// Asks the user for a parameter file ("Charge un fichier paramètres") and loads it into
  /// Settings; shows "  Fichier incorrect !  " or the system's reason on failure. True when
  /// Settings was replaced.
  bool LoadParametersDialog(QWidget *Parent);
  /// Asks the user where to save ("sauve un fichier paramètres", the tag proposed as name,
  /// extension ZOL added, overwrite confirmed) and writes Settings there. True when written.
  bool SaveParametersDialog(QWidget *Parent);

  /// The file LoadParametersDialog loaded last (native separators); empty before.
  std::string LoadedFile;

  /// The set-up journal's records of what the windows do through this component (off until
  /// the program turns it on); owned by this object.
  TJournalKeeper *Journal = nullptr;

  using TCustomZOL::LoadParameters;
  using TCustomZOL::SaveParameters;

  /// Title of both parameter-file dialogs.
  static const QString kLoadTitle;
  static const QString kSaveTitle;
  /// The two filters of both dialogs.
  static const QStringList kFileFilters;

  /// Milliseconds between two state updates of the windows while state answers stream.
  static constexpr int kStatePaceMs = 40;
  /// Ticks of the pace timer without a state answer after which the windows stop following.
  static constexpr int kIdleTicks = 1000 / kStatePaceMs;

signals:
  void Connected(const zol::TZOLModel &Snapshot);
  void Disconnected(const zol::TZOLModel &Snapshot);
  void StateUpdated(const zol::TZOLModel &Snapshot);
  void ErrorAnswered(const zol::TZOLModel &Snapshot);
  void DeviceUnlocked(const zol::TZOLModel &Snapshot);
  void Alarm1Updated(const zol::TZOLModel &Snapshot);
  void Alarm2Updated(const zol::TZOLModel &Snapshot);
  void FilterUpdated(const zol::TZOLModel &Snapshot);
  void TagUpdated(const zol::TZOLModel &Snapshot);
  void InfoUpdated(const zol::TZOLModel &Snapshot);
  void AllRead(const zol::TZOLModel &Snapshot);
  void AllWritten(const zol::TZOLModel &Snapshot);
  void WROPUpdated(zol::TWROP Record);
  void CryptedPasswordReceived(const zol::TZOLModel &Snapshot);
  /// A chain on the worker stopped on an error (a value a frame cannot carry); Message names it.
  void ChainFailed(const QString &Message);

private:
  /// One event other than a state update, waiting for the user-interface thread.
  struct TPosted {
    void (TZOL::*Signal)(const TZOLModel &) = nullptr; ///< a notify event, or
    std::optional<TWROP> Record;                       ///< WROPUpdated, or
    QString Message;                                   ///< ChainFailed
    /// The model when raised; with StateFirst, also the state that comes before the event.
    TZOLModel Snapshot;
    bool HasSnapshot = false;
    bool StateFirst = false;
  };

  /// The worker-side handler of one notify event: snapshot now, emit Signal later on the UI thread.
  TNotifyEvent Forward(void (TZOL::*Signal)(const TZOLModel &));
  /// Worker: a state answer. Marks the state as news; posts a delivery only when none is posted
  /// and the windows are not following the stream already.
  void StateRaised();
  /// Worker: queues Item after the state raised before it, and posts a delivery unless one is.
  void Post(TPosted &&Item);
  /// User-interface thread: emits the waiting events one by one (a handler may run a nested
  /// event loop that delivers the rest), then the latest state when there is news. FromTimer:
  /// a tick of the pace timer.
  void Deliver(bool FromTimer);
  void Emit(const TPosted &Item);
  void PostDelivery();

  // Protects Waiting, StateNews, DeliveryPosted, Following and IdleTicks. Taken before the model's
  // lock (Snapshot), never the other way round; never held while a signal is emitted.
  std::mutex PostMutex;
  std::deque<TPosted> Waiting;
  bool StateNews = false;      ///< a state was raised since the windows last took one
  bool DeliveryPosted = false; ///< a queued call to Deliver is on its way
  bool Following = false;      ///< the pace timer runs: it delivers the state news itself
  int IdleTicks = 0;           ///< ticks in a row without state news
  QTimer PaceTimer;            ///< user-interface thread only
  TZOLModel Latest;   ///< the state shown last, updated in place; user-interface thread only
  TZOLModel Nested;   ///< a state taken while a handler of Latest still runs; same thread
  int Delivering = 0; ///< handlers of Latest running (the event loop may nest); same thread
};

} // namespace zol
