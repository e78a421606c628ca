// The host's serial ports on Linux (from sysfs) and macOS (/dev/cu.*).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "PortFactory.h"

class PosixPortFactory : public PortFactoryBase {
public:
    // `sysfsRoot` is where sysfs is mounted; tests point it at a fake tree.
    explicit PosixPortFactory(std::string sysfsRoot = "/sys");

    // Lists the ports afresh, in natural order (ttyACM2 before ttyACM10),
    // each as its /dev path; the first, or "" when there is none.
    std::string begin() override;
    std::string end() override { return std::string(); }
    // The next port, or "" at the end and without a begin().
    std::string next() override;
    // A PosixSerialPort for a device path or bare name; USB when the
    // device's sysfs ancestry reaches a USB interface (Linux) or its name
    // is a USB modem/serial name (macOS).
    SerialPort::Ptr create(const std::string& name) override;
    SerialPort::Ptr create(const std::string& name, bool isUsb) override;

    // The Linux serial ports under `sysfsRoot`, as bare names, in natural
    // order; placeholder UART ports (type 0: no hardware found) are left out.
    static std::vector<std::string> sysfsPorts(const std::string& sysfsRoot);
    // Whether the tty `name` sits on a USB interface in the sysfs tree.
    static bool sysfsIsUsb(const std::string& sysfsRoot, const std::string& name);
    // The macOS call-out devices ("cu.*") in `devDir`, in natural order.
    static std::vector<std::string> calloutPorts(const std::string& devDir);
    // Whether a macOS device name belongs to a USB modem or USB serial adapter.
    static bool isUsbCalloutName(const std::string& name);
    // Natural order: runs of digits compare by value.
    static bool naturalLess(const std::string& a, const std::string& b);

private:
    std::string _sysfsRoot;
    std::vector<std::string> _ports;
    size_t _index = 0;
};
