// The one serial port a web page can reach: the port the user chose in the
// browser's picker, and the link it is driven as.
#pragma once

#include <string>

#include "PortFactory.h"

// How the page's "Link" choice drives the chosen port.
enum class WebLink {
    Automatic,  // by the port's USB vendor (webLinkIsUsb)
    Usb,        // the adapter's own USB port: 921600 first, as on the console
    Serial,     // a plain serial link: 115200, auto-baud, XMODEM
};

// USB vendors of USB-serial converter chips (FTDI, Silicon Labs, WCH,
// Prolific): a port behind one is a plain serial link to the adapter.
constexpr int kConverterVendors[] = {0x0403, 0x10C4, 0x1A86, 0x067B};

// Whether a port with USB vendor `usbVendor` (-1: not a USB device) is
// driven as the adapter's USB port under `link`.
bool webLinkIsUsb(WebLink link, int usbVendor);

// Sets the link the ports created from now on are driven as (Automatic
// until set).
void webSerialSetLink(WebLink link);

// The chosen port's name in messages: "USB VVVV:PPPP" (hexadecimal ids)
// for a USB device, "serial port" for any other, "" when none is chosen.
std::string webSerialPortName();

class WebPortFactory : public PortFactoryBase {
public:
    // Lists the chosen port alone; "" when none is chosen.
    std::string begin() override;
    std::string end() override { return std::string(); }
    std::string next() override { return end(); }
    // A WebSerialPort for the chosen port, USB as the link decides. The
    // browser, not the name, says what the port is, so the USB flag the
    // console's driver passes for a -p port gives way to the page's Link.
    SerialPort::Ptr create(const std::string& name) override;
    SerialPort::Ptr create(const std::string& name, bool isUsb) override;
    // Why the chosen port could not be reached: not chosen or gone
    // (NotFound), refused by the browser (any other failure), or silent.
    std::string explainFailure(const std::string& name, SerialPort::OpenResult result) override;
};
