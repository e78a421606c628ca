#include "SettingsArea.h"

#include "Interrupt.h"
#include "Progress.h"

void readSettingsArea(Samba& samba, uint8_t (&image)[kSettingsAreaSize])
{
    // A terminal sees the 1024 word reads move; a pipe gets nothing extra.
    Progress progress("Reading adapter setting ", kSettingsAreaSize, Progress::OffTerminal::Silent);
    uint32_t reported = 0;
    samba.eepromDump(kSettingsAreaSize, image, [&](uint32_t done) {
        stopIfInterrupted();
        progress.advance(done - reported);
        reported = done;
    });
    progress.finish();
}
