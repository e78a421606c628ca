// Drives the device road (connect, chip check, every action block) against
// serial ports whose replies come from the input. Every run must end, with
// status 0 or 1, and a failed settings save must leave its file as it was.
//
// Input layout:
//   [0] actions: 1 -i, 2 -R, 4 -s, 8 -u, 16 clear, 32 -f, 64 -I,
//       128 FILE built valid (firmware with a true byte sum, or a formatted
//       settings area holding the bytes below) instead of the raw bytes
//   [1] link: 1 scanned ports are USB, 2 named port (-p) instead of a scan,
//       4 the first open fails, 8|16 the scan lists 1-4 ports, 32 trace on,
//       64 no backups, 128 FILE absent before the run
//   [2] number of the write (1-255) that goes out short; 0: none
//   [3..4] FILE length, little-endian, then that many bytes
//   [n] console length, then that many bytes (what the clearing action reads)
//   the rest: reply frames, each a length byte and up to that many bytes;
//   one frame per read or get, cut to the size asked for. A frame of length
//   0, and every read once the input has ended, is a timeout.
#include <fcntl.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "DeviceRoad.h"
#include "FirmwareCheck.h"
#include "FirmwareUpdate.h"
#include "PelagoXcon.h"
#include "PortFactory.h"
#include "SerialPort.h"
#include "SettingsFile.h"
#include "eeprom.h"
#include "nvm.h"

namespace fs = std::filesystem;

namespace {

// The client pauses for the adapter to settle (500 ms on every open); the
// fuzz ports need none, and the pauses would cap a run at two inputs a
// second. Only the thread running an input skips them.
thread_local bool t_skipPauses = false;

constexpr uint8_t kActInfo = 1, kActReset = 2, kActSave = 4, kActWrite = 8, kActClear = 16,
                  kActFlash = 32, kActForce = 64, kActBuiltFile = 128;
constexpr uint8_t kLinkUsb = 1, kLinkNamed = 2, kLinkFirstOpenFails = 4, kLinkPortsShift = 3,
                  kLinkPortsMask = 3, kLinkTrace = 32, kLinkNoBackup = 64, kLinkNoFile = 128;

constexpr uint32_t kHeaderSize = kFirmwarePayloadOffset;
constexpr size_t kSigOffset = 0, kLoadAddrOffset = 8, kSizeOffset = 12, kHandlingOffset = 31;
constexpr uint8_t kTypeLetterC = 'C', kTypeLetterE = 'E';
constexpr uint32_t kTrailerSize = 4;
constexpr size_t kSettingsContentMax = 1024;  // of a built settings file, within the emulated EEPROM

// The input, consumed from the front; reads past its end give zeros.
class Input {
public:
    Input(const uint8_t* data, size_t size) : _data(data), _left(size) {}

    uint8_t byte() { return _left > 0 ? (--_left, *_data++) : 0; }

    std::vector<uint8_t> bytes(size_t count)
    {
        size_t n = count < _left ? count : _left;
        std::vector<uint8_t> out(_data, _data + n);
        _data += n;
        _left -= n;
        return out;
    }

    // Up to `size` bytes of the next reply frame into `buffer`; their count.
    int frame(uint8_t* buffer, int size)
    {
        size_t want = byte();
        size_t n = want < static_cast<size_t>(size) ? want : static_cast<size_t>(size);
        n = n < _left ? n : _left;
        if (n > 0)
            std::memcpy(buffer, _data, n);
        _data += n;
        _left -= n;
        return static_cast<int>(n);
    }

private:
    const uint8_t* _data;
    size_t _left;
};

// "X%08X,%d#" erases flash; the digit 0 takes the settings area too.
constexpr int kEraseCommandLength = 12;

bool isErase(const uint8_t* data, int size)
{
    return size == kEraseCommandLength && data[0] == 'X' && data[size - 1] == '#';
}

bool erasesSettings(const uint8_t* command)
{
    return command[kEraseCommandLength - 2] == '0';
}

// What the ports of one run share: the replies, the write faults, and
// the check every erase must pass.
struct Link {
    Input* replies = nullptr;
    std::function<void(bool settingsToo)> onErase;
    bool usb = false;
    bool firstOpenFails = false;
    int opens = 0;
    int writes = 0;
    int shortWrite = 0;  // 1-based number of the write that goes out short; 0: none
};

class FuzzPort : public SerialPort {
public:
    FuzzPort(const std::string& name, Link& link, bool usb) : SerialPort(name), _link(link), _usb(usb) {}

    bool open(int, int, Parity, StopBit) override
    {
        if (_open)
            return false;
        bool fails = _link.opens++ == 0 && _link.firstOpenFails;
        _openResult = fails ? OpenNotFound : OpenOk;
        _open = !fails;
        return _open;
    }
    void close() override { _open = false; }
    bool isUsb() override { return _usb; }
    int read(uint8_t* buffer, int size) override
    {
        if (!_open)
            return -1;
        return size > 0 ? _link.replies->frame(buffer, size) : 0;
    }
    int write(const uint8_t* data, int size) override
    {
        if (!_open || size < 0)
            return -1;
        if (isErase(data, size))
            _link.onErase(erasesSettings(data));
        return ++_link.writes == _link.shortWrite ? size / 2 : size;
    }
    int get() override
    {
        uint8_t c;
        return read(&c, 1) == 1 ? c : -1;
    }
    int put(int c) override
    {
        uint8_t byte = static_cast<uint8_t>(c);
        return write(&byte, 1) == 1 ? byte : -1;
    }
    bool timeout(int) override { return _open; }
    void flush() override {}

private:
    Link& _link;
    bool _usb;
    bool _open = false;
};

class FuzzPortFactory : public PortFactoryBase {
public:
    FuzzPortFactory(Link& link, int ports) : _link(link), _ports(ports) {}

    std::string begin() override
    {
        _index = 0;
        return nameAt(_index);
    }
    std::string end() override { return ""; }
    std::string next() override { return nameAt(++_index); }
    SerialPort::Ptr create(const std::string& name) override { return create(name, _link.usb); }
    SerialPort::Ptr create(const std::string& name, bool isUsb) override
    {
        return std::make_unique<FuzzPort>(name, _link, isUsb);
    }

private:
    std::string nameAt(int index) { return index < _ports ? "fuzz" + std::to_string(index) : end(); }

    Link& _link;
    int _ports;
    int _index = 0;
};

// Scratch files, one set per process, removed at exit.
struct Scratch {
    fs::path dir, run, file, backups, console;
};
Scratch g_scratch;

void removeScratch()
{
    std::error_code ignored;
    fs::remove_all(g_scratch.dir, ignored);
}

void fail(const char* what)
{
    std::fprintf(stderr, "device fuzz: %s\n", what);
    std::abort();
}

void putLe32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value)
{
    for (size_t i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

// A firmware file that passes its own checks: the header from `body`
// (signature, load address and size made valid), the whole 64-byte blocks
// after it as payload, its byte sum, and the settings a handling byte of 2 asks for.
std::vector<uint8_t> buildValidFirmware(std::vector<uint8_t> body)
{
    if (body.size() < kHeaderSize)
        body.resize(kHeaderSize, 0);
    size_t blocks = (body.size() - kHeaderSize) / kFirmwareBlockSize;
    uint32_t payload = static_cast<uint32_t>(blocks * kFirmwareBlockSize);
    body.resize(kHeaderSize + payload);
    uint8_t letter = (body[kSigOffset] & 1) ? kTypeLetterE : kTypeLetterC;
    putLe32(body, kSigOffset, (kSigQVLC & 0x00FFFFFF) | static_cast<uint32_t>(letter) << 24);
    putLe32(body, kLoadAddrOffset, kFirmwareLoadAddr);
    putLe32(body, kSizeOffset, payload);
    uint32_t sum = 0;
    for (size_t i = kHeaderSize; i < body.size(); ++i)
        sum += body[i];
    body.resize(body.size() + kTrailerSize);
    putLe32(body, body.size() - kTrailerSize, sum);
    if (body[kHandlingOffset] == kHandleWriteSettings)
        body.resize(body.size() + kSettingsAreaSize - kTrailerSize, 0xFF);
    return body;
}

std::vector<uint8_t> fileFor(uint8_t actions, std::vector<uint8_t> body)
{
    if (!(actions & kActBuiltFile))
        return body;
    if (actions & kActFlash)
        return buildValidFirmware(std::move(body));
    // A formatted emulated EEPROM whose content starts with the bytes.
    std::memset(g_eeprom, 0xFF, kFlashImageSize);
    _eeprom_instance = _eeprom_module{};
    eeprom_emulator_init();
    eeprom_emulator_erase_memory();
    eeprom_emulator_init();
    eeprom_emulator_write_buffer(0, body.data(), static_cast<uint16_t>(std::min<size_t>(body.size(), kSettingsContentMax)));
    eeprom_emulator_commit_page_buffer();
    return std::vector<uint8_t>(g_eeprom, g_eeprom + kSettingsAreaSize);
}

// Only the combinations the option checks let through.
PelagoConfig configFor(uint8_t actions, uint8_t link)
{
    PelagoConfig cfg;
    cfg.version = actions & kActInfo;
    cfg.reset = actions & kActReset;
    cfg.eeprom_read = actions & kActSave;
    cfg.eeprom_write = (actions & kActWrite) && !cfg.eeprom_read;
    cfg.eeprom_clear = (actions & kActClear) && !cfg.eeprom_read;
    cfg.firmware_write = (actions & kActFlash) && !cfg.eeprom_read && !cfg.eeprom_write;
    cfg.force_update = actions & kActForce;
    cfg.port = link & kLinkNamed;
    cfg.portArg = "fuzz-named";
    cfg.debug = link & kLinkTrace;
    return cfg;
}

void writeFile(const fs::path& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        fail("cannot write a scratch file");
}

bool readFile(const fs::path& path, std::vector<uint8_t>& bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), {});
    return true;
}

// Leaves the values the check sets behind: call before resetModuleValues.
bool passesFirmwareCheck(std::vector<uint8_t> file)
{
    if (file.empty())
        return false;
    std::FILE* f = fmemopen(file.data(), file.size(), "rb");
    if (f == nullptr)
        fail("cannot open a firmware image in memory");
    bool ok = FirmwareCheck(f) == FW_OK;
    std::fclose(f);
    return ok;
}

// The values a firmware check leaves behind start at zero in every run.
void resetModuleValues()
{
    g_loader_addr = g_fw_total_size = g_plain_cksum = g_enc_cksum = qvl_sigs = 0;
    g_sw_ver = 0;
    std::memset(g_hw_ver, 0, sizeof g_hw_ver);
    g_eeprom_handle = 0;
}

// Nothing is erased for a file that failed its checks. Judged only when
// one block alone can erase: the clearing action needs no file.
void checkErase(const PelagoConfig& cfg, bool fileExists, bool validFirmware,
                const std::vector<uint8_t>& file)
{
    if (cfg.eeprom_clear)
        return;
    if (cfg.eeprom_write && (!fileExists || file.size() < kSettingsAreaSize || !isSettingsImage(file.data())))
        fail("an erase for a settings file that is too short or no settings area");
    if (cfg.firmware_write && !validFirmware)
        fail("an erase for an invalid firmware file");
}

bool isWholeBackup(const fs::directory_entry& entry)
{
    return entry.is_regular_file() && entry.path().extension() == ".dat" &&
           entry.file_size() == kSettingsAreaSize;
}

int wholeBackups()
{
    std::error_code missing;
    int count = 0;
    for (const auto& entry : fs::directory_iterator(g_scratch.backups, missing))
        count += isWholeBackup(entry) ? 1 : 0;
    return count;
}

// No run leaves anything but FILE and whole backups: no temporary file,
// no empty claim, nothing a serial number could name elsewhere.
void checkLeftovers()
{
    for (const auto& entry : fs::directory_iterator(g_scratch.run)) {
        if (entry.path() != g_scratch.file && entry.path() != g_scratch.backups)
            fail("a file was left beside FILE");
    }
    std::error_code missing;
    for (const auto& entry : fs::directory_iterator(g_scratch.backups, missing)) {
        if (!isWholeBackup(entry))
            fail("a backup was left incomplete");
    }
}

// A save that failed leaves FILE as it was.
void checkFileKept(const PelagoConfig& cfg, int status, bool existed, const std::vector<uint8_t>& before)
{
    if (!cfg.eeprom_read)
        return;
    std::vector<uint8_t> after;
    bool exists = readFile(g_scratch.file, after);
    if (status == 0 && (!exists || after.size() != kSettingsAreaSize))
        fail("a save that succeeded left no whole settings image");
    // The reset block runs after the save: its failure says nothing about the save.
    if (status != 0 && !cfg.reset && (exists != existed || (exists && after != before)))
        fail("a save that failed changed FILE");
}

} // namespace

extern "C" int nanosleep(const struct timespec* request, struct timespec* remaining)
{
    if (t_skipPauses)
        return 0;
    int error = clock_nanosleep(CLOCK_REALTIME, 0, request, remaining);
    if (error == 0)
        return 0;
    errno = error;
    return -1;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Silent for speed; DEVICE_FUZZ_STDOUT=1 shows what a run printed.
    const char* show = std::getenv("DEVICE_FUZZ_STDOUT");
    bool silent = show == nullptr || std::strcmp(show, "1") != 0;
    if (silent && std::freopen("/dev/null", "w", stdout) == nullptr)
        fail("cannot silence stdout");
    char pattern[] = "/tmp/pelago-device-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        fail("cannot create a scratch directory");
    g_scratch.dir = pattern;
    g_scratch.run = g_scratch.dir / "run";
    g_scratch.file = g_scratch.run / "settings.dat";
    g_scratch.backups = g_scratch.run / "backups";
    g_scratch.console = g_scratch.dir / "console";
    std::atexit(removeScratch);
    // Backups, when made, go to the scratch directory, never to $HOME.
    setenv("PELAGOXCON_BACKUP_DIR", g_scratch.backups.c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input input(data, size);
    uint8_t actions = input.byte();
    uint8_t linkBits = input.byte();
    Link link;
    link.replies = &input;
    link.usb = linkBits & kLinkUsb;
    link.firstOpenFails = linkBits & kLinkFirstOpenFails;
    link.shortWrite = input.byte();
    size_t fileSize = input.byte();
    fileSize |= static_cast<size_t>(input.byte()) << 8;
    std::vector<uint8_t> file = fileFor(actions, input.bytes(fileSize));
    std::vector<uint8_t> console = input.bytes(input.byte());

    PelagoConfig cfg = configFor(actions, linkBits);
    int ports = 1 + ((linkBits >> kLinkPortsShift) & kLinkPortsMask);

    std::error_code ignored;
    fs::remove_all(g_scratch.run, ignored);
    fs::create_directory(g_scratch.run);
    bool fileExists = !(linkBits & kLinkNoFile);
    if (fileExists)
        writeFile(g_scratch.file, file);
    writeFile(g_scratch.console, console);
    if (std::freopen(g_scratch.console.c_str(), "r", stdin) == nullptr)
        fail("cannot feed the console");
    if (linkBits & kLinkNoBackup)
        setenv("PELAGOXCON_NO_BACKUP", "1", 1);
    else
        unsetenv("PELAGOXCON_NO_BACKUP");
    bool validFirmware = cfg.firmware_write && fileExists && passesFirmwareCheck(file);
    resetModuleValues();
    bool backups = !(linkBits & kLinkNoBackup);
    int settingsErases = 0;
    link.onErase = [&](bool settingsToo) {
        checkErase(cfg, fileExists, validFirmware, file);
        if (settingsToo && backups && wholeBackups() < ++settingsErases)
            fail("the settings area was erased without a backup");
    };

    t_skipPauses = true;
    int status = deviceRoad(cfg, g_scratch.file.c_str(), std::make_unique<FuzzPortFactory>(link, ports));
    t_skipPauses = false;
    std::fflush(stdout);

    if (status != 0 && status != 1)
        fail("an exit status other than 0 or 1");
    checkLeftovers();
    checkFileKept(cfg, status, fileExists, file);
    return 0;
}
