#pragma once

#include <QFont>

class QRect;
class QString;
class QWidget;

namespace zol {

/// A font of Family at PixelSize pixels, the nearest font of kind Hint where the system lacks
/// the family; bold when Bold. Every window sizes its text in pixels, as it is laid out.
QFont PixelFont(const char *Family, int PixelSize, QFont::StyleHint Hint, bool Bold = false);

/// Makes the windows' pictures (resources/windows.qrc) reachable under ":/pictures/windows/",
/// also where the program is linked statically. Any number of times.
void InitPictures();

class TZOL;

/// A button on Page, at Geometry, that shows Window (raised and active); enabled only while ZOL
/// has an instrument connected.
void AddOpeningButton(TZOL &ZOL, QWidget *Page, QWidget *Window, const QString &Caption,
                      const char *Name, const QRect &Geometry);

} // namespace zol
