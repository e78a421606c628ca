#include "PelagoXcon.h"

int main(int argc, char** argv)
{
    return pelagoMain(argc, argv);
}
