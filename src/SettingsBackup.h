// A copy of the adapter's settings area kept on the host before anything
// erases that area, so a mistaken or failed update can be undone with -u.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "SambaXcon.h"

// Names a directory for the backups instead of the per-user default.
constexpr const char* kBackupDirVariable = "PELAGOXCON_BACKUP_DIR";
// Set to "1", no backup is made.
constexpr const char* kNoBackupVariable = "PELAGOXCON_NO_BACKUP";

// Where backups go: $PELAGOXCON_BACKUP_DIR when set; else
// $XDG_STATE_HOME/pelagoxcon/backups (an absolute XDG_STATE_HOME only),
// ~/.local/state/pelagoxcon/backups on Linux and other POSIX systems (an
// absolute HOME only), ~/Library/Application Support/PelagoXcon/backups on
// macOS, or %LOCALAPPDATA%\PelagoXcon\backups on Windows. Empty when
// PELAGOXCON_BACKUP_DIR is set but empty, or the variable the default
// depends on (HOME, LOCALAPPDATA) is not set (or relative, on POSIX).
std::string settingsBackupDir();

// The serial number as backup names write it: every byte that is not an
// ASCII letter or digit made '_' (kUnknownBackupSerial when no letter or
// digit is left).
std::string settingsBackupSerial(const std::string& serial);

// The SERIAL of the backups of every adapter without a readable serial
// number: such a backup may be any of them.
constexpr const char* kUnknownBackupSerial = "unknown";

// The backup's name without its counter and extension: the serial number
// with every byte that is not an ASCII letter or digit made '_' ("unknown"
// when no letter or digit is left), then the instant `when` in UTC as
// -YYYYMMDD-HHMMSSZ (an offset such as -0500 would read as a counter).
std::string settingsBackupStem(const std::string& serial, std::time_t when);

// `name` in the directory `dir`, joined with the separator `dir` already
// uses (on Windows either may stand).
std::string settingsBackupPath(const std::string& dir, const std::string& name);

// A backup's name taken apart by parseSettingsBackupName.
struct SettingsBackupName {
    std::string serial;         // as settingsBackupSerial writes it
    std::string stamp;          // YYYYMMDDHHMMSS
    bool utc = false;           // the stamp ends in Z; without, it is local time
    unsigned long counter = 0;  // the N of a -N name; 0 without one
};

// Whether the file name `name` is one a backup gets: SERIAL-YYYYMMDD-HHMMSSZ.dat
// or SERIAL-YYYYMMDD-HHMMSSZ-N.dat, or the same without the Z (names of
// earlier versions, in local time), SERIAL of ASCII letters, digits and
// '_', N of 1 to 9 digits. Fills `parsed` when it is.
bool parseSettingsBackupName(const std::string& name, SettingsBackupName& parsed);

// The file name of `name`, as parseSettingsBackupName reads it back.
std::string settingsBackupFileName(const SettingsBackupName& name);

// The instant the stamp of `name` stands for: UTC with its Z, local time
// without. False for a stamp that is no date and time (month 13, hour 24).
bool settingsBackupInstant(const SettingsBackupName& name, std::time_t& when);

// Claims the first free name of DIR/STEM.dat, DIR/STEM-1.dat, ... by
// creating it empty and exclusively, so two runs never share one; DIR must
// pass backupDirIsSafe. The claimed path; or "" with `tried` naming the
// path (or DIR) that failed and `reason` saying why.
std::string claimBackupPath(const std::string& dir, const std::string& stem, std::string& tried,
                            std::string& reason);

// Whether `dir` is an existing directory fit to hold backups: on POSIX no
// other user may change it or any directory (or link) on its way, that is
// each is owned by this user or root and, unless sticky, writable by
// neither group nor others; on Windows it is a directory. False with
// *reason set otherwise, e.g. "DIR may be changed by another user (owner
// 1000, mode 0777)" naming the level at fault, or the system's words for
// a missing one.
bool backupDirIsSafe(const std::string& dir, std::string* reason);

// A second place each backup is kept once its file is saved, for a front
// end whose files do not outlive it (the web page keeps them in the
// browser). True once the copy of `size` bytes of `data`, saved as `path`,
// is kept; false with `*reason` set when it could not be, and the backup
// fails. A keeper that had to keep it under another free name of the same
// directory moves the file there and sets `path` to it.
using BackupKeeper = bool (*)(std::string& path, const uint8_t* data, size_t size,
                              std::string* reason);
// Sets the keeper (null: none, the default).
void setBackupKeeper(BackupKeeper keeper);

// What backupSettings read from the adapter and where it kept it.
struct SettingsBackupMade {
    std::string path;           // the backup; "" when backups are turned off
    std::string serial;         // the adapter's serial number, read first
    std::vector<uint8_t> area;  // the area as read; empty when backups are off
};

// Unless PELAGOXCON_NO_BACKUP is "1": opens the backup directory, creating
// it and its missing parents (0700 from the start) when missing, and
// refuses it unless backupDirIsSafe would pass it; then reads the serial
// number and the whole settings area, and saves the area as DIR/STEM.dat
// (or STEM-1.dat, STEM-2.dat, ... when the name is taken; the name is
// claimed exclusively and written through the descriptor that claimed it,
// relative to the directory held open, so two runs never share one and no
// link is followed; the file is 0600), then hands it to the keeper when one
// is set. Prints "Adapter setting backed up to PATH". Returns false, after
// printing "Failed to back up adapter setting to PATH, abort" (PATH the
// directory when the directory is at fault) and the reason on stderr, when
// the directory or the file cannot be made or the keeper fails; no file is
// left behind then. Monitor failures (a short or over-long read) propagate
// as SambaError before any file is made. On success `made` holds what was
// read and saved (all empty when backups are turned off); whether the area
// held settings is the caller's to say (BackupChoice.h).
bool backupSettings(Samba& samba, SettingsBackupMade& made);
