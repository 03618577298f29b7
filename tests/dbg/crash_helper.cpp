// Opens the log in the folder given on its command line, installs the crash
// filter and dereferences a null pointer.
//   crash_helper crash <log folder>          filter installed (twice)
//   crash_helper uninstalled <log folder>    installed, then removed (twice)
#include <windows.h>

#include <cstring>
#include <string>

#include "qebcore_dbg.h"
#include "qebcore_log.h"
#include "qebcore_log_sink.h"

namespace {

std::wstring Widen(const char* text) {
    const int size = ::MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(size > 0 ? size : 1), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), size);
    wide.resize(wide.size() - 1);
    return wide;
}

// Through a volatile pointer so that the compiler keeps the fault.
void Crash() {
    volatile int* volatile nowhere = nullptr;
    *nowhere = 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    if (!initQebLogAt(Widen(argv[2]).c_str(), 1 << 20, 1)) return 3;
    DbgSdkInit();
    DbgSdkInit();
    if (std::strcmp(argv[1], "uninstalled") == 0) {
        DbgSdkUnInit();
        DbgSdkUnInit();
    }
    QEBLOGI("service", "crash helper about to fault");
    Crash();
    return 0;
}
