#include "capture/settings/settings.h"

#include "base/fileutil.h"
#include "base/linelist.h"
#include "capture/job/safefile.h"

namespace tessaly {

Text IniFileNameIn(const Text& home_dir) {
  return home_dir + kIniName;
}

namespace {

// The loading steps in file order; the first one that cannot be taken, "" when all can.
Text LoadLines(const TLineList& lines, TSettingsValues& values) {
  const int count = lines.Count();
  const Text too_short = "it has " + IntToText(count) + (count == 1 ? " line" : " lines");
  int32_t number = 0;

  if (count < 1) return too_short;
  values.Address = lines[0];
  if (count < 2) return too_short;
  values.HasInterval = true;
  values.Interval = lines[1];
  if (count < 3) return too_short;
  if (!TryParseInt(lines[2], number)) return "line 3 (the unit) is not a number";
  values.UnitIndex = number == 0 || number == 1 ? number : -1;
  if (count < 4) return too_short;
  if (!TryParseInt(lines[3], number)) return "line 4 (the bell) is not a number";
  values.Bell = number != 0;
  if (count < 5) return too_short;
  values.Directory = lines[4];
  if (count < 6) return too_short;
  values.Counter = lines[5];
  return Text();
}

bool LoadFile(const Text& ini_file_name, TSettingsValues& values) {
  Text content;
  if (!ReadWholeFile(ini_file_name, content)) return false;
  TLineList lines;
  lines.SetJoinedText(content);
  return LoadLines(lines, values).empty();
}

}  // namespace

bool ReadSettingsValues(const Text& ini_file_name, const Text& home_dir, TSettingsValues& values) {
  values = TSettingsValues();
  if (LoadFile(ini_file_name, values)) return true;
  values.Address = "http://";
  values.Counter = "1";
  values.Bell = false;
  values.UnitIndex = 0;
  values.Directory = home_dir;
  return false;
}

bool ParseSettingsFile(const Text& content, TSettingsValues& values, Text& error) {
  values = TSettingsValues();
  error.clear();
  // The window's reading would end the file at a NUL: what follows would go unseen.
  if (content.find('\0') != Text::npos) return error = "it holds a NUL byte", false;
  TLineList lines;
  lines.SetJoinedText(content);
  error = LoadLines(lines, values);
  return error.empty();
}

void LoadSettings(TWindowPort& window, const Text& ini_file_name, const Text& home_dir,
                  Text& last_dir) {
  TSettingsValues values;
  ReadSettingsValues(ini_file_name, home_dir, values);
  window.SetAddressText(values.Address);
  if (values.HasInterval) window.SetIntervalText(values.Interval);
  window.SetUnitIndex(values.UnitIndex);
  window.SetBellOn(values.Bell);
  last_dir = values.Directory;
  window.SetDirectoryText(last_dir);
  window.SetCounterText(values.Counter);
}

void SetDefaults(TWindowPort& window, const Text& home_dir, Text& last_dir) {
  window.SetAddressText("http://");
  window.SetCounterText("1");
  window.SetBellOn(false);
  window.SetUnitIndex(0);
  last_dir = home_dir;
  window.SetDirectoryText(last_dir);
}

void LoadOrDefaultSettings(TWindowPort& window, const Text& ini_file_name, const Text& home_dir,
                           Text& last_dir) {
  if (FileExists(ini_file_name))
    LoadSettings(window, ini_file_name, home_dir, last_dir);
  else
    SetDefaults(window, home_dir, last_dir);
}

void SaveSettings(TWindowPort& window, const Text& ini_file_name) {
  TLineList lines;
  lines.Add(window.AddressText());
  lines.Add(window.IntervalText());
  lines.Add(IntToText(window.UnitIndex()));
  lines.Add(window.BellOn() ? "1" : "0");
  lines.Add(window.DirectoryText());
  lines.Add(window.CounterText());
  // Addresses may carry a user and password: the file is for its owner's eyes only.
  if (!WriteFileWhole(ini_file_name, lines.JoinedText(), TExisting::Replace, 0600))
    window.ShowMessage("Error: Can't save ini file\r\n" + ini_file_name + "\r\nProbably disk full");
}

}  // namespace tessaly
