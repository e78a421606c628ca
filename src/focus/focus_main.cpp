#include <cstdio>

#include "FocusTool.h"

int main(int argc, char** argv) {
    return focus::runFocusTool(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc), stdout, stderr);
}
