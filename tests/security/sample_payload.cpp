// A small program whose signed, re-signed and altered copies are the inputs
// of the signature-check tests. It is never signed by the build itself.
#include <cstdio>

int main(int argc, char** argv) {
    std::printf("%s: %d argument(s)\n", argc > 0 ? argv[0] : "sample_payload", argc - 1);
    return 0;
}
