// Opens the log beside its own executable and stores the line given on its
// command line.
#include "qebcore_log.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    initQebLog(1, 2);
    initQebLog(1, 2);  // a second call must leave the first in place
    QEBLOGI("service", argv[1]);
    FlushQebLogFile();
    return 0;
}
