#include <QApplication>
#include <cstdlib>

#include "app/mainwindow.h"
#include "capture/standinjob.h"

int main(int argc, char** argv) {
  // The socket layer's start-up comes first of all, before any window exists.

  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromLatin1(tessaly::kApplicationTitle));

  int exit_code = 0;
  bool job_abandoned = false;
  {
    tessaly::TForm1Setup setup;
    // The image fetch job is handed to the window here.
    setup.Job = tessaly::StandInJob;
    tessaly::TForm1 form(std::move(setup));
    form.show();
    exit_code = QApplication::exec();
    job_abandoned = form.JobAbandoned();
  }
  // A job that did not stop in time ends with the process; static state must not go first.
  if (job_abandoned) std::_Exit(exit_code);

  // The socket layer is released here, last.
  return exit_code;
}
