#pragma once

#include <QObject>
#include <QString>

#include "protocol/ZOL.h"

class QWidget;

namespace zol {

/// The device component as the windows use it: TCustomZOL whose events reach the user-interface
/// thread as Qt signals. Each signal carries the model as it was when the event was raised, and
/// the signals arrive in the order the events were raised. The worker never waits for the
/// user-interface thread, so closing the windows while chains run cannot hang.
///
/// Shutdown order: the destructor calls Close() (the worker stops) before the component goes;
/// emissions still queued then are dropped with this object.
class TZOL : public QObject, public TCustomZOL {
  Q_OBJECT

public:
  explicit TZOL(HidPlatform &Platform, QObject *parent = nullptr);
  ~TZOL() override;

  /// Asks the user for a parameter file ("Charge un fichier paramètres") and loads it into
  /// Settings; shows "  Fichier incorrect !  " or the system's reason on failure. True when
  /// Settings was replaced.
  bool LoadParametersDialog(QWidget *Parent);
  /// Asks the user where to save ("sauve un fichier paramètres", the tag proposed as name,
  /// extension ZOL added, overwrite confirmed) and writes Settings there. True when written.
  bool SaveParametersDialog(QWidget *Parent);

  using TCustomZOL::LoadParameters;
  using TCustomZOL::SaveParameters;

  /// Title of both parameter-file dialogs.
  static const QString LoadTitle;
  static const QString SaveTitle;
  /// The two filters of both dialogs.
  static const QStringList FileFilters;

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
  /// The worker-side handler of one notify event: snapshot now, emit Signal later on the UI thread.
  TNotifyEvent Forward(void (TZOL::*Signal)(const TZOLModel &));
};

} // namespace zol
