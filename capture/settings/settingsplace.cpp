#include "capture/settings/settingsplace.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "base/fileutil.h"
#include "capture/settings/settings.h"

namespace tessaly {
namespace {

Text WithSlash(const Text& dir) {
  return dir.empty() || dir.back() == '/' ? dir : dir + "/";
}

// The real path of an existing directory, so that a link in the prefix does not hide it.
Text RealDirectory(const Text& dir) {
  char resolved[PATH_MAX];
  return realpath(dir.c_str(), resolved) ? WithSlash(resolved) : WithSlash(dir);
}

Text HomeDirectory() {
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return WithSlash(home);
  // No usable HOME: the user database knows the home directory too.
  const passwd* entry = getpwuid(getuid());
  return entry && entry->pw_dir && entry->pw_dir[0] == '/' ? WithSlash(entry->pw_dir) : Text();
}

}  // namespace

TSettingsPlace ChooseSettingsPlace(const TPlaceFacts& facts) {
  const bool installed = facts.ExeDir == facts.InstalledBinDir && !facts.IniBesideExe;
  if (!installed || facts.Home.empty()) return {IniFileNameIn(facts.ExeDir), facts.ExeDir};
  const Text config = !facts.XdgConfigHome.empty() && facts.XdgConfigHome[0] == '/'
                          ? WithSlash(facts.XdgConfigHome)
                          : facts.Home + ".config/";
  const Text pictures = facts.Home + "Pictures/";
  return {config + "tessaly/" + kIniName, facts.DirectoryExists(pictures) ? pictures : facts.Home};
}

TSettingsPlace SettingsPlaceFor(const Text& installed_bin_dir) {
  TPlaceFacts facts;
  facts.ExeDir = ExecutableDirectory();
  facts.InstalledBinDir = RealDirectory(installed_bin_dir);
  facts.IniBesideExe = FileExists(IniFileNameIn(facts.ExeDir));
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  facts.XdgConfigHome = xdg ? xdg : "";
  facts.Home = HomeDirectory();
  facts.DirectoryExists = [](const Text& dir) { return DirectoryExists(dir); };
  return ChooseSettingsPlace(facts);
}

bool MakeSettingsDirectory(const Text& ini_file_name) {
  const size_t slash = ini_file_name.rfind('/');
  if (slash == Text::npos || slash == 0) return true;
  const Text dir = ini_file_name.substr(0, slash);
  if (DirectoryExists(dir)) return true;
  for (size_t at = dir.find('/', 1);; at = dir.find('/', at + 1)) {
    const Text part = at == Text::npos ? dir : dir.substr(0, at);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (at == Text::npos) break;
  }
  return DirectoryExists(dir);
}

}  // namespace tessaly
