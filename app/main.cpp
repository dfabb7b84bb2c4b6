#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "app/infooptions.h"
#include "app/mainwindow.h"
#include "app/outsideclose.h"
#include "capture/job/fetchjob.h"
#include "capture/settings/settingsplace.h"
#include "net/sockapi.h"
#include "net/tlsopenssl.h"

int main(int argc, char** argv) {
  const tessaly::Text info = tessaly::InfoOptionAnswer(argc, argv);
  if (!info.empty()) return std::fputs(info.c_str(), stdout) < 0 ? 1 : 0;
  // The socket layer comes up before any window exists and is released last; when it cannot
  // come up, its error ends the program before it starts.
  tessaly::TSocketLayerScope socket_layer;
  // "https" addresses are fetched over TLS with the server's certificate and name checked.
  tessaly::UseOpenSSLByDefault();

  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromLatin1(tessaly::kApplicationTitle));

  int exit_code = 0;
  bool job_abandoned = false;
  {
    tessaly::TForm1Setup setup;
    setup.Job = tessaly::FetchImageJob;
    const tessaly::TSettingsPlace place = tessaly::SettingsPlaceFor(TESSALY_INSTALLED_BINDIR);
    setup.HomeDir = place.DefaultDir;
    setup.IniFileName = place.IniFileName;
    tessaly::TForm1 form(std::move(setup));
    // A signal or the session's end closes the window as the user would; a session save only
    // saves the settings.
    tessaly::TOutsideClose outside_close([&form] { form.CloseFromOutside(); },
                                         [&form] { form.SaveSettingsNow(); });
    form.show();
    exit_code = QApplication::exec();
    job_abandoned = form.JobAbandoned();
  }
  // A job that did not stop in time ends with the process; static state must not go first.
  if (job_abandoned) std::_Exit(exit_code);
  return exit_code;
}
