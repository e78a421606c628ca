#include "DeviceHarness.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

#include "DefaultSettings.h"

DeviceHarness::DeviceHarness(std::unique_ptr<Launcher> launcher) : _launcher(std::move(launcher))
{
    char pattern[] = "/tmp/pelago-e2e-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        ADD_FAILURE() << "no scratch directory";
    else
        _dir = pattern;
    // No run may leave backups in the tester's home.
    _launcher->setEnvironment({"PELAGOXCON_BACKUP_DIR=" + backupDir()});
}

DeviceHarness::~DeviceHarness()
{
    if (_sim)
        _sim->stop();
    _sim.reset();
    if (!_dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(_dir, ignored);
    }
}

sim::AdapterSim& DeviceHarness::startSim(sim::SimOptions options)
{
    _sim = std::make_unique<sim::AdapterSim>(std::move(options));
    std::string error;
    EXPECT_TRUE(_sim->start(&error)) << error;
    return *_sim;
}

std::string DeviceHarness::port()
{
    return _launcher->portName(_sim->ptyPath());
}

ProcessResult DeviceHarness::runOnPort(std::vector<std::string> args, std::chrono::milliseconds timeout,
                                       const std::string& input)
{
    args.insert(args.begin(), {"-p", port()});
    return run(args, timeout, input);
}

ProcessResult DeviceHarness::run(const std::vector<std::string>& args, std::chrono::milliseconds timeout,
                                 const std::string& input)
{
    ProcessResult r = _launcher->run(args, input, timeout);
    EXPECT_FALSE(r.timedOut) << "the tool was still running after " << timeout.count() << " ms";
    _transcript += "$ " + _launcher->programName();
    for (const std::string& arg : args)
        _transcript += " " + arg;
    _transcript += "\n[exit status " + std::to_string(r.exitStatus) + (r.signal ? ", signal " + std::to_string(r.signal) : "") +
                   "]\n[stdout]\n" + r.out + "\n[stderr]\n" + r.err + "\n";
    return r;
}

std::string DeviceHarness::path(const std::string& name) const
{
    return _dir + "/" + name;
}

std::vector<std::string> DeviceHarness::backups() const
{
    std::vector<std::string> found;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(backupDir(), ignored))
        found.push_back(entry.path().string());
    std::sort(found.begin(), found.end());
    return found;
}

std::vector<std::string> DeviceHarness::commands(const std::string& prefix)
{
    std::vector<std::string> found;
    for (const std::string& c : _sim->commandLog())
        if (c.compare(0, prefix.size(), prefix) == 0)
            found.push_back(c);
    return found;
}

std::string maskTimes(const std::string& text)
{
    static const std::regex seconds("done in +[0-9]+\\.[0-9]{3} seconds");
    static const std::regex stamp("-[0-9]{8}-[0-9]{6}Z?(-[0-9]+)?\\.dat");
    return std::regex_replace(std::regex_replace(text, seconds, "done in T seconds"), stamp, "-STAMP$1.dat");
}

std::vector<uint8_t> flashRange(const std::vector<uint8_t>& flash, uint32_t addr, uint32_t size)
{
    if (flash.size() < static_cast<size_t>(addr) + size)
        return {};
    return std::vector<uint8_t>(flash.begin() + addr, flash.begin() + addr + size);
}

std::vector<uint8_t> settingsFileBytes(const std::vector<uint8_t>& payload)
{
    // The data bytes of every page in use below the master row; headers,
    // free pages and the master page stay, so the emulator still accepts it.
    constexpr size_t kPage = 64, kHeader = 4, kDataPages = 60;
    std::vector<uint8_t> image(sim::kDefaultSettingsImage, sim::kDefaultSettingsImage + sim::kDefaultSettingsSize);
    size_t next = 0;
    for (size_t page = 0; page < kDataPages && !payload.empty(); ++page) {
        if (image[page * kPage] == 0xFF)
            continue;
        for (size_t i = kHeader; i < kPage; ++i)
            image[page * kPage + i] = payload[next++ % payload.size()];
    }
    return image;
}

std::vector<uint8_t> settingsFileBytes(uint32_t seed)
{
    return settingsFileBytes(patternBytes(0x1000, seed));
}

std::vector<uint8_t> patternBytes(size_t size, uint32_t seed)
{
    std::vector<uint8_t> bytes(size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return bytes;
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), {});
}

bool fileExists(const std::string& path)
{
    return std::filesystem::exists(path);
}

std::vector<uint8_t> makeFirmware(const std::vector<uint8_t>& plain, const sim::MkfwOptions& options)
{
    sim::MkfwResult result;
    std::string error;
    EXPECT_TRUE(sim::mkfwBuild(plain, options, result, error)) << error;
    return result.file;
}

// The words a POSIX shell makes of `command` when it is pasted.
std::vector<std::string> shellWords(const std::string& command)
{
    ProcessResult r = runProcess("/bin/sh", {"-c", "printf '%s\\n' " + command});
    std::vector<std::string> words;
    std::string word;
    for (char ch : r.out) {
        if (ch == '\n')
            words.push_back(word), word.clear();
        else
            word += ch;
    }
    return words;
}
