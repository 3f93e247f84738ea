// The preview tool: runs the real helper on a simulated desktop and writes
// PNG screenshots of what its effects look like. See --help.
#include <iostream>
#include <string>
#include <vector>

#include "preview_run.h"

int main(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        args.emplace_back(argv[i]);
    }
    return kestra::preview::previewMain(args, std::cout, std::cerr);
}
