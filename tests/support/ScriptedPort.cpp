#include "ScriptedPort.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

void Wire::expect(const std::string& bytes, const std::string& answer, int accept)
{
    script.push_back(Step{bytes, answer, accept});
}

std::string Wire::logFrom(size_t from) const
{
    std::string joined;
    for (size_t i = from; i < log.size(); ++i)
        joined += (joined.empty() ? "" : "|") + log[i];
    return joined;
}

void Wire::clear()
{
    script.clear();
    input.clear();
    log.clear();
    errors.clear();
    failReads = false;
}

std::string visible(const std::string& bytes)
{
    std::string text;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c <= 0x7E) {
            text += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            text += hex;
        }
    }
    return text;
}

ScriptedPort::ScriptedPort(std::shared_ptr<Wire> wire, bool usb, const std::string& name)
    : SerialPort(name), _wire(std::move(wire)), _usb(usb)
{
}

ScriptedPort::~ScriptedPort()
{
    _wire->isOpen = false;
}

bool ScriptedPort::open(int baud, int, Parity, StopBit)
{
    _wire->log.push_back("open " + std::to_string(baud));
    if (_wire->isOpen)
        return false;
    bool ok = true;
    if (!_wire->openResults.empty()) {
        ok = _wire->openResults.front();
        _wire->openResults.pop_front();
    }
    _wire->isOpen = ok;
    return ok;
}

void ScriptedPort::close()
{
    _wire->log.push_back("close");
    _wire->isOpen = false;
}

int ScriptedPort::read(uint8_t* buffer, int size)
{
    _wire->log.push_back("read " + std::to_string(size));
    if (!_wire->isOpen || _wire->failReads)
        return -1;
    if (size <= 0)
        return 0;
    size_t n = std::min(static_cast<size_t>(size), _wire->input.size());
    std::memcpy(buffer, _wire->input.data(), n);
    _wire->input.erase(0, n);
    return static_cast<int>(n);
}

int ScriptedPort::get()
{
    _wire->log.push_back("get");
    if (!_wire->isOpen || _wire->failReads || _wire->input.empty())
        return -1;
    uint8_t c = static_cast<uint8_t>(_wire->input[0]);
    _wire->input.erase(0, 1);
    return c;
}

int ScriptedPort::_send(const std::string& bytes, const char* what)
{
    _wire->log.push_back(std::string(what) + " " + visible(bytes));
    if (!_wire->isOpen)
        return -1;
    if (_wire->script.empty() || _wire->script.front().expect != bytes) {
        std::string wanted = _wire->script.empty() ? "nothing" : visible(_wire->script.front().expect);
        _wire->errors.push_back("sent " + visible(bytes) + ", expected " + wanted);
        return -1;
    }
    Wire::Step step = _wire->script.front();
    _wire->script.pop_front();
    _wire->input += step.answer;
    return step.accept < 0 ? static_cast<int>(bytes.size()) : step.accept;
}

int ScriptedPort::write(const uint8_t* data, int size)
{
    if (size < 0)
        return -1;
    return _send(std::string(reinterpret_cast<const char*>(data), static_cast<size_t>(size)), "write");
}

int ScriptedPort::put(int c)
{
    uint8_t byte = static_cast<uint8_t>(c & 0xFF);
    int n = _send(std::string(1, static_cast<char>(byte)), "put");
    return n == 1 ? byte : -1;
}

bool ScriptedPort::timeout(int millisecs)
{
    _wire->log.push_back("timeout " + std::to_string(millisecs));
    return _wire->isOpen;
}

void ScriptedPort::flush()
{
    _wire->log.push_back("flush");
}
