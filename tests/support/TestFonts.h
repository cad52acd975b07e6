#pragma once
// The GUI tests draw offscreen. On Linux Qt's offscreen platform finds the fonts through
// fontconfig; on Windows it reads the font files of QT_QPA_FONTDIR, which Wine does not pass on
// from the environment (it keeps every QT_ variable to itself): the Windows build names the
// folder of DejaVu Sans at build time (ZOL_TEST_FONT_DIR). Called before the application is made.
#include <QtGlobal>

namespace zol::test {

inline void UseTestFonts() {
#ifdef ZOL_TEST_FONT_DIR
  if (qEnvironmentVariableIsEmpty("QT_QPA_FONTDIR"))
    qputenv("QT_QPA_FONTDIR", ZOL_TEST_FONT_DIR);
#endif
}

} // namespace zol::test
