// Table-driven command-line parser over the platform's getopt_long.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Whether an option takes an argument.
enum ArgHas : uint32_t {
    ArgNone = 0,
    ArgOptional = 1,  // recognised only when attached: -xVAL or --name=VAL
    ArgRequired = 2,
};

// How a parsed argument is stored.
enum ArgType : uint32_t {
    ArgInt = 0,     // strtol base 0 into *intPtr, no error check
    ArgString = 1,  // copied into *strPtr
};

struct OptArg {
    ArgHas has;
    ArgType type;
    const char* name;  // display name in the usage listing, or null
    union {
        void* voidPtr;
        int* intPtr;
        std::string* strPtr;
    } value;  // where the argument goes, or null
};

// One row of an option table.
struct Option {
    char letter;
    const char* name;  // long name without the leading "--"
    bool* present;     // cleared before parsing, set when the option is met
    OptArg arg;
    const char* help;  // may hold '\n': further lines of the usage listing
};

class CmdOpts {
public:
    // Refers to argv and the table; copies and owns neither.
    CmdOpts(int argc, char** argv, int numOpts, Option* opts);
    virtual ~CmdOpts() {}

    // Parses the whole command line. Returns the argv index of the first
    // non-option argument (all of them stand from there to the end after
    // getopt_long's permutation), or -1 on an unknown option or a missing
    // required argument; getopt_long has then printed its diagnostic.
    int parse();

    // Writes the option listing, one entry per row, help texts from column 25.
    void usage(FILE* out) const;

    // Index of the first row with this letter; the row count when none has it.
    int find(char letter) const;

private:
    int _argc;
    char** _argv;
    int _numOpts;
    Option* _opts;
};
