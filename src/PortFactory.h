// Lists the host's serial ports and creates SerialPort objects for them.
#pragma once

#include <string>

#include "SerialPort.h"

class PortFactoryBase {
public:
    virtual ~PortFactoryBase() {}

    // Starts a new enumeration; the first port name, or the end marker.
    virtual std::string begin() = 0;
    // The end marker: the empty string.
    virtual std::string end() = 0;
    // The next port name, or the end marker (also on every failure).
    virtual std::string next() = 0;
    // A new, closed port; the factory decides whether it is a USB port.
    virtual SerialPort::Ptr create(const std::string& name) = 0;
    // A new, closed port with the given USB flag.
    virtual SerialPort::Ptr create(const std::string& name, bool isUsb) = 0;
    // One line, without its line end, telling in plain words why `name`
    // could not be reached and what to do; `result` is the port's
    // openResult() (OpenOk: it opened but no boot monitor answered).
    // Empty when the factory has nothing to say.
    virtual std::string explainFailure(const std::string& name, SerialPort::OpenResult result)
    {
        (void)name;
        (void)result;
        return std::string();
    }
};
