// The tool's help text as it must appear, shared by every test that checks it.
#pragma once

#include <string>

// The option listing: eleven lines, help texts from column 25.
inline std::string expectedUsage()
{
    return "  -f, --flash           Erase and update with firmware file\n"
           "  -u, --update          Update adapter setting from file\n"
           "  -l, --lens            lens params tuning\n"
           "  -d, --display         lens params displaying\n"
           "  -s, --save            Save current adapter setting into file\n"
           "  -i, --info            Show the version of adapter\n"
           "  -I, --force           Force firmware update\n"
           "  -h, --help            Display this help text\n"
           "  -R, --reset           Power recycle adapter\n"
           "  -p, --port=PORT       Use serial PORT to communicate to device;\n"
           "                        default behavior is to auto-scan all serial ports\n";
}

// The whole -h output for a program called `p`.
inline std::string expectedHelp(const std::string& p)
{
    return "Usage: " + p + " [OPTION...] [FILE]\n"
           "Quorvane EF/GFX and CONTAX645/GFX Adapter Firmware Updater 0.3\n"
           "\n"
           "Examples:\n"
           "  " + p + " -i                     # Display the adapter info,\n"
           "  " + p + " -R                 \t  # Power cycle adapter,\n"
           "  " + p + " -f ef-gfx-1.0.fw       # Erase and update adapter firmware with ef-gfx-1.0.fw file,\n"
           "  " + p + " -u user.dat            # Update adapter setting with user.dat file,\n"
           "  " + p + " -s user.dat            # Save current adapter setting into file user.dat\n"
           "  " + p + " -c            \t\t\t\t  # Erase current adapter setting\n"
           "\n"
           "Options:\n" +
           expectedUsage() +
           "\n"
           "Report bugs/problems to support@quorvane.example\n";
}
