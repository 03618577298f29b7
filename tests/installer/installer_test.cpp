// The signed MSI packages installed, upgraded and removed with msiexec /qn,
// as an administrator would, under the real Windows Installer and Service
// Control Manager of the prefix.

#include <windows.h>
#include <gtest/gtest.h>
#include <msi.h>
#include <msiquery.h>
#include <psapi.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "process_list.h"
#include "qebcore_security.h"
#include "scm_client.h"
#include "strict_text.h"
#include "test_kit.h"
#include "unique_handle.h"

namespace {

using namespace kit;

// A Unix path as Wine sees it; anything else (a product code) as it is.
std::wstring WinePath(std::wstring path) {
    if (path[0] == L'/') path = L"Z:" + path;
    for (wchar_t& c : path) c = c == L'/' ? L'\\' : c;
    return path;
}

::testing::AssertionResult Msiexec(const std::wstring& action, std::wstring package = QEB_MSI_FILE) {
    package = WinePath(package);
    wchar_t system[MAX_PATH] = {};
    ::GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring exe = std::wstring(system) + L"\\msiexec.exe";
    DWORD exitCode = ~0u;
    if (kit::StartProgram(exe, L" " + action + L" \"" + package + L"\" /qn", &exitCode, 120000, 0) == 0)
        return ::testing::AssertionFailure() << "msiexec not started: " << ::GetLastError();
    if (exitCode == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "msiexec " << action << " exited " << exitCode;
}

// Every installed package of the product, whichever build made it (each
// build gives its packages new product codes): what an earlier run left.
void RemoveEveryInstall() {
    std::vector<std::wstring> products;
    wchar_t code[39] = {};
    for (DWORD i = 0; ::MsiEnumProductsW(i, code) == ERROR_SUCCESS; ++i) {
        wchar_t name[64] = {};
        DWORD size = 64;
        if (::MsiGetProductInfoW(code, INSTALLPROPERTY_INSTALLEDPRODUCTNAME, name, &size) == ERROR_SUCCESS &&
            std::wstring(name) == L"QEBCore")
            products.emplace_back(code);
    }
    for (const std::wstring& product : products) Msiexec(L"/x", product);
}

// The file version in the version record of a running process's image, read
// from the process's memory (so from the image that runs, whatever lies on
// disk); 0 when it cannot be read.
ULONGLONG RunningVersion(DWORD processId) {
    const qeb::UniqueHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
    HMODULE image = nullptr;
    DWORD needed = 0;
    MODULEINFO info = {};
    if (!process || !::EnumProcessModules(process.get(), &image, sizeof image, &needed) ||
        !::GetModuleInformation(process.get(), image, &info, sizeof info)) {
        return 0;
    }
    std::vector<char> bytes(info.SizeOfImage);
    SIZE_T got = 0;
    ::ReadProcessMemory(process.get(), info.lpBaseOfDll, bytes.data(), bytes.size(), &got);
    static const wchar_t key[] = L"VS_VERSION_INFO";
    const char* const end = bytes.data() + got;
    for (const char* at = bytes.data(); at + sizeof key + 4 + sizeof(VS_FIXEDFILEINFO) <= end; at += 2) {
        if (std::memcmp(at, key, sizeof key) != 0) continue;
        const char* fixed = at + sizeof key;
        fixed += (4 - (fixed - bytes.data()) % 4) % 4;  // the record is 32-bit aligned
        VS_FIXEDFILEINFO version;
        std::memcpy(&version, fixed, sizeof version);
        if (version.dwSignature == VS_FFI_SIGNATURE)
            return (static_cast<ULONGLONG>(version.dwFileVersionMS) << 32) | version.dwFileVersionLS;
    }
    return 0;
}

// Every process of that name runs an image of `version`; at least one.
bool AllRunVersion(const wchar_t* exeName, ULONGLONG version) {
    const std::vector<DWORD> ids = qeb::scm::FindProcessIds(exeName);
    for (const DWORD id : ids) {
        if (RunningVersion(id) != version) return false;
    }
    return !ids.empty();
}

// The running service's process (one SYNCHRONIZE handle) and its folder.
qeb::UniqueHandle RunningService(std::wstring* folder) {
    SERVICE_STATUS_PROCESS status = {};
    if (qeb::scm::QueryStatus(&status) != 0) return {};
    qeb::UniqueHandle service(
        ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, status.dwProcessId));
    wchar_t image[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    if (!service || !::QueryFullProcessImageNameW(service.get(), 0, image, &size)) return {};
    *folder = image;
    folder->resize(folder->find_last_of(L'\\') + 1);
    return service;
}

constexpr wchar_t EVENT_SOURCE_KEY[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\QEBCoreService";
constexpr wchar_t LOCAL_DUMPS_KEY[] =
    L"SOFTWARE\\Microsoft\\Windows\\Windows Error Reporting\\LocalDumps\\QEBCoreService.exe";

// The values the package writes under `key` as "name=value;" for each one
// there; "no key" when the key itself is gone.
std::wstring KeyValues(const wchar_t* key, std::initializer_list<const wchar_t*> names) {
    qeb::UniqueRegistryKey opened;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ | KEY_WOW64_64KEY, opened.put()) != ERROR_SUCCESS)
        return L"no key";
    std::wstring text;
    for (const wchar_t* name : names) {
        wchar_t value[MAX_PATH] = {};
        DWORD size = sizeof value, type = 0;
        if (::RegGetValueW(opened.get(), nullptr, name,
                           RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND | RRF_RT_REG_DWORD, &type, value,
                           &size) == ERROR_SUCCESS)
            text += name +
                    (L"=" +
                     (type == REG_DWORD ? std::to_wstring(value[0] | (static_cast<DWORD>(value[1]) << 16)) : value)) +
                    L";";
    }
    return text;
}

// Whether the package deletes `key` at removal: its Registry row named "-".
// Wine's msi deletes a key it emptied by itself, Windows Installer only for
// that row (docs/wine-notes.md), so removal alone cannot show it here.
bool PackageDeletesKey(const wchar_t* key) {
    // wixl ends every key in a backslash.
    const std::wstring query =
        L"SELECT `Name` FROM `Registry` WHERE `Key`='" + std::wstring(key) + L"\\' AND `Name`='-'";
    PMSIHANDLE database, view, record;
    return ::MsiOpenDatabaseW(WinePath(QEB_MSI_FILE).c_str(), MSIDBOPEN_READONLY, &database) == ERROR_SUCCESS &&
           ::MsiDatabaseOpenViewW(database, query.c_str(), &view) == ERROR_SUCCESS &&
           ::MsiViewExecute(view, 0) == ERROR_SUCCESS && ::MsiViewFetch(view, &record) == ERROR_SUCCESS;
}

std::wstring EventSource() {
    return KeyValues(EVENT_SOURCE_KEY,
                     {L"EventMessageFile", L"CategoryMessageFile", L"CategoryCount", L"TypesSupported"});
}
std::wstring LocalDumps() { return KeyValues(LOCAL_DUMPS_KEY, {L"DumpFolder", L"DumpCount", L"DumpType"}); }

// What the Service Control Manager holds for the installed service, field
// by field, as "field=value;".
std::wstring ServiceConfiguration() {
    DWORD error = 0, needed = 0;
    const auto service = qeb::scm::OpenNamedService(SERVICE_QUERY_CONFIG, &error);
    ::QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed), text(4096);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    auto* description = reinterpret_cast<SERVICE_DESCRIPTIONW*>(text.data());
    if (needed < sizeof *config || !::QueryServiceConfigW(service.get(), config, needed, &needed) ||
        !::QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, text.data(), 4096, &needed))
        return L"not read: " + std::to_wstring(::GetLastError());
    std::wstring program = config->lpBinaryPathName;  // quoted by Windows Installer, not by Wine's
    program.erase(std::remove(program.begin(), program.end(), L'"'), program.end());
    return L"type=" + std::to_wstring(config->dwServiceType) + L";start=" + std::to_wstring(config->dwStartType) +
           L";error control=" + std::to_wstring(config->dwErrorControl) + L";account=" + config->lpServiceStartName +
           L";display name=" + config->lpDisplayName + L";description=" +
           (description->lpDescription != nullptr ? description->lpDescription : L"") + L";program=" + program + L";";
}

// What the package put in place passes both of the launch's checks: the
// build's last touches to an image come before its signature.
void ExpectShippedImage(const std::wstring& exe) {
    const std::string narrow = qeb::StrictNarrow(CP_THREAD_ACP, exe.c_str(), exe.size()).value_or("");
    EXPECT_TRUE(VerifyEmbeddedSignature(narrow.c_str()) && VerifyVelantDigitalSignature(exe.c_str())) << exe;
}

TEST(MsiPackage, InstallUpgradeOverAStuckServiceAndRemoval) {
    // An earlier package without the helper, as the releases before it.
    RemoveEveryInstall();
    qeb::scm::RemoveServiceQuietly(10000);
    qeb::scm::TerminateProcesses(qeb::scm::kContainerFileName, 5000);  // a stopped service leaves it running
    ASSERT_TRUE(Msiexec(L"/i", QEB_MSI_NO_HELPER_FILE));
    EXPECT_TRUE(qeb::scm::WaitForServiceState(SERVICE_RUNNING, 15000));
    EXPECT_TRUE(kit::WaitFor([] { return AllRunVersion(qeb::scm::kContainerFileName, QEB_MSI_VERSION); }, 15000));
    std::wstring folder;
    ASSERT_TRUE(RunningService(&folder));
    ExpectShippedImage(folder + L"QEBCoreService.exe");
    ExpectShippedImage(folder + L"QEBCoreContainer.exe");
    const std::wstring source = L"EventMessageFile=" + folder + L"QEBCoreService.exe;CategoryMessageFile=" + folder +
                                L"QEBCoreService.exe;CategoryCount=3;TypesSupported=7;";
    EXPECT_EQ(EventSource(), source);
    // Windows Error Reporting's backstop: its own count and type, a folder
    // only SYSTEM and the administrators may read.
    const std::wstring werFolder = folder + L"crashdumps\\";
    EXPECT_EQ(LocalDumps(), L"DumpFolder=" + werFolder + L";DumpCount=3;DumpType=2;");
    EXPECT_TRUE(kit::OnlySystemAndAdministrators(werFolder)) << kit::DaclText(werFolder);
    // What the package means to set: its own process, started with Windows,
    // a failure logged and the start going on, as LocalSystem.
    EXPECT_EQ(ServiceConfiguration(), L"type=16;start=2;error control=1;account=LocalSystem;display name=" +
                                          std::wstring(QEB_SERVICE_DISPLAY_NAME) +
                                          L";description=" QEB_SERVICE_DESCRIPTION L";program=" + folder +
                                          L"QEBCoreService.exe;");

    // Held in start pending, as by an expired signature: the container
    // changed by one byte, every launch is refused. Under Wine a stop would
    // still reach it; what ends it here is the new package's helper (its
    // exit code), before the earlier package's removal.
    SERVICE_STATUS stopped = {};
    ASSERT_EQ(qeb::scm::SendControl(SERVICE_CONTROL_STOP, &stopped), 0u);
    ASSERT_TRUE(qeb::scm::WaitForServiceState(SERVICE_STOPPED, 10000));
    qeb::scm::TerminateProcesses(qeb::scm::kContainerFileName, 5000);
    ASSERT_TRUE(std::fstream(std::filesystem::path(folder + L"QEBCoreContainer.exe"),
                             std::ios::in | std::ios::out | std::ios::binary)
                    .seekp(4096)
                    .put('x'));
    ASSERT_EQ(qeb::scm::StartNamedService(), 0u);
    const qeb::UniqueHandle firstService = RunningService(&folder);
    ASSERT_TRUE(firstService);
    const std::wstring log = folder + L"logs\\QEBCoreService.log";
    ASSERT_TRUE(LogFile(log).Has("E container server CreateContainerProcess failed(", 0, 15000)) << LogFile(log).Tail();
    SERVICE_STATUS_PROCESS held = {};
    EXPECT_TRUE(qeb::scm::QueryStatus(&held) == 0 && held.dwCurrentState == SERVICE_START_PENDING)
        << held.dwCurrentState;

    // The next release over it: no reboot asked for, the earlier service
    // ended, the new one and its container running, the log kept. The
    // helper ends the stuck service's process only: a process of the
    // service's name from another folder lives on.
    TempDir other(L"qeb_namesake");
    const std::wstring namesakeExe = (other.path / L"QEBCoreService.exe").wstring();
    ASSERT_TRUE(::CopyFileW((ExeDir() + qeb::scm::kContainerFileName).c_str(), namesakeExe.c_str(), FALSE));
    const DWORD namesake = StartProgram(namesakeExe);
    const uint64_t upgradeBegan = UtcNow();
    ASSERT_TRUE(Msiexec(L"/i", QEB_MSI_UPGRADE_FILE));
    EXPECT_TRUE(qeb::scm::IsProcessAlive(namesake)) << "the helper ended a process it did not find by the service";
    EXPECT_TRUE(qeb::scm::TerminateProcessId(namesake, 9, 5000));
    EXPECT_TRUE(qeb::scm::WaitForServiceState(SERVICE_RUNNING, 15000));
    EXPECT_TRUE(kit::WaitFor(
        [] {
            return AllRunVersion(L"QEBCoreService.exe", QEB_MSI_UPGRADE_VERSION) &&
                   AllRunVersion(qeb::scm::kContainerFileName, QEB_MSI_UPGRADE_VERSION);
        },
        15000))
        << qeb::scm::FindProcessIds(qeb::scm::kContainerFileName).size() << " containers";
    DWORD firstExit = 0;
    EXPECT_TRUE(::GetExitCodeProcess(firstService.get(), &firstExit) && firstExit == ERROR_SERVICE_REQUEST_TIMEOUT)
        << firstExit << ": not ended by the new package's helper";
    std::wstring upgradedFolder;
    const qeb::UniqueHandle upgraded = RunningService(&upgradedFolder);
    EXPECT_TRUE(upgraded && upgradedFolder == folder);
    // Run by hand on a service that accepts a stop, the helper leaves it alone.
    DWORD helperExit = ~0u;
    StartProgram(ExeDir() + L"QEBCoreStuckStop.exe", L" " + std::wstring(qeb::scm::kServiceName), &helperExit);
    EXPECT_EQ(helperExit, 0u);
    EXPECT_EQ(::WaitForSingleObject(upgraded.get(), 0), DWORD{WAIT_TIMEOUT}) << "the helper ended a running service";
    ExpectShippedImage(folder + L"QEBCoreService.exe");
    ExpectShippedImage(folder + L"QEBCoreContainer.exe");
    EXPECT_EQ(EventSource(), source);
    EXPECT_EQ(LocalDumps(), L"DumpFolder=" + werFolder + L";DumpCount=3;DumpType=2;");
    const std::vector<Record> records = LogFile(log).Records();
    EXPECT_TRUE(!records.empty() && records.front().utcMs < upgradeBegan && records.back().utcMs >= upgradeBegan)
        << Tail(records, 5);

    ASSERT_TRUE(Msiexec(L"/x", QEB_MSI_UPGRADE_FILE));
    DWORD error = 0;
    EXPECT_TRUE(kit::WaitFor(
        [&error] {
            qeb::scm::OpenNamedService(SERVICE_QUERY_STATUS, &error);
            return error == ERROR_SERVICE_DOES_NOT_EXIST;
        },
        10000))
        << error;
    EXPECT_TRUE(kit::WaitFor(
        [] {
            return qeb::scm::FindProcessIds(qeb::scm::kContainerFileName).empty() &&
                   qeb::scm::FindProcessIds(L"QEBCoreService.exe").empty();
        },
        10000));
    for (const wchar_t* file : {L"QEBCoreService.exe", L"QEBCoreContainer.exe"}) {
        EXPECT_EQ(::GetFileAttributesW((folder + file).c_str()), INVALID_FILE_ATTRIBUTES) << folder + file;
    }
    EXPECT_EQ(EventSource(), L"no key") << "event source left behind";
    EXPECT_EQ(LocalDumps(), L"no key") << "LocalDumps left behind";
    for (const wchar_t* key : {EVENT_SOURCE_KEY, LOCAL_DUMPS_KEY})
        EXPECT_TRUE(PackageDeletesKey(key)) << "Windows Installer would leave " << key;
    EXPECT_EQ(::GetFileAttributesW(werFolder.c_str()), INVALID_FILE_ATTRIBUTES) << werFolder;
}

}  // namespace
