// karst_store_copy: see store_copy.h and `karst_store_copy --help`.
#include "store/copy/store_copy.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    return karst::storecopy::runStoreCopy(args, std::cout, std::cerr);
}
