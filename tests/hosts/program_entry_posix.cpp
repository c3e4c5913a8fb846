#include "tests/hosts/program_entry.h"

int main(int argc, char** argv) {
    return programMain(platform::commandLineArguments(argc, argv));
}
