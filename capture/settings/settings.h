// The six capture settings and their file: address, interval, unit index, bell, target
// directory and counter start, one per line, each followed by CR LF.
#pragma once

#include "base/text.h"
#include "capture/window/windowport.h"

namespace tessaly {

inline constexpr char kIniName[] = "tessaly.ini";

// The settings file's full path in home_dir (which ends with "/").
Text IniFileNameIn(const Text& home_dir);

// The six settings as the file holds them, read by the window's rules.
struct TSettingsValues {
  Text Address;
  bool HasInterval = false;  // false: the file gave none, and Interval is not to be taken
  Text Interval;             // as written; the window's field keeps its digits only
  int UnitIndex = 0;         // 0 "Sec", 1 "Min", -1 neither
  bool Bell = false;
  Text Directory;
  Text Counter;  // as written; the window's field keeps its digits only
};

// Reads the file: false when it cannot be read, is too short or holds no integer in line 3 or 4;
// then every setting but the interval is its default (address "http://", counter "1", bell off,
// unit "Sec", directory home_dir).
bool ReadSettingsValues(const Text& ini_file_name, const Text& home_dir, TSettingsValues& values);

// The six settings of a file's content for a program that must not guess what a file means:
// false, with the reason ("it has 2 lines", "line 3 (the unit) is not a number", "it holds a
// NUL byte"), when its first six lines are not the window's (lines after them are notes, as in
// the example file). Values as ReadSettingsValues gives them for a file it reads in full.
bool ParseSettingsFile(const Text& content, TSettingsValues& values, Text& error);

// Fills the six fields and last_dir from the file; when the file cannot be read, is too short
// or holds no integer in line 3 or 4, SetDefaults overrules what was loaded. Never reports.
void LoadSettings(TWindowPort& window, const Text& ini_file_name, const Text& home_dir,
                  Text& last_dir);
// Address "http://", counter "1", bell off, unit "Sec", directory and last_dir home_dir. The
// interval is left alone.
void SetDefaults(TWindowPort& window, const Text& home_dir, Text& last_dir);
// Loads the file when one exists at ini_file_name, else applies the defaults.
void LoadOrDefaultSettings(TWindowPort& window, const Text& ini_file_name, const Text& home_dir,
                           Text& last_dir);
// Writes what the six fields show, readable by the owner alone. On failure the previous file stays
// untouched and a message box names the file.
void SaveSettings(TWindowPort& window, const Text& ini_file_name);

}  // namespace tessaly
