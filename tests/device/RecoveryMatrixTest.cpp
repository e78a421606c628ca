// The interruption matrix: each writing action of the tool is interrupted
// at each point that matters, in each way an owner meets (Ctrl-C, a pulled
// cable, a killed process, a flat battery); then only what the tool printed
// is followed, and the adapter must end whole: as it was, or as asked.
//
// PELAGO_RECOVERY_SAMPLE=1 runs only both ends and the middle of each
// action (for the slow sanitizer builds); PELAGO_RECOVERY_LANES sets how
// many adapters run side by side (8).
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DeviceHarness.h"
#include "Subprocess.h"

using namespace std::chrono_literals;

namespace {

constexpr uint32_t kAppSize = 0x1E000;
constexpr uint32_t kTypeLetterOffset = 0x1EFF5 - 0x1000;  // the installed type letter, in the image
constexpr uint32_t kSettingsAddr = 0x1F000, kSettingsSize = 0x1000;
constexpr unsigned kDefaultLanes = 8;  // the lanes mostly wait on the monitor
constexpr unsigned kHeavyStride = 4;  // SIGKILL and power loss: every 4th point
constexpr unsigned kMaxFollowed = 16;  // commands a recovery may take (a busy machine fails some) before it counts as lost
constexpr auto kRunBound = 120s;
constexpr int kSetupAttempts = 3;

enum class Way { Sigint, DroppedLink, Sigkill, PowerLoss };
const Way kWays[] = {Way::Sigint, Way::DroppedLink, Way::Sigkill, Way::PowerLoss};
const char* const kWayNames[] = {"SIGINT", "link", "SIGKILL", "power"};

struct Point {
    std::string name;
    unsigned command;  // the command, counted from the run's first, at which the way strikes
};

// One writing action and what it may leave once recovered.
struct Action {
    std::string name;
    std::vector<std::string> args;
    std::vector<std::vector<uint8_t>> wholeStates;  // the flash as it was, as asked, and as asked with the settings restored
    std::vector<Point> points;
};

struct Trial {
    size_t action, point;
    Way way;
    bool recovered = false;
    std::string story;  // what happened, for a failure's message
};

std::string backupDirOf(const std::string& lane)
{
    return lane + "/backups";
}

// The tool's run on a fresh adapter served from `state`, struck by `way`
// at `command` (0: not struck).
ProcessResult runStruck(const std::string& lane, const std::vector<std::string>& args, Way way, unsigned command,
                        std::vector<std::string>* log = nullptr)
{
    sim::SimOptions options;
    options.stateFile = lane + "/flash.bin";
    std::atomic<Subprocess*> child{nullptr};
    if (command != 0 && way == Way::DroppedLink)
        options.faults.hangupAt = command;
    if (command != 0 && way == Way::PowerLoss)
        options.faults.powerOffAfter = command;
    if (command != 0 && (way == Way::Sigint || way == Way::Sigkill))
        options.onCommand = [&child, command, way](unsigned n) {
            if (n == command && child.load() != nullptr)
                child.load()->sendSignal(way == Way::Sigint ? SIGINT : SIGKILL);
        };
    sim::AdapterSim adapter(options);
    std::string error;
    if (!adapter.start(&error)) {
        ProcessResult failed;
        failed.err = "no virtual adapter: " + error;
        return failed;
    }
    std::vector<std::string> argv = {"PelagoXcon", "-p", adapter.ptyPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    Subprocess tool(PELAGO_EXE, argv, {"PELAGOXCON_BACKUP_DIR=" + backupDirOf(lane), "PELAGOXCON_NO_BACKUP=0"});
    child = &tool;
    tool.start();
    ProcessResult r = tool.finish(kRunBound);
    child = nullptr;
    adapter.stop();  // saves the flash for the next run
    if (log != nullptr)
        *log = adapter.commandLog();
    return r;
}

// The commands the tool's stderr tells the user to run, without the
// program name and the port (the adapter comes back on another pty).
std::vector<std::vector<std::string>> waysBack(const std::string& err)
{
    const std::string lead = "with: PelagoXcon -p ";
    std::vector<std::vector<std::string>> ways;
    size_t at = 0;
    while ((at = err.find(lead, at)) != std::string::npos) {
        size_t start = at + sizeof "with: " - 1;
        size_t end = err.find('\n', start);
        std::vector<std::string> words = shellWords(err.substr(start, end - start));
        // A command the shell cannot even split names no file to follow.
        if (words.size() > 3)
            ways.emplace_back(words.begin() + 3, words.end());
        else
            ways.push_back({"FILE"});
        at = end;
    }
    return ways;
}

std::string joined(const std::vector<std::string>& words)
{
    std::string text;
    for (const std::string& w : words)
        text += (text.empty() ? "" : " ") + w;
    return text;
}

// Follows what the struck run printed, and what each run it leads to
// prints; a run that fails and names nothing is tried again, as a user
// would (on a busy machine a monitor answer can come late).
void recover(const std::string& lane, const Action& action, const ProcessResult& struck, Trial& trial)
{
    std::deque<std::vector<std::string>> todo;
    for (auto& way : waysBack(struck.err))
        todo.push_back(way);
    if (todo.empty() && struck.exitStatus != 0)
        todo.push_back(action.args);
    for (unsigned step = 0; !todo.empty() && step < kMaxFollowed; ++step) {
        std::vector<std::string> next = todo.front();
        todo.pop_front();
        if (std::find(next.begin(), next.end(), "FILE") != next.end()) {
            trial.story += " | names no file: " + joined(next);
            return;
        }
        ProcessResult r = runStruck(lane, next, Way::Sigint, 0);
        trial.story += " | " + joined(next) + " -> " + std::to_string(r.exitStatus);
        std::vector<std::vector<std::string>> named = waysBack(r.err);
        if (r.exitStatus != 0) {
            trial.story += " (" + r.err + ")";
            if (named.empty())
                named.push_back(next);
        }
        // What a run names comes first: it knows the adapter as it is now.
        todo.insert(todo.begin(), named.begin(), named.end());
    }
    std::vector<uint8_t> flash = readFile(lane + "/flash.bin");
    trial.recovered = todo.empty() && std::find(action.wholeStates.begin(), action.wholeStates.end(), flash) !=
                                          action.wholeStates.end();
}

void runTrial(const std::string& lane, const std::vector<Action>& actions, Trial& trial)
{
    const Action& action = actions[trial.action];
    std::error_code ignored;
    std::filesystem::remove_all(backupDirOf(lane), ignored);
    writeFile(lane + "/flash.bin", action.wholeStates.front());
    ProcessResult r = runStruck(lane, action.args, trial.way, action.points[trial.point].command);
    trial.story = "status " + std::to_string(r.exitStatus) + ", stderr: " + r.err;
    if (r.timedOut)
        trial.story += " (timed out)";
    else
        recover(lane, action, r, trial);
}

// Index (from 1) of every command of `log` for which `pick` holds.
std::vector<unsigned> commandsWhere(const std::vector<std::string>& log,
                                    const std::function<bool(const std::string&)>& pick)
{
    std::vector<unsigned> found;
    for (size_t i = 0; i < log.size(); ++i)
        if (pick(log[i]))
            found.push_back(static_cast<unsigned>(i + 1));
    return found;
}

bool isBlockWrite(const std::string& command)
{
    return command[0] == 'Y' && command.rfind("Y20000000,", 0) != 0;
}

// The points of an action from its uninterrupted run's command log: the
// erase, the blocks (every `stride`th, the first and the last), then what
// follows the last block (`after`: the verification's read or checksum).
std::vector<Point> pointsOf(const std::vector<std::string>& log, unsigned stride, char after)
{
    std::vector<Point> points;
    for (unsigned erase : commandsWhere(log, [](const std::string& c) { return c[0] == 'X'; }))
        points.push_back({"erase", erase});
    std::vector<unsigned> blocks = commandsWhere(log, isBlockWrite);
    for (size_t b = 0; b < blocks.size(); ++b)
        if (b == 0 || (b + 1) % stride == 0 || b + 1 == blocks.size())
            points.push_back({"block " + std::to_string(b + 1), blocks[b]});
    if (!blocks.empty())
        for (size_t i = blocks.back(); i < log.size(); ++i)
            if (log[i][0] == after) {
                points.push_back({after == 'Z' ? "checksums" : "verification", static_cast<unsigned>(i + 1)});
                break;
            }
    return points;
}

std::vector<uint8_t> withSettings(std::vector<uint8_t> flash, const std::vector<uint8_t>& from)
{
    std::copy(from.begin() + kSettingsAddr, from.begin() + kSettingsAddr + kSettingsSize,
              flash.begin() + kSettingsAddr);
    return flash;
}

// Runs `args` once uninterrupted on the starting flash: the flash it ends
// with, and its points.
Action makeAction(const std::string& lane, const std::string& name, const std::vector<std::string>& args,
                  const std::vector<uint8_t>& before, unsigned stride, char after)
{
    Action action{name, args, {before}, {}};
    writeFile(lane + "/flash.bin", before);
    std::vector<std::string> log;
    ProcessResult r;
    // A busy machine may make a monitor answer late; the points need one whole run.
    for (int attempt = 0; attempt < kSetupAttempts && r.exitStatus != 0; ++attempt) {
        writeFile(lane + "/flash.bin", before);
        r = runStruck(lane, args, Way::Sigint, 0, &log);
    }
    EXPECT_EQ(r.exitStatus, 0) << name << ": " << r.err;
    std::vector<uint8_t> asked = readFile(lane + "/flash.bin");
    action.wholeStates.push_back(asked);
    action.wholeStates.push_back(withSettings(asked, before));  // the backup put back after the update
    action.points = pointsOf(log, stride, after);
    return action;
}

std::string makeLane(const std::string& root, unsigned n)
{
    std::string lane = root + "/lane" + std::to_string(n);
    std::filesystem::create_directories(lane);
    return lane;
}

bool sampleOnly()
{
    const char* value = std::getenv("PELAGO_RECOVERY_SAMPLE");
    return value != nullptr && std::string(value) == "1";
}

unsigned laneCount()
{
    const char* value = std::getenv("PELAGO_RECOVERY_LANES");
    int n = value != nullptr ? std::atoi(value) : 0;
    return n > 0 ? static_cast<unsigned>(n) : kDefaultLanes;
}

// Which ways go at point `p` of `count`: the light ones everywhere, the
// heavy ones at every 4th point and at both ends; in a sample, all four
// at both ends and the middle only.
bool tried(Way way, size_t p, size_t count)
{
    bool end = p == 0 || p + 1 == count;
    if (sampleOnly())
        return end || p == count / 2;
    return way == Way::Sigint || way == Way::DroppedLink || end || p % kHeavyStride == 0;
}

void printMatrix(const std::vector<Action>& actions, const std::vector<Trial>& trials, double seconds)
{
    std::printf("%-34s", "action / point");
    for (const char* way : kWayNames)
        std::printf(" %-8s", way);
    std::printf("\n");
    size_t recovered = 0;
    for (size_t a = 0; a < actions.size(); ++a)
        for (size_t p = 0; p < actions[a].points.size(); ++p) {
            std::printf("%-34s", (actions[a].name + " " + actions[a].points[p].name).c_str());
            for (Way way : kWays) {
                auto t = std::find_if(trials.begin(), trials.end(),
                                      [&](const Trial& x) { return x.action == a && x.point == p && x.way == way; });
                std::printf(" %-8s", t == trials.end() ? "." : t->recovered ? "ok" : "LOST");
            }
            std::printf("\n");
        }
    for (const Trial& t : trials)
        recovered += t.recovered ? 1 : 0;
    std::printf("%zu of %zu interruptions (point x way) recovered in %.1f s\n", recovered, trials.size(), seconds);
    std::fflush(stdout);
}

} // namespace

TEST(RecoveryMatrix, EveryInterruptedWriteEndsWholeByFollowingTheTool)
{
    auto started = std::chrono::steady_clock::now();
    char pattern[] = "/tmp/pelago-recovery-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string root = pattern;
    const std::string setup = makeLane(root, 0);

    // The adapter as the owner has it: the virtual adapter's own flash.
    std::vector<uint8_t> before;
    {
        sim::AdapterSim fresh;
        ASSERT_TRUE(fresh.start());
        before = fresh.flashSnapshot();
    }
    const std::string settings = root + "/user.dat";
    writeFile(settings, settingsFileBytes(24));
    // Every block between the first and the last leaves the same state, an
    // area partly written: a sample of them stands for all.
    std::vector<Action> actions = {makeAction(setup, "-u", {"-u", settings}, before, 4, 'w')};
    for (uint8_t handling : {0, 1, 2}) {
        sim::MkfwOptions options;
        options.settingsHandling = handling;
        if (handling == 2)
            options.settingsImage = settingsFileBytes(25);
        const std::string file = root + "/full" + std::to_string(handling) + ".fw";
        // A whole application area, its installed type at the top as an update leaves it.
        std::vector<uint8_t> plain = patternBytes(kAppSize, 30 + handling);
        plain[kTypeLetterOffset] = 'E';
        writeFile(file, makeFirmware(plain, options));
        actions.push_back(makeAction(setup, "-f (settings byte " + std::to_string(handling) + ")",
                                     {"-f", file}, before, 192, 'Z'));
    }
    ASSERT_FALSE(HasFailure()) << "the uninterrupted runs must succeed first";

    std::vector<Trial> trials;
    for (size_t a = 0; a < actions.size(); ++a)
        for (size_t p = 0; p < actions[a].points.size(); ++p)
            for (Way way : kWays)
                if (tried(way, p, actions[a].points.size()))
                    trials.push_back({a, p, way, false, ""});

    std::atomic<size_t> next{0};
    std::vector<std::thread> lanes;
    for (unsigned n = 1; n <= laneCount(); ++n)
        lanes.emplace_back([&, n] {
            const std::string lane = makeLane(root, n);
            for (size_t i = next++; i < trials.size(); i = next++)
                runTrial(lane, actions, trials[i]);
        });
    for (std::thread& lane : lanes)
        lane.join();

    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    printMatrix(actions, trials, seconds);
    for (const Trial& t : trials)
        EXPECT_TRUE(t.recovered) << actions[t.action].name << " " << actions[t.action].points[t.point].name << " by "
                                 << kWayNames[static_cast<int>(t.way)] << ": " << t.story;
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
}
