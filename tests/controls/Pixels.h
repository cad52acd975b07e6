#pragma once

#include <QColor>
#include <QImage>
#include <QWidget>

#include <string>

namespace zol::test {

/// What the widget draws, as an image of exactly its size in pixels.
inline QImage Picture(QWidget &Widget) {
  return Widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

/// The colour at (X, Y) as "r,g,b", for readable failures.
inline std::string ColourAt(const QImage &Image, int X, int Y) {
  const QColor C = Image.pixelColor(X, Y);
  return std::to_string(C.red()) + "," + std::to_string(C.green()) + "," + std::to_string(C.blue());
}

inline std::string Rgb(int R, int G, int B) {
  return std::to_string(R) + "," + std::to_string(G) + "," + std::to_string(B);
}

} // namespace zol::test
