#include "PortReasons.h"

std::string notFoundReason(const std::vector<std::string>& ports)
{
    if (ports.empty())
        return "The port does not exist, and no serial ports were found: is the adapter plugged in?";
    std::string list;
    for (const std::string& p : ports)
        list += (list.empty() ? "" : ", ") + p;
    return "The port does not exist; the serial ports found are: " + list;
}

std::string noAnswerReason()
{
    return "The port opened but the adapter's boot monitor did not answer: is this the adapter's port, "
           "and is the adapter plugged in and in its boot monitor?";
}

std::string openFailedReason()
{
    return "The port could not be opened or set up as a serial line: is it a serial port?";
}
