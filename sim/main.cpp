// adapter-sim: the virtual adapter as a program, and mkfw.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "AdapterSim.h"
#include "SimCli.h"

namespace {

// The signals that end serving; SIGUSR1 is how the serving thread says it
// ended on its own.
sigset_t endSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&set, s);
    return set;
}

int serve(const std::vector<std::string>& args) {
    sim::SimOptions options;
    std::string error;
    if (!sim::parseServeArgs(args, options, error)) {
        std::fprintf(stderr, "adapter-sim: %s\n%s", error.c_str(), sim::usageText());
        return 2;
    }
    const sigset_t set = endSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);  // before the thread starts, so it inherits the mask
    options.onServeEnd = [] { kill(getpid(), SIGUSR1); };

    sim::AdapterSim adapter(options);
    if (!adapter.start(&error)) {
        std::fprintf(stderr, "adapter-sim: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", adapter.ptyPath().c_str());
    std::fflush(stdout);

    int sig = 0;
    sigwait(&set, &sig);
    adapter.stop();
    std::fprintf(stderr, "adapter-sim: %zu commands, %u resets seen\n", adapter.commandLog().size(),
                 adapter.resetCount());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(sim::usageText(), stdout);
        return 0;
    }
    if (!args.empty() && args[0] == "mkfw") {
        sim::MkfwJob job;
        std::string error;
        if (!sim::parseMkfwArgs({args.begin() + 1, args.end()}, job, error)) {
            std::fprintf(stderr, "adapter-sim mkfw: %s\n%s", error.c_str(), sim::usageText());
            return 2;
        }
        return sim::runMkfw(job);
    }
    return serve(args);
}
