// A SerialPort double for tests of the monitor client: every write or put
// must match the next step of a script byte for byte; the step's answer
// then becomes readable. Everything the client does to the port is logged.
// The script and log live in a Wire shared with the test, so the test keeps
// its view after handing the port over.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "SerialPort.h"

struct Wire {
    struct Step {
        std::string expect;  // the exact bytes of one write or put
        std::string answer;  // bytes that arrive once the step was written
        int accept;          // the count write returns; -1 for all of it
    };

    // Appends a step to the script.
    void expect(const std::string& bytes, const std::string& answer = "", int accept = -1);
    // Bytes that are waiting to be read.
    void arrive(const std::string& bytes) { input += bytes; }
    // True when every step was written and nothing unexpected was.
    bool done() const { return script.empty() && errors.empty(); }
    // The log entries from `from` on, joined by '|', for compact assertions.
    std::string logFrom(size_t from = 0) const;
    // Clears script, input, log and errors; open results stay.
    void clear();

    std::deque<Step> script;
    std::string input;
    std::deque<bool> openResults;     // results of successive opens; true when exhausted
    std::vector<std::string> log;     // "open 921600", "close", "timeout 100", "flush",
                                      // "write <bytes>", "put <byte>", "read <n>", "get"
    std::vector<std::string> errors;  // writes that did not match the script
    bool isOpen = false;
    bool failReads = false;           // read and get fail (-1), like a hung-up device
};

// Bytes as text: printable characters as they are, others as \xHH.
std::string visible(const std::string& bytes);

class ScriptedPort : public SerialPort {
public:
    ScriptedPort(std::shared_ptr<Wire> wire, bool usb, const std::string& name = "scripted");
    ~ScriptedPort() override;

    bool open(int baud, int data, Parity parity, StopBit stop) override;
    void close() override;
    bool isUsb() override { return _usb; }
    int read(uint8_t* buffer, int size) override;
    int write(const uint8_t* data, int size) override;
    int get() override;
    int put(int c) override;
    bool timeout(int millisecs) override;
    void flush() override;

private:
    int _send(const std::string& bytes, const char* what);

    std::shared_ptr<Wire> _wire;
    bool _usb;
};
