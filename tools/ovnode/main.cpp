// ovnode: the command-line window on the node space. See cli.h.
#include <iostream>
#include <string>
#include <vector>

#include "ovnode/cli.h"

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    std::vector<std::string> args(argv + 1, argv + argc);
    int status = ovnode::RunOvnode(args, std::cout, std::cerr);
    std::cout.flush();
    if (!std::cout) {
        std::cerr << "ovnode: cannot write the output\n";
        return ovnode::kExitFailure;
    }
    return status;
}
