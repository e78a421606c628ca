#include "AdapterSim.h"

#include <sys/resource.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>

#include "MonitorSession.h"
#include "PtyLink.h"
#include "SimState.h"

namespace sim {

namespace {

// Written beside the target and renamed over it, so that a reader never
// sees half a file and a crash never leaves a torn state.
bool writeFileAtomically(const std::string& path, const void* data, size_t len, std::string& error) {
    const std::string tmp = path + ".tmp";
    std::FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f) {
        error = tmp + ": " + std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(data, 1, len, f) == len;
    if (std::fclose(f) != 0 || !written || std::rename(tmp.c_str(), path.c_str()) != 0) {
        error = path + ": " + std::strerror(errno);
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

}  // namespace

class AdapterSimImpl {
public:
    explicit AdapterSimImpl(SimOptions options) : options(std::move(options)) {}

    bool loadState(std::string& error) {
        if (!options.stateFile.empty()) {
            std::ifstream in(options.stateFile, std::ios::binary);
            if (in) {
                std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
                if (!state.memory.loadFlash(image)) {
                    error = options.stateFile + ": not a 131072-byte flash image";
                    return false;
                }
                state.memory.applyIdentity(options.identity);
                state.memory.setDeviceId(options.deviceId);
                return true;
            }
        }
        if (!options.blank) state.memory.loadDefaultImage();
        state.memory.applyIdentity(options.identity);
        state.memory.setDeviceId(options.deviceId);
        return true;
    }

    void saveState() {
        if (options.stateFile.empty()) return;
        std::vector<uint8_t> image;
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            image = state.memory.flash();
        }
        std::string error;
        if (!writeFileAtomically(options.stateFile, image.data(), image.size(), error))
            std::fprintf(stderr, "%s: cannot save state: %s\n", options.programName.c_str(), error.c_str());
    }

    // A stale port file would send the next reader to a pty nobody serves;
    // one that names another adapter's pty by now is that adapter's.
    void removePortFile() {
        if (options.portFile.empty()) return;
        std::ifstream in(options.portFile);
        std::string named;
        if (in && std::getline(in, named) && named == link.slavePath()) std::remove(options.portFile.c_str());
    }

    SimOptions options;
    SimState state;
    PtyLink link;
    std::thread thread;
    bool started = false;
    bool stopped = false;
    std::atomic<bool> serving{false};
};

AdapterSim::AdapterSim(SimOptions options) : _impl(std::make_unique<AdapterSimImpl>(std::move(options))) {}

AdapterSim::~AdapterSim() { stop(); }

bool AdapterSim::start(std::string* error) {
    std::string reason;
    AdapterSimImpl& s = *_impl;
    if (s.started) reason = "already started";
    const bool ok = reason.empty() && s.loadState(reason) && s.link.open(reason) &&
                    (s.options.portFile.empty() ||
                     writeFileAtomically(s.options.portFile, (s.link.slavePath() + "\n").data(),
                                         s.link.slavePath().size() + 1, reason));
    if (ok && !s.options.logFile.empty()) {
        s.state.logFile = std::fopen(s.options.logFile.c_str(), "a");
        if (!s.state.logFile) reason = s.options.logFile + ": " + std::strerror(errno);
    }
    if (!ok || !reason.empty()) {
        if (ok) s.removePortFile();
        if (error) *error = reason;
        return false;
    }
    s.started = true;
    s.serving = true;
    // Returns once the adapter serves at its own priority: on a busy machine
    // a tool started at once must not meet an adapter still starting.
    std::promise<void> ready;
    std::future<void> up = ready.get_future();
    s.thread = std::thread([&s, &ready] {
        setpriority(PRIO_PROCESS, 0, kHardwareNice);  // this thread alone; refused, it runs as it is
        MonitorSession session(s.state, s.link, s.options);
        ready.set_value();
        session.serve();
        // Kept before anything else can happen, as a flash keeps it without power.
        if (s.state.poweredOff) s.saveState();
        s.serving = false;
        if (s.options.onServeEnd) s.options.onServeEnd();
    });
    up.wait();
    return true;
}

void AdapterSim::stop() {
    AdapterSimImpl& s = *_impl;
    if (!s.started || s.stopped) return;
    s.stopped = true;
    s.link.requestStop();
    s.thread.join();
    s.removePortFile();
    s.link.hangUp();
    s.saveState();
    if (s.state.logFile) std::fclose(s.state.logFile);
    s.state.logFile = nullptr;
}

std::string AdapterSim::ptyPath() const { return _impl->link.slavePath(); }

bool AdapterSim::serving() const { return _impl->serving; }

std::vector<uint8_t> AdapterSim::flashSnapshot() const {
    std::lock_guard<std::mutex> lock(_impl->state.mutex);
    return _impl->state.memory.flash();
}

std::vector<std::string> AdapterSim::commandLog() const {
    std::lock_guard<std::mutex> lock(_impl->state.mutex);
    return _impl->state.log;
}

bool AdapterSim::resetSeen() const { return resetCount() > 0; }

uint64_t AdapterSim::imposedDelayMicros() const { return _impl->link.pausedMicros(); }

unsigned AdapterSim::resetCount() const {
    std::lock_guard<std::mutex> lock(_impl->state.mutex);
    return _impl->state.resets;
}

unsigned AdapterSim::sessionCount() const {
    std::lock_guard<std::mutex> lock(_impl->state.mutex);
    return _impl->state.sessions;
}

}  // namespace sim
