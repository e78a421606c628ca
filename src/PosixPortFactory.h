// The host's serial ports on Linux (from sysfs) and macOS (/dev/cu.*), and
// why one of them could not be reached.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "PortFactory.h"

class PosixPortFactory : public PortFactoryBase {
public:
    // `sysfsRoot` is where sysfs is mounted, `procRoot` where procfs is,
    // `devDir` the device directory; tests point them at fake trees.
    explicit PosixPortFactory(std::string sysfsRoot = "/sys", std::string procRoot = "/proc",
                              std::string devDir = "/dev");

    // Lists the ports afresh, in natural order (ttyACM2 before ttyACM10),
    // each as its /dev path, leaving out those without a device node; the
    // first, or "" when there is none.
    std::string begin() override;
    std::string end() override { return std::string(); }
    // The next port, or "" at the end and without a begin().
    std::string next() override;
    // A PosixSerialPort for a device path or bare name; USB when the
    // device's sysfs ancestry reaches a USB interface (Linux) or its name
    // is a USB modem/serial name (macOS).
    SerialPort::Ptr create(const std::string& name) override;
    SerialPort::Ptr create(const std::string& name, bool isUsb) override;
    // Why `name` could not be reached, with what to do: the ports that do
    // exist (NotFound), the group that owns the device and how to join it
    // (Denied), the program that holds it, found in procfs (InUse).
    std::string explainFailure(const std::string& name, SerialPort::OpenResult result) override;

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

    // The program holding the device at `devicePath` open, as
    // "name (pid N)": the first process under `procRoot` with a descriptor
    // on the same device (device number and filesystem; for a file that is
    // no device, the same file). "" when none is found (another user's
    // processes can't be seen) or the device is gone.
    static std::string findHolder(const std::string& procRoot, const std::string& devicePath);

private:
    // The ports of this host whose device node exists, as device paths, in
    // natural order.
    std::vector<std::string> _listPorts() const;
    std::string _deniedReason(const std::string& name) const;
    std::string _inUseReason(const std::string& name) const;

    std::string _sysfsRoot;
    std::string _procRoot;
    std::string _devDir;
    std::vector<std::string> _ports;
    size_t _index = 0;
};
