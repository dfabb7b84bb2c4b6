#include <QApplication>
#include <QWidget>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("Tessaly");
  QWidget window;
  window.setWindowTitle("TESSALY");
  window.show();
  return app.exec();
}
