// The virtual adapter as a program, and mkfw. Its messages call it by the
// name it was run as: adapter-sim in the build tree,
// pelagoxcon-virtual-adapter installed.
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

const char* const kDefaultProgramName = "adapter-sim";

// The signals that end serving; SIGUSR1 is how the serving thread says it
// ended on its own.
sigset_t endSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&set, s);
    return set;
}

bool asksForHelp(const std::vector<std::string>& args, size_t at) {
    return args.size() > at && (args[at] == "--help" || args[at] == "-h");
}

std::string programName(const char* argv0) {
    if (argv0 == nullptr || *argv0 == '\0') return kDefaultProgramName;
    const char* slash = std::strrchr(argv0, '/');
    return slash ? slash + 1 : argv0;
}

int serve(const std::vector<std::string>& args, const std::string& program) {
    sim::SimOptions options;
    std::string error;
    if (!sim::parseServeArgs(args, options, error)) {
        std::fprintf(stderr, "%s: %s\n%s", program.c_str(), error.c_str(), sim::usageText(program).c_str());
        return 2;
    }
    options.programName = program;
    const sigset_t set = endSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);  // before the thread starts, so it inherits the mask
    options.onServeEnd = [] { kill(getpid(), SIGUSR1); };

    sim::AdapterSim adapter(options);
    if (!adapter.start(&error)) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), error.c_str());
        return 1;
    }
    std::printf("%s\n", adapter.ptyPath().c_str());
    std::fflush(stdout);

    int sig = 0;
    sigwait(&set, &sig);
    adapter.stop();
    std::fprintf(stderr, "%s: %zu commands, %u resets seen, %.3f ms of reply delay\n", program.c_str(),
                 adapter.commandLog().size(), adapter.resetCount(),
                 static_cast<double>(adapter.imposedDelayMicros()) / 1000.0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string program = programName(argc > 0 ? argv[0] : nullptr);
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    // mkfw's options are in the one usage text too.
    if (asksForHelp(args, 0) || (!args.empty() && args[0] == "mkfw" && asksForHelp(args, 1))) {
        std::fputs(sim::usageText(program).c_str(), stdout);
        return 0;
    }
    // The tool's own version: the two programs ship together.
    if (!args.empty() && args[0] == "--version") {
        std::puts("PelagoXcon " PELAGO_VERSION);
        return 0;
    }
    if (!args.empty() && args[0] == "mkfw") {
        sim::MkfwJob job;
        std::string error;
        if (!sim::parseMkfwArgs({args.begin() + 1, args.end()}, job, error)) {
            std::fprintf(stderr, "%s mkfw: %s\n%s", program.c_str(), error.c_str(), sim::usageText(program).c_str());
            return 2;
        }
        return sim::runMkfw(job, program);
    }
    return serve(args, program);
}
