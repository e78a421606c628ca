#include "WebPortFactory.h"

#include <cstdio>
#include <memory>

#include "PortReasons.h"
#include "WebSerialPort.h"

// The browser side, in WebSerialPort.js.
extern "C" {
int pelago_serial_chosen();
int pelago_serial_usb_vendor();
int pelago_serial_usb_product();
}

namespace {

constexpr int kNoUsbId = -1;
constexpr const char* kPlainPortName = "serial port";

WebLink g_link = WebLink::Automatic;

} // namespace

bool webLinkIsUsb(WebLink link, int usbVendor)
{
    switch (link) {
    case WebLink::Usb:
        return true;
    case WebLink::Serial:
        return false;
    case WebLink::Automatic:
        break;
    }
    if (usbVendor == kNoUsbId)
        return false;
    for (int converter : kConverterVendors) {
        if (usbVendor == converter)
            return false;
    }
    return true;
}

void webSerialSetLink(WebLink link)
{
    g_link = link;
}

std::string webSerialPortName()
{
    if (!pelago_serial_chosen())
        return "";
    int vendor = pelago_serial_usb_vendor();
    if (vendor == kNoUsbId)
        return kPlainPortName;
    char name[sizeof "USB 0000:0000"];
    std::snprintf(name, sizeof name, "USB %04X:%04X", static_cast<unsigned>(vendor) & 0xFFFF,
                  static_cast<unsigned>(pelago_serial_usb_product()) & 0xFFFF);
    return name;
}

std::string WebPortFactory::begin()
{
    return webSerialPortName();
}

SerialPort::Ptr WebPortFactory::create(const std::string& name)
{
    return std::make_unique<WebSerialPort>(name, webLinkIsUsb(g_link, pelago_serial_usb_vendor()));
}

SerialPort::Ptr WebPortFactory::create(const std::string& name, bool isUsb)
{
    (void)isUsb;
    return create(name);
}

std::string WebPortFactory::explainFailure(const std::string& name, SerialPort::OpenResult result)
{
    (void)name;
    switch (result) {
    case SerialPort::OpenOk:
        return noAnswerReason();
    case SerialPort::OpenNotFound:
        return "The port is gone or was never chosen: plug the adapter in and choose its port again "
               "with Connect";
    default:
        return "The port could not be opened: close any other program or browser tab that uses it; "
               "on Linux your user needs the port's group (see the README); on Windows check the "
               "port's driver in Device Manager";
    }
}
