#include "CmdOpts.h"

#include <getopt.h>

#include <cassert>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr size_t kColumnBufferSize = 40;  // the option column keeps at most 39 characters

int longOptionMode(ArgHas has)
{
    switch (has) {
    case ArgOptional: return optional_argument;
    case ArgRequired: return required_argument;
    default: return no_argument;
    }
}

void storeArgument(const OptArg& arg, const char* text)
{
    if (arg.value.voidPtr == nullptr)
        return;
    if (arg.type == ArgString)
        *static_cast<std::string*>(arg.value.voidPtr) = text;
    else
        *static_cast<int*>(arg.value.voidPtr) = static_cast<int>(std::strtol(text, nullptr, 0));
}

} // namespace

CmdOpts::CmdOpts(int argc, char** argv, int numOpts, Option* opts)
    : _argc(argc), _argv(argv), _numOpts(numOpts), _opts(opts)
{
}

int CmdOpts::parse()
{
    std::string shortOpts;
    shortOpts.reserve(3 * static_cast<size_t>(_numOpts) + 1);
    std::vector<option> longOpts(static_cast<size_t>(_numOpts) + 1);  // last entry all zero

    for (int i = 0; i < _numOpts; ++i) {
        Option& opt = _opts[i];
        *opt.present = false;
        shortOpts += opt.letter;
        if (opt.arg.has == ArgOptional)
            shortOpts += "::";
        else if (opt.arg.has == ArgRequired)
            shortOpts += ':';
        longOpts[i] = option{opt.name, longOptionMode(opt.arg.has), nullptr, 0};
    }

    // 0 asks getopt_long for a full restart, so a parser can run more than once per process.
    optind = 0;
    for (;;) {
        int longIndex = -1;
        int c = getopt_long(_argc, _argv, shortOpts.c_str(), longOpts.data(), &longIndex);
        if (c == -1)
            break;
        if (c == '?')
            return -1;
        int optIdx = (c == 0) ? longIndex : find(static_cast<char>(c));
        assert(optIdx >= 0 && optIdx < _numOpts);

        Option& opt = _opts[optIdx];
        *opt.present = true;
        if (opt.arg.has != ArgNone && optarg != nullptr)
            storeArgument(opt.arg, optarg);
    }
    return optind;
}

void CmdOpts::usage(FILE* out) const
{
    for (int i = 0; i < _numOpts; ++i) {
        const Option& opt = _opts[i];
        char column[kColumnBufferSize];
        switch (opt.arg.has) {
        case ArgOptional:
            std::snprintf(column, sizeof column, "  -%c, --%s[=%s]", opt.letter, opt.name, opt.arg.name);
            break;
        case ArgRequired:
            std::snprintf(column, sizeof column, "  -%c, --%s=%s", opt.letter, opt.name, opt.arg.name);
            break;
        default:
            std::snprintf(column, sizeof column, "  -%c, --%s", opt.letter, opt.name);
            break;
        }
        std::fprintf(out, "%-23s ", column);

        const char* text = opt.help;
        while (const char* newline = std::strchr(text, '\n')) {
            std::fwrite(text, 1, static_cast<size_t>(newline - text + 1), out);
            std::fprintf(out, "%24s", "");
            text = newline + 1;
        }
        std::fprintf(out, "%s\n", text);
    }
}

int CmdOpts::find(char letter) const
{
    for (int i = 0; i < _numOpts; ++i)
        if (_opts[i].letter == letter)
            return i;
    return _numOpts;
}
