#pragma once

#include <QFont>

namespace zol {

/// A font of Family at PixelSize pixels, the nearest font of kind Hint where the system lacks
/// the family; bold when Bold. Every window sizes its text in pixels, as it is laid out.
QFont PixelFont(const char *Family, int PixelSize, QFont::StyleHint Hint, bool Bold = false);

/// Makes the windows' pictures (resources/windows.qrc) reachable under ":/pictures/windows/",
/// also where the program is linked statically. Any number of times.
void InitPictures();

} // namespace zol
