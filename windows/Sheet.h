#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QImage>
#include <QString>

#include <vector>

#include "journal/Journal.h"
#include "protocol/ZOL.h"

namespace zol {

/// The configuration sheet of one instrument as a one-page PDF (A4, Qt's PDF writer): the
/// identity and serial number of Model, every setting it holds (Model after a read-all), the
/// date When, and Records (the journal's last records of that serial number, newest first), or
/// RecordsProblem when the journal could not be read. Empty when the PDF could not be made.
QByteArray ConfigurationSheetPdf(const TZOLModel &Model, const std::vector<TJournalRecord> &Records,
                                 const QString &RecordsProblem, const QDateTime &When);
/// The same sheet as a picture of the page at Dpi (the screenshots).
QImage ConfigurationSheetImage(const TZOLModel &Model, const std::vector<TJournalRecord> &Records,
                               const QString &RecordsProblem, const QDateTime &When, int Dpi);

} // namespace zol
