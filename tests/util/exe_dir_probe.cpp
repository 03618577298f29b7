// Writes what GetExeDirectory returns, bracketed, into the file named by its
// only argument, so a test can run it from unusual places.
#include <cstdio>

#include "path_utils.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    std::FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr) return 3;
    const std::string dir = qeb::GetExeDirectory();
    std::fprintf(out, "[%s]", dir.c_str());
    std::fclose(out);
    return 0;
}
