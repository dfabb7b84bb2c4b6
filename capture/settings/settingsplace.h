// Where the settings file lives and where "Save To" points by default. A copy run from where it
// was built (or beside which a settings file already lies) keeps its file beside the
// executable; an installed copy may not write there, so it follows the desktop's rules.
#pragma once

#include <functional>

#include "base/text.h"

namespace tessaly {

struct TSettingsPlace {
  Text IniFileName;  // full path of the settings file
  Text DefaultDir;   // the defaults' directory, ending with "/"
};

// What the choice depends on, gathered by SettingsPlaceFor from the running system.
struct TPlaceFacts {
  Text ExeDir;           // the executable's directory, ending with "/"
  Text InstalledBinDir;  // where installation puts the executable, ending with "/"
  bool IniBesideExe = false;
  Text XdgConfigHome;  // the variable's value, "" when unset
  Text Home;           // the home directory, ending with "/"; "" when unknown
  std::function<bool(const Text&)> DirectoryExists;
};

// Beside the executable unless the executable lies in InstalledBinDir and no settings file lies
// beside it; then $XDG_CONFIG_HOME/tessaly/tessaly.ini (an unset, empty or relative value
// means Home + ".config") and Home + "Pictures/" when that directory exists, else Home.
// Without a known home the place beside the executable stays.
TSettingsPlace ChooseSettingsPlace(const TPlaceFacts& facts);
// The choice for this process: installed_bin_dir is the install prefix's bin directory known at
// build time; HOME (else the user database) and XDG_CONFIG_HOME are read.
TSettingsPlace SettingsPlaceFor(const Text& installed_bin_dir);
// Creates the settings file's directory and missing parents (mode 0700, as the desktop's
// rules ask for directories made on the user's behalf). False when it cannot be made.
bool MakeSettingsDirectory(const Text& ini_file_name);

}  // namespace tessaly
