#include "app/infooptions.h"

#include <cstring>

namespace tessaly {

Text InfoOptionAnswer(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) return Text("tessaly ") + TESSALY_VERSION + "\n";
    if (std::strcmp(argv[i], "--help") != 0) continue;
    return "Usage: tessaly [Qt options]\n"
           "Opens the Tessaly window: it fetches the image at an address at once and then once\n"
           "per interval, and stores every answer as a new file in a directory; an existing\n"
           "file is never overwritten. The address, interval, directory and first counter are\n"
           "typed into the window and saved when it closes.\n"
           "\n"
           "  --help     show this help and exit\n"
           "  --version  show the version and exit\n"
           "\n"
           "Files: an installed copy keeps its settings in $XDG_CONFIG_HOME/tessaly/tessaly.ini\n"
           "(~/.config/tessaly/tessaly.ini); a copy run from its build directory, or one beside\n"
           "which a tessaly.ini lies, keeps tessaly.ini beside the program. SIGINT, SIGTERM and\n"
           "SIGHUP close the window as the user would.\n";
  }
  return Text();
}

}  // namespace tessaly
