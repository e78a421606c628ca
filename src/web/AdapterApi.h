// The adapter's C interface to the web page: each action runs the console
// program's own driver (pelagoMain) with the options a console user would
// type, `-p` naming the port chosen in the browser, so the page's Log gets
// exactly the console's lines (the module's stdout and stderr) and every
// check and backup of the console holds.
//
// The actions wait for the port through Asyncify: call them with
// ccall(name, "number", [...], [...], {async: true}), one at a time, and
// nothing else of the module's meanwhile. Each returns the console's exit
// status: 0 when the action completed, 1 otherwise. How it ended, and what
// puts the adapter right again, come from adapter_outcome() and
// adapter_way_back(), never from the printed text. The lens editor's image
// is kept across an action (the driver starts with a blank one).
//
// Files are paths in the module's file system. Backups go to
// adapter_backup_dir(); each backup made before an erase is handed, before
// anything is erased, to the page's Module.pelagoKeepBackup(name, bytes):
// an async function answering {name} once the copy is stored under name,
// {name, downloaded: true} once it is only downloaded and the user has
// said it arrived, else {reason}; the ways back name each as it was kept.
// Transfers report to the page's Module.pelagoProgress(label, done, total)
// (bytes) when it is set.
#pragma once

extern "C" {

// adapter_outcome's values.
enum AdapterOutcome {
    ADAPTER_COMPLETED = 0,
    ADAPTER_REFUSED = 1,      // a check said no; nothing on the adapter was changed
    ADAPTER_FAILED = 2,       // not completed otherwise (no adapter, a lost link, a bad write)
    ADAPTER_INTERRUPTED = 3,
};

// adapter_way_back's flags: what the page offers to put the adapter right.
enum AdapterWayBack {
    ADAPTER_WAY_INSTALL_FIRMWARE = 1,  // "Install firmware anyway": adapter_install_firmware
    ADAPTER_WAY_WRITE_BACKUP = 2,      // write adapter_way_back_file() from the stored backups
};

// adapter_connection's values: how Connect ended, for the page's
// Connection line.
enum AdapterConnection {
    ADAPTER_NOT_CONNECTED = 0,    // none yet, or the port was let go
    ADAPTER_CONNECTED = 1,
    ADAPTER_NO_PORT_CHOSEN = 2,   // the browser's picker closed without a port
    ADAPTER_PORT_NOT_OPENED = 3,  // the browser would not open it (held elsewhere, no permission, gone)
    ADAPTER_NO_ANSWER = 4,        // it opened, but no adapter answered on it
};

// How the chosen port is driven (WebLink): 0 Automatic, 1 USB, 2 Serial.
void adapter_set_link(int link);

// The chosen port's name in messages ("USB 2341:8036", "serial port"),
// "" when the page has chosen none.
const char* adapter_port_name();

// The directory of the module's file system where backups are kept.
const char* adapter_backup_dir();

// Connects and shows the identity, as `-p PORT -i`; adapter_connection()
// then says how it went.
int adapter_connect();

// The page tells how the port went otherwise: the picker closed without
// one (a connection made before is kept), or the port was let go
// (Disconnect, the port went away, a failed Connect), which ends a
// connection made.
void adapter_no_port_chosen();
void adapter_port_released();

// How Connect ended last (AdapterConnection), and the line that says it:
// "Connected to the adapter SERIAL", "No port was chosen", "The port could
// not be opened", "The adapter did not answer", "Not connected".
int adapter_connection();
const char* adapter_connection_text();

// The identity lines the last Connect that succeeded printed, line ends
// between them ("Bootloader Version: ...", "Adapter SN: ..." and the
// rest); "" when not connected.
const char* adapter_identity_text();

// The line that says why the last action failed, as the console printed
// it; "Failed" when it printed none. Meaningless for a completed action.
const char* adapter_failure_text();

// Resets the adapter, as `-p PORT -R`.
int adapter_reset();

// Checks and writes the firmware file at `path`, as `-p PORT -f PATH`.
int adapter_update_firmware(const char* path);

// The same with the installed firmware's type left untested, as
// `-p PORT -I -f PATH`: for an adapter whose firmware an interrupted
// update erased. Every check of the file still holds.
int adapter_install_firmware(const char* path);

// Writes the settings file at `path` into the adapter, as `-p PORT -u PATH`.
// `isSettings` 0 (the editor had to format the file it opened: it held no
// settings) refuses at once, with "PATH is not a valid adapter setting
// file, abort", before the port is opened.
int adapter_write_settings(const char* path, int isSettings);

// Saves the adapter's settings area as `-p PORT -s FILE` does, FILE being
// a new backup name (SERIAL-YYYYMMDD-HHMMSSZ[-N].dat, the time in UTC, the serial number read
// on the same connection as the area) in adapter_backup_dir();
// adapter_read_path() then names it. Nothing is left there when the read
// fails. An area that holds no valid settings still completes, with a way
// back naming the newest good backup of this adapter.
int adapter_read_settings();

// The file the last adapter_read_settings saved, "" when it failed.
const char* adapter_read_path();

// How the last action ended (AdapterOutcome).
int adapter_outcome();

// What puts the adapter right after the last action (AdapterWayBack
// flags), 0 when nothing is needed or known.
int adapter_way_back();

// The backup (a file name in adapter_backup_dir(), no directory) that
// ADAPTER_WAY_WRITE_BACKUP writes; "" when there is none.
const char* adapter_way_back_file();

// The lines (one per line end) that tell the page's user the adapter's
// state after the last action and the buttons that recover it, as the
// console says them with its command; "" when there is nothing to recover.
// A backup the browser could only download is named as a download to open
// with "Open settings file", never as a stored backup's button.
// A completed action may have some too: Connect to an adapter without
// firmware, an update that erased an area holding no settings.
const char* adapter_recovery_text();

// The name the console takes for a backup when `name` is taken:
// SERIAL-YYYYMMDD-HHMMSSZ-N.dat with the next N (no Z for names of
// earlier versions, made in local time).
const char* adapter_next_backup_name(const char* name);

// Whether the backup named `a` was made after the one named `b` (1),
// before it (-1), or neither can tell (0): the instant of each name's
// stamp, then its N. A name that is no backup's counts as oldest.
int adapter_backup_newer(const char* a, const char* b);

// Writes backup `name` (a file name in adapter_backup_dir()) into the
// adapter, as `-p PORT -u DIR/NAME`, once the page's
// Module.pelagoAskWriteBackup(question), an async function, answers true.
// The question names the adapter read on the same connection, the
// backup's adapter and date (in the page's time zone), whether it is of
// another adapter, and its lenses. Answered false, the run ends refused,
// with "Cancelled: nothing was written to the adapter".
int adapter_write_backup(const char* name);
}
