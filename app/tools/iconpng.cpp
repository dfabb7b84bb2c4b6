// Writes the window's icon as a PNG for installation: tessaly_icon SIZE FILE.png
#include <QGuiApplication>
#include <QImage>
#include <cstdio>
#include <cstdlib>

#include "app/windowicon.h"

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  const int size = argc == 3 ? std::atoi(argv[1]) : 0;
  if (size < 16 || size > 1024) {
    std::fprintf(stderr, "usage: %s SIZE FILE.png\n", argv[0]);
    return 2;
  }
  if (!tessaly::DrawWindowIconImage(size).save(QString::fromLocal8Bit(argv[2]), "PNG")) {
    std::fprintf(stderr, "cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
