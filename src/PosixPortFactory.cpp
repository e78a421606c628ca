#include "PosixPortFactory.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "PosixSerialPort.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kTtyClassDir = "class/tty";
// Present in the sysfs directory of every USB interface.
constexpr const char* kUsbInterfaceMark = "bInterfaceNumber";
// serial_core's port type of a UART slot where no chip answered.
constexpr const char* kUnknownUartType = "0";
constexpr const char* kCalloutPrefix = "cu.";
constexpr const char* kUsbCalloutPrefixes[] = {"cu.usbmodem", "cu.usbserial"};

bool startsWith(const std::string& s, const std::string& prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

std::string baseName(const std::string& name)
{
    size_t slash = name.find_last_of('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

// The first word of a small sysfs attribute, or "" when it can't be read.
std::string readAttribute(const fs::path& file)
{
    std::ifstream in(file);
    std::string word;
    in >> word;
    return word;
}

bool isPlaceholderUart(const fs::path& ttyDir)
{
    std::error_code ec;
    fs::path type = ttyDir / "type";
    return fs::exists(type, ec) && readAttribute(type) == kUnknownUartType;
}

size_t digitRunEnd(const std::string& s, size_t i)
{
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])))
        ++i;
    return i;
}

// Compares two digit runs by value without converting (no overflow).
int compareNumbers(const std::string& a, const std::string& b)
{
    size_t za = a.find_first_not_of('0'), zb = b.find_first_not_of('0');
    std::string na = za == std::string::npos ? "" : a.substr(za);
    std::string nb = zb == std::string::npos ? "" : b.substr(zb);
    if (na.size() != nb.size())
        return na.size() < nb.size() ? -1 : 1;
    return na.compare(nb);
}

} // namespace

PosixPortFactory::PosixPortFactory(std::string sysfsRoot, std::string procRoot, std::string devDir)
    : _sysfsRoot(std::move(sysfsRoot)), _procRoot(std::move(procRoot)), _devDir(std::move(devDir))
{
}

bool PosixPortFactory::naturalLess(const std::string& a, const std::string& b)
{
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        bool da = std::isdigit(static_cast<unsigned char>(a[i]));
        bool db = std::isdigit(static_cast<unsigned char>(b[j]));
        if (da && db) {
            size_t ei = digitRunEnd(a, i), ej = digitRunEnd(b, j);
            int c = compareNumbers(a.substr(i, ei - i), b.substr(j, ej - j));
            if (c != 0)
                return c < 0;
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j])
            return a[i] < b[j];
        ++i;
        ++j;
    }
    if (a.size() - i != b.size() - j)
        return a.size() - i < b.size() - j;
    return a < b;  // "tty01" and "tty1": any fixed order
}

std::vector<std::string> PosixPortFactory::sysfsPorts(const std::string& sysfsRoot)
{
    std::vector<std::string> names;
    std::error_code ec;
    fs::directory_iterator it(fs::path(sysfsRoot) / kTtyClassDir, ec), last;
    for (; !ec && it != last; it.increment(ec)) {
        const fs::path tty = it->path();
        std::error_code e;
        // Virtual terminals and ptys have no device behind them.
        if (!fs::exists(tty / "device", e) || isPlaceholderUart(tty))
            continue;
        names.push_back(tty.filename().string());
    }
    std::sort(names.begin(), names.end(), naturalLess);
    return names;
}

bool PosixPortFactory::sysfsIsUsb(const std::string& sysfsRoot, const std::string& name)
{
    std::error_code ec;
    fs::path root = fs::canonical(sysfsRoot, ec);
    if (ec)
        return false;
    fs::path dev = fs::canonical(fs::path(sysfsRoot) / kTtyClassDir / baseName(name) / "device", ec);
    if (ec)
        return false;
    // CDC ACM ttys hang directly below the interface, USB-serial
    // converters one level further down; walk up until the sysfs root.
    for (fs::path p = dev; p != root && p.has_relative_path(); p = p.parent_path()) {
        if (fs::exists(p / kUsbInterfaceMark, ec))
            return true;
    }
    return false;
}

std::vector<std::string> PosixPortFactory::calloutPorts(const std::string& devDir)
{
    std::vector<std::string> names;
    std::error_code ec;
    fs::directory_iterator it(devDir, ec), last;
    for (; !ec && it != last; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (startsWith(name, kCalloutPrefix))
            names.push_back(name);
    }
    std::sort(names.begin(), names.end(), naturalLess);
    return names;
}

bool PosixPortFactory::isUsbCalloutName(const std::string& name)
{
    std::string base = baseName(name);
    for (const char* prefix : kUsbCalloutPrefixes) {
        if (startsWith(base, prefix))
            return true;
    }
    return false;
}

std::vector<std::string> PosixPortFactory::_listPorts() const
{
#ifdef __APPLE__
    std::vector<std::string> ports = calloutPorts(_devDir);
#else
    std::vector<std::string> ports = sysfsPorts(_sysfsRoot);
#endif
    // sysfs lists ports the kernel knows; only those with a device node can
    // be opened (a container's /dev may lack them).
    std::vector<std::string> present;
    for (const std::string& p : ports) {
        std::string path = _devDir + "/" + p;
        std::error_code ec;
        if (fs::exists(path, ec))
            present.push_back(path);
    }
    return present;
}

std::string PosixPortFactory::begin()
{
    _ports = _listPorts();
    _index = 0;
    return next();
}

std::string PosixPortFactory::next()
{
    if (_index >= _ports.size()) {
        _ports.clear();
        _index = 0;
        return end();
    }
    return _ports[_index++];
}

SerialPort::Ptr PosixPortFactory::create(const std::string& name)
{
#ifdef __APPLE__
    bool usb = isUsbCalloutName(name);
#else
    bool usb = sysfsIsUsb(_sysfsRoot, name);
#endif
    return create(name, usb);
}

SerialPort::Ptr PosixPortFactory::create(const std::string& name, bool isUsb)
{
    return std::make_unique<PosixSerialPort>(name, isUsb);
}
