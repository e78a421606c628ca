// The adapter's state across runs, and the adapter-sim program: its path
// output, port file, signals, options and the mkfw subcommand.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "Subprocess.h"
#include "SimFixture.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/adapter-sim-test-XXXXXX";
        _path = ::mkdtemp(pattern) ? pattern : "";
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(_path, ec);
    }
    std::string file(const std::string& name) const { return _path + "/" + name; }

private:
    std::string _path;
};

std::vector<uint8_t> readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string readText(const std::string& path) {
    const std::vector<uint8_t> bytes = readAll(path);
    return {bytes.begin(), bytes.end()};
}

// adapter-sim as a child process, killed when the test leaves.
class SimProcess {
public:
    SimProcess(const std::vector<std::string>& args, const std::string& outFile, const std::string& errFile) {
        std::vector<std::string> argv{ADAPTER_SIM_EXE};
        argv.insert(argv.end(), args.begin(), args.end());
        _pid = ::fork();
        if (_pid == 0) {
            ::setpgid(0, 0);
            if (!std::freopen(outFile.c_str(), "w", stdout) || !std::freopen(errFile.c_str(), "w", stderr)) _exit(127);
            std::vector<char*> ptrs;
            for (std::string& a : argv) ptrs.push_back(a.data());
            ptrs.push_back(nullptr);
            ::execv(ptrs[0], ptrs.data());
            _exit(127);
        }
    }
    ~SimProcess() {
        if (_pid > 0) {
            ::kill(_pid, SIGKILL);
            ::waitpid(_pid, nullptr, 0);
        }
    }
    // Sends `sig` and returns the exit status, or -1 when the child did not
    // exit by itself within five seconds.
    int stopWith(int sig) {
        ::kill(_pid, sig);
        for (int i = 0; i < 500; ++i) {
            int status = 0;
            if (::waitpid(_pid, &status, WNOHANG) == _pid) {
                _pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(milliseconds(10));
        }
        return -1;
    }

private:
    pid_t _pid = -1;
};

// Waits up to five seconds for `path` to have a complete line.
std::string awaitLine(const std::string& path) {
    for (int i = 0; i < 500; ++i) {
        const std::string text = readText(path);
        if (!text.empty() && text.back() == '\n') return text.substr(0, text.size() - 1);
        std::this_thread::sleep_for(milliseconds(10));
    }
    return "";
}

class StateFileTest : public SimFixture {};

TEST_F(StateFileTest, FlashSurvivesAStopAndIdentityOptionsOverrideTheLoadedState) {
    TempDir dir;
    sim::SimOptions o;
    o.stateFile = dir.file("flash.bin");
    PtyClient& c = startSim(o);
    c.command("X0001F000,0#", 3);
    c.writeRaw(0x20000000, std::vector<uint8_t>(64, 0x42));
    ASSERT_TRUE(c.program(0x1F000, 64));
    TearDown();
    ASSERT_EQ(readAll(o.stateFile).size(), sim::AdapterSim::kFlashSize);

    o.identity.pcbVersion = 0x0300;
    PtyClient& again = startSim(o);
    EXPECT_EQ(again.readWord(0x1F000), 0x42424242u);
    EXPECT_EQ(again.readWord(0xFF4) & 0xFFFF, 0x0300u);
    EXPECT_EQ(again.readWord(0x1F188), 0xFFFFFFFFu);  // the erase outlived the run too
}

TEST_F(StateFileTest, StateFileOfTheWrongSizeIsRefused) {
    TempDir dir;
    sim::SimOptions o;
    o.stateFile = dir.file("short.bin");
    std::ofstream(o.stateFile) << "not flash";
    sim::AdapterSim a(o);
    std::string error;
    EXPECT_FALSE(a.start(&error));
    EXPECT_NE(error.find("131072"), std::string::npos);
    EXPECT_EQ(readText(o.stateFile), "not flash");  // left as it was
}

TEST(AdapterSimProgram, ServesUntilSigtermThenSavesItsState) {
    TempDir dir;
    const std::string state = dir.file("state.bin"), portFile = dir.file("port"), log = dir.file("log");
    SimProcess p({"--port-file", portFile, "--state", state, "--log", log, "--serial", "XY123456"},
                 dir.file("out"), dir.file("err"));
    const std::string path = awaitLine(portFile);
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(awaitLine(dir.file("out")), path);
    {
        PtyClient c(path);
        EXPECT_EQ(c.readWord(0xFF8), 0x32315958u);  // "XY12"
        c.send("WE000ED0C,05FA0004#");
        c.readWord(0);
    }
    EXPECT_EQ(p.stopWith(SIGTERM), 0);
    const std::vector<uint8_t> flash = readAll(state);
    ASSERT_EQ(flash.size(), sim::AdapterSim::kFlashSize);
    EXPECT_EQ(std::string(flash.begin() + 0xFF8, flash.begin() + 0x1000), "XY123456");
    EXPECT_EQ(readText(log), "w00000FF8,4#\nWE000ED0C,05FA0004#\nw00000000,4#\n");
    EXPECT_NE(readText(dir.file("err")).find("adapter-sim: 3 commands, 1 resets seen"), std::string::npos);
    EXPECT_FALSE(fs::exists(portFile)) << "a stopped adapter left its port file";
}

// A dropped line and a power loss both end the program with the flash as
// the monitor left it; the power loss keeps it before anything else, so even
// a kill right after it loses nothing.
TEST(AdapterSimProgram, HangupAndPowerLossEndTheProgramWithItsStateSaved) {
    const struct {
        std::vector<std::string> fault;
        bool programmed;  // the write was confirmed
        int stopSignal;
    } cases[] = {
        {{"--hangup-after", "1"}, true, 0},  // signal 0: only waits for the exit
        {{"--power-off-after", "4"}, false, SIGKILL},  // X, S, Y source, Y destination
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault[0]);
        TempDir dir;
        const std::string state = dir.file("state.bin"), portFile = dir.file("port");
        std::vector<std::string> args = {"--port-file", portFile, "--state", state};
        args.insert(args.end(), c.fault.begin(), c.fault.end());
        SimProcess p(args, dir.file("out"), dir.file("err"));
        const std::string path = awaitLine(portFile);
        ASSERT_FALSE(path.empty());
        PtyClient client(path);
        client.command("X0001F000,0#", 3);
        client.writeRaw(0x20000000, std::vector<uint8_t>(64, 0x24));
        EXPECT_EQ(client.program(0x1F000, 64), c.programmed);
        if (c.programmed) client.send("Z0001F000,00001000#");
        EXPECT_TRUE(client.lineDead(2000));
        if (c.stopSignal == SIGKILL) {
            for (int i = 0; i < 500 && readAll(state).size() != sim::AdapterSim::kFlashSize; ++i)
                std::this_thread::sleep_for(milliseconds(10));
            p.stopWith(SIGKILL);
        } else {
            EXPECT_EQ(p.stopWith(c.stopSignal), 0);
        }
        EXPECT_EQ(readAll(state).at(0x1F000), 0x24);
    }
}

TEST(AdapterSimProgram, BadOptionsAreRefusedWithUsage) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--link", "tcp"}, {"--pcb", "0x10000"}, {"--no-answer", "w"}, {"--no-answer", "w:0"},
             {"--serial", "123456789"}, {"--delay", "-1"}, {"--stray-byte", "w"}, {"--corrupt-write", "x"}, {"stray"}}) {
        const ProcessResult r = runProcess(ADAPTER_SIM_EXE, args, "", milliseconds(5000));
        EXPECT_EQ(r.exitStatus, 2) << args[0];
        EXPECT_NE(r.err.find("Usage:"), std::string::npos) << args[0];
        EXPECT_EQ(r.out, "");
    }
}

TEST(AdapterSimProgram, CallsItselfByTheNameItWasRunAsAndTellsItsVersion) {
    const std::string installed = "pelagoxcon-virtual-adapter";
    TempDir dir;
    const std::string portFile = dir.file("port");
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out, err;  // what each stream starts with
    } cases[] = {
        {{"--version"}, 0, "PelagoXcon " PELAGO_VERSION "\n", ""},
        {{"--help"}, 0, "Usage: " + installed + " [OPTION...]\n       " + installed + " mkfw ", ""},
        {{"mkfw", "--help"}, 0, "Usage: " + installed + " [OPTION...]\n", ""},
        {{"--link", "tcp"}, 2, "", installed + ": bad value 'tcp' for --link\nUsage: " + installed},
        {{"mkfw", "only-one"}, 2, "", installed + " mkfw: mkfw needs PLAIN and OUT\n"},
        {{"mkfw", "/nonexistent/plain", "/nonexistent/out"}, 1, "", installed + " mkfw: cannot read "},
        // Fails after writing the port file, which then goes again.
        {{"--port-file", portFile, "--log", "/nonexistent/log"}, 1, "", installed + ": /nonexistent/log: "},
    };
    for (const auto& c : cases) {
        const ProcessResult r = runProcess(ADAPTER_SIM_EXE, c.args, "", milliseconds(5000), "/usr/bin/" + installed);
        EXPECT_EQ(r.exitStatus, c.status) << c.args[0];
        EXPECT_EQ(r.out.rfind(c.out, 0), 0u) << r.out;
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
        EXPECT_TRUE(!c.out.empty() || r.out.empty()) << r.out;
        EXPECT_TRUE(!c.err.empty() || r.err.empty()) << r.err;
        EXPECT_FALSE(fs::exists(portFile));
    }
}

TEST(AdapterSimProgram, MkfwWritesTheFileAndReportsItsChecksums) {
    TempDir dir;
    std::ofstream(dir.file("plain.bin"), std::ios::binary) << std::string(100, 'p');
    std::ofstream(dir.file("settings.bin"), std::ios::binary) << std::string(4096, 's');
    // By default the image fills the application area; --exact keeps it as
    // given, so the verified range and the whole area differ.
    for (bool exact : {false, true}) {
        std::vector<std::string> args{"mkfw", "--sig", "QVLC", "--pcb", "0x0102,0x01FF", "--settings-byte", "2",
                                      "--settings-image", dir.file("settings.bin")};
        if (exact) args.push_back("--exact");
        args.insert(args.end(), {dir.file("plain.bin"), dir.file("fw.bin")});
        const ProcessResult r = runProcess(ADAPTER_SIM_EXE, args, "", milliseconds(5000));
        ASSERT_EQ(r.exitStatus, 0) << r.err;
        const std::vector<uint8_t> fw = readAll(dir.file("fw.bin"));
        const size_t payload = exact ? 128 : 0x1E000;
        ASSERT_EQ(fw.size(), 48u + payload + 4 + 4092);
        EXPECT_EQ(std::string(fw.begin(), fw.begin() + 4), "QVLC");
        EXPECT_EQ(fw[31], 2);
        EXPECT_EQ(fw.back(), 's');
        char verified[64];
        std::snprintf(verified, sizeof verified, "\tverified over the written range: 0x%02X%02X%02X%02X\n", fw[19],
                      fw[18], fw[17], fw[16]);
        EXPECT_EQ(r.out.rfind("payload " + std::to_string(payload) + " bytes\n\tChecksum of Firmware code = 0x", 0), 0u)
            << r.out;
        EXPECT_NE(r.out.find(verified), std::string::npos) << r.out;
    }
}

TEST(AdapterSimProgram, MkfwFailsCleanlyOnMissingInputAndBadArguments) {
    TempDir dir;
    ProcessResult r = runProcess(ADAPTER_SIM_EXE, {"mkfw", dir.file("absent"), dir.file("fw.bin")}, "",
                                 milliseconds(5000));
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.err.find("cannot read"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir.file("fw.bin")));
    r = runProcess(ADAPTER_SIM_EXE, {"mkfw", "--pcb", "1,2,3,4,5,6,7,8,9", "a", "b"}, "", milliseconds(5000));
    EXPECT_EQ(r.exitStatus, 2);
    r = runProcess(ADAPTER_SIM_EXE, {"mkfw", "only-one"}, "", milliseconds(5000));
    EXPECT_EQ(r.exitStatus, 2);
}

}  // namespace
