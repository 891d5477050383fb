#pragma once

// The operator's saved choices: "Play On Start", "Keep On Air", the delay, the format and
// "Build up at start", kept in Lagvane.ini in the user's configuration folder and written only
// on "&Save Defaults". The dump length and the build-up's stretch are read from there too;
// only the file sets them.

#include <QString>

class TStation;

// $XDG_CONFIG_HOME/Lagvane.ini, by default ~/.config/Lagvane.ini, unless another file is set.
QString DefaultsFileName();
// The settings file of a station run with its own (empty: the default again).
void SetDefaultsFileName(const QString& fileName);

// Reads the settings file's [Dump] again: the dump length and the build-up's stretch, for the
// next dump and the next run, "Build up at start", and the evidence folder for the next dump.
void LoadDumpSettings(TStation& station);

// Writes the station's settings now, run or not.
void SaveDefaults(TStation& station);
// Sets what the file holds (what it lacks or cannot be read stays as it is), sizes the delay
// for the format then selected, and starts a run when "Play On Start" is ticked (one that keeps
// trying with "Keep On Air").
void LoadDefaults(TStation& station);
