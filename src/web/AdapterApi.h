// The adapter's C interface to the web page: each action runs the console
// program's own driver (pelagoMain) with the options a console user would
// type, `-p` naming the port chosen in the browser, so the page's Log gets
// exactly the console's lines (the module's stdout and stderr) and every
// check and backup of the console holds.
//
// The actions wait for the port through Asyncify: call them with
// ccall(name, "number", [...], [...], {async: true}), one at a time, and
// nothing else of the module's meanwhile. Each returns the console's exit
// status: 0 when the action completed, 1 otherwise. The lens editor's image
// is kept across an action (the driver starts with a blank one).
//
// Files are paths in the module's file system. Backups go to
// adapter_backup_dir(); each backup made before an erase is handed, before
// anything is erased, to the page's Module.pelagoKeepBackup(name, bytes):
// an async function answering "" when the copy is kept, else the reason.
// Transfers report to the page's Module.pelagoProgress(label, done, total)
// (bytes) when it is set.
#pragma once

extern "C" {

// How the chosen port is driven (WebLink): 0 Automatic, 1 USB, 2 Serial.
void adapter_set_link(int link);

// The chosen port's name in messages ("USB 2341:8036", "serial port"),
// "" when the page has chosen none.
const char* adapter_port_name();

// The directory of the module's file system where backups are kept.
const char* adapter_backup_dir();

// Connects and shows the identity, as `-p PORT -i`.
int adapter_connect();

// Resets the adapter, as `-p PORT -R`.
int adapter_reset();

// Checks and writes the firmware file at `path`, as `-p PORT -f PATH`.
int adapter_update_firmware(const char* path);

// Writes the settings file at `path` into the adapter, as `-p PORT -u PATH`.
// `isSettings` 0 (the editor had to format the file it opened: it held no
// settings) refuses at once, with "PATH is not a valid adapter setting
// file, abort", before the port is opened.
int adapter_write_settings(const char* path, int isSettings);

// Saves the adapter's settings area as `-p PORT -s FILE` does, FILE being
// a new backup name (SERIAL-YYYYMMDD-HHMMSS.dat, the serial number from the
// last identity read) in adapter_backup_dir(); adapter_read_path() then
// names it. Nothing is left there when the read fails.
int adapter_read_settings();

// The file the last adapter_read_settings saved, "" when it failed.
const char* adapter_read_path();
}
