// The MSI package installed and removed with msiexec /qn under the real
// Windows Installer and Service Control Manager of the prefix. Meant for a
// test prefix or machine: every case first removes any installed QEBCore,
// its service and its install folder, logs included.

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "expected_package.h"
#include "installed_product.h"
#include "msiexec_run.h"
#include "package_copy.h"
#include "process_list.h"
#include "qebcore_security.h"
#include "scm_client.h"
#include "test_files.h"

namespace {

using namespace qebtest;

constexpr DWORD MSIEXEC_TIMEOUT_MS = 120000;
constexpr DWORD SERVICE_RUNNING_TIMEOUT_MS = 15000;
constexpr DWORD GONE_TIMEOUT_MS = 10000;
constexpr DWORD CLEANUP_TIMEOUT_MS = 5000;
constexpr size_t LOG_TAIL_CHARS = 3000;

const wchar_t* const SERVICE_EXE = L"QEBCoreService.exe";
const wchar_t* const CONTAINER_EXE = L"QEBCoreContainer.exe";

std::wstring Unquoted(std::wstring text) {
    if (text.size() >= 2 && text.front() == L'"' && text.back() == L'"') text = text.substr(1, text.size() - 2);
    return text;
}

bool SameText(const std::wstring& a, const std::wstring& b) {
    return _wcsicmp(a.c_str(), b.c_str()) == 0;
}

// A text field of a configuration record; null reads as empty.
std::wstring Text(const wchar_t* text) { return text != nullptr ? text : L""; }

// Both queries are documented to need at most 8 KB.
constexpr DWORD CONFIG_BUFFER_BYTES = 8192;

// QueryServiceConfigW (level 0) or one level of QueryServiceConfig2W into a
// buffer; empty if it failed. The record's texts point into the buffer, so
// it is moved out, never copied.
std::vector<BYTE> QueryConfig(SC_HANDLE hService, DWORD level = 0) {
    std::vector<BYTE> buffer(CONFIG_BUFFER_BYTES);
    const DWORD size = static_cast<DWORD>(buffer.size());
    DWORD needed = 0;
    const BOOL bQueried =
        level == 0 ? ::QueryServiceConfigW(hService, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()), size, &needed)
                   : ::QueryServiceConfig2W(hService, level, buffer.data(), size, &needed);
    if (!bQueried) buffer.clear();
    return buffer;
}

::testing::AssertionResult HasNoRecoveryActionsInRegistry() {
    const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\" + FromUtf8(QEB_EXPECT_SERVICE_NAME);
    HKEY hKey = nullptr;
    const LSTATUS opened = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, &hKey);
    if (opened != ERROR_SUCCESS) return ::testing::AssertionFailure() << "no service key, error " << opened;
    const LSTATUS queried = ::RegQueryValueExW(hKey, L"FailureActions", nullptr, nullptr, nullptr, nullptr);
    ::RegCloseKey(hKey);
    if (queried == ERROR_FILE_NOT_FOUND) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "FailureActions present (" << queried << ")";
}

class MsiPackageTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_msi = BuildPathToWindows(QEB_MSI_FILE);
        ASSERT_TRUE(IsFile(m_msi)) << "no package at " << Narrow(m_msi);
        m_folder = InstallFolder(FromUtf8(QEB_EXPECT_COMPANY), FromUtf8(QEB_EXPECT_PRODUCT));
        ASSERT_FALSE(m_folder.empty());
        wchar_t temp[MAX_PATH] = {};
        ::GetTempPathW(MAX_PATH, temp);
        m_logStem = std::wstring(temp) + L"qeb-msi-" + std::to_wstring(::GetCurrentProcessId());
        RemoveLeftovers();
    }

    void TearDown() override {
        if (HasFailure()) {
            std::cout << "---- service log ----\n"
                      << FileTail(m_folder + L"\\logs\\QEBCoreService.log", LOG_TAIL_CHARS) << "\n";
        }
        RemoveLeftovers();
        ::DeleteFileW((m_logStem + L"-install.log").c_str());
        ::DeleteFileW((m_logStem + L"-remove.log").c_str());
    }

    // Whatever an earlier run or another test left: installed packages of the
    // product, a service of that name, containers, and the install folder
    // with the logs the service wrote there.
    void RemoveLeftovers() {
        std::vector<std::wstring> products = InstalledProducts(FromUtf8(QEB_EXPECT_UPGRADE_CODE));
        for (const std::wstring& product : InstalledProductsNamed(FromUtf8(QEB_EXPECT_PRODUCT), FromUtf8(QEB_EXPECT_COMPANY))) {
            products.push_back(product);
        }
        for (const std::wstring& product : products) {
            if (ProductState(product) != INSTALLSTATE_DEFAULT) continue;  // named twice
            RunMsiexec(L"/x " + product + L" /qn", m_logStem + L"-leftover.log", MSIEXEC_TIMEOUT_MS);
        }
        ::DeleteFileW((m_logStem + L"-leftover.log").c_str());
        qeb::scm::RemoveServiceQuietly(CLEANUP_TIMEOUT_MS);
        qeb::scm::TerminateProcesses(CONTAINER_EXE, CLEANUP_TIMEOUT_MS);
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
        std::filesystem::remove(std::filesystem::path(m_folder).parent_path(), ignored);  // only if empty
    }

    // msiexec with a verbose log; the log's tail goes into a failure message.
    ::testing::AssertionResult Msiexec(const wchar_t* action, const wchar_t* logName, DWORD* elapsedMs = nullptr) {
        const std::wstring log = m_logStem + logName;
        const ULONGLONG start = ::GetTickCount64();
        const std::optional<DWORD> exitCode =
            RunMsiexec(std::wstring(action) + L" \"" + m_msi + L"\" /qn", log, MSIEXEC_TIMEOUT_MS);
        if (elapsedMs != nullptr) *elapsedMs = static_cast<DWORD>(::GetTickCount64() - start);
        if (exitCode && *exitCode == ERROR_SUCCESS) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "msiexec " << Narrow(action) << " "
               << (exitCode ? "exited " + std::to_string(*exitCode) : std::string("did not run or end")) << "\n"
               << FileTail(log, LOG_TAIL_CHARS);
    }

    // After an install: the service reports running and has started the
    // container; returns the service's process id (0 if not).
    DWORD WaitForRunningServiceAndContainer() {
        SERVICE_STATUS_PROCESS status = {};
        const bool bRunning = WaitFor(
            [&status] {
                return qeb::scm::QueryStatus(&status) == ERROR_SUCCESS && status.dwCurrentState == SERVICE_RUNNING;
            },
            SERVICE_RUNNING_TIMEOUT_MS);
        EXPECT_TRUE(bRunning) << "service state " << qeb::scm::ServiceStateName(status.dwCurrentState);
        if (!bRunning) return 0;
        const DWORD servicePid = status.dwProcessId;
        const bool bContainer = WaitFor(
            [servicePid] {
                for (const RunningProcess& p : ProcessesNamed(CONTAINER_EXE)) {
                    if (p.parentId == servicePid) return true;
                }
                return false;
            },
            SERVICE_RUNNING_TIMEOUT_MS);
        EXPECT_TRUE(bContainer) << "no container started by service process " << servicePid;
        return bContainer ? servicePid : 0;
    }

    std::wstring m_msi;
    std::wstring m_folder;
    std::wstring m_logStem;
};

TEST_F(MsiPackageTest, InstallRegistersAnAutoStartLocalSystemServiceAndStartsIt) {
    DWORD elapsedMs = 0;
    ASSERT_TRUE(Msiexec(L"/i", L"-install.log", &elapsedMs));
    std::cout << "msiexec /i took " << elapsedMs << " ms\n";

    EXPECT_TRUE(IsFile(m_folder + L"\\" + SERVICE_EXE));
    EXPECT_TRUE(IsFile(m_folder + L"\\" + CONTAINER_EXE));
    EXPECT_EQ(InstalledProducts(FromUtf8(QEB_EXPECT_UPGRADE_CODE)).size(), 1u);

    DWORD error = 0;
    const qeb::scm::ServiceHandle service =
        qeb::scm::OpenNamedService(SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS, &error);
    ASSERT_TRUE(service) << "OpenServiceW error " << error;

    const std::vector<BYTE> raw = QueryConfig(service.get());
    ASSERT_FALSE(raw.empty()) << "QueryServiceConfigW error " << ::GetLastError();
    const auto* config = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(raw.data());
    EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    const std::wstring account = Text(config->lpServiceStartName), binaryPath = Text(config->lpBinaryPathName);
    EXPECT_TRUE(SameText(account, L"LocalSystem")) << Narrow(account);
    EXPECT_TRUE(SameText(Unquoted(binaryPath), m_folder + L"\\" + SERVICE_EXE)) << Narrow(binaryPath);
    EXPECT_EQ(Text(config->lpDisplayName), FromUtf8(QEB_EXPECT_DISPLAY_NAME));

    const std::vector<BYTE> description = QueryConfig(service.get(), SERVICE_CONFIG_DESCRIPTION);
    ASSERT_FALSE(description.empty()) << "QueryServiceConfig2W(description) error " << ::GetLastError();
    EXPECT_EQ(Text(reinterpret_cast<const SERVICE_DESCRIPTIONW*>(description.data())->lpDescription),
              FromUtf8(QEB_EXPECT_DESCRIPTION));

    // The service restarts its container itself; the SCM must not restart
    // the service.
    const std::vector<BYTE> failure = QueryConfig(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS);
    if (!failure.empty()) {
        EXPECT_EQ(reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(failure.data())->cActions, 0u);
    } else {
        // Wine does not answer this level (124); the SCM keeps recovery
        // actions in the service's registry key, so look there.
        ASSERT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
        EXPECT_TRUE(HasNoRecoveryActionsInRegistry());
    }

    const DWORD servicePid = WaitForRunningServiceAndContainer();
    ASSERT_NE(servicePid, 0u);
    EXPECT_TRUE(SameText(ProcessImagePath(servicePid), m_folder + L"\\" + SERVICE_EXE))
        << Narrow(ProcessImagePath(servicePid));
    for (const RunningProcess& p : ProcessesNamed(CONTAINER_EXE)) {
        if (p.parentId != servicePid) continue;
        EXPECT_TRUE(SameText(ProcessImagePath(p.processId), m_folder + L"\\" + CONTAINER_EXE))
            << "the running container is not the installed one: " << Narrow(ProcessImagePath(p.processId));
    }
}

TEST_F(MsiPackageTest, UninstallRemovesServiceProgramsAndProcessesButKeepsTheLogs) {
    ASSERT_TRUE(Msiexec(L"/i", L"-install.log"));
    ASSERT_NE(WaitForRunningServiceAndContainer(), 0u);
    const std::wstring log = m_folder + L"\\logs\\QEBCoreService.log";
    ASSERT_TRUE(WaitFor([&log] { return IsFile(log); }, SERVICE_RUNNING_TIMEOUT_MS)) << "the service wrote no log";

    DWORD elapsedMs = 0;
    ASSERT_TRUE(Msiexec(L"/x", L"-remove.log", &elapsedMs));
    std::cout << "msiexec /x took " << elapsedMs << " ms\n";

    DWORD error = 0;
    const bool bServiceGone = WaitFor(
        [&error] {
            qeb::scm::OpenNamedService(SERVICE_QUERY_STATUS, &error);
            return error == ERROR_SERVICE_DOES_NOT_EXIST;
        },
        GONE_TIMEOUT_MS);
    EXPECT_TRUE(bServiceGone) << "OpenServiceW still gives " << error;

    // The service leaves its container running when stopped; the package
    // ends it, or its file could not be removed on Windows.
    EXPECT_TRUE(WaitFor([] { return ProcessesNamed(SERVICE_EXE).empty(); }, GONE_TIMEOUT_MS))
        << "a QEBCoreService.exe process still runs";
    EXPECT_TRUE(WaitFor([] { return ProcessesNamed(CONTAINER_EXE).empty(); }, GONE_TIMEOUT_MS))
        << "a QEBCoreContainer.exe process still runs";

    EXPECT_FALSE(IsFile(m_folder + L"\\" + SERVICE_EXE));
    EXPECT_FALSE(IsFile(m_folder + L"\\" + CONTAINER_EXE));
    EXPECT_TRUE(InstalledProducts(FromUtf8(QEB_EXPECT_UPGRADE_CODE)).empty());
    // The package removes only what it installed: the service's logs stay.
    EXPECT_TRUE(IsFile(log));
}

TEST_F(MsiPackageTest, InstallingARebuiltPackageReplacesTheEarlierOne) {
    // Every build of the package carries a new product code. Installing one
    // over another of the same version must replace it, not add a second
    // product that shares its files and keeps them at uninstall.
    ASSERT_TRUE(Msiexec(L"/i", L"-install.log"));
    const std::vector<std::wstring> before = InstalledProducts(FromUtf8(QEB_EXPECT_UPGRADE_CODE));
    ASSERT_EQ(before.size(), 1u);
    ASSERT_NE(WaitForRunningServiceAndContainer(), 0u);

    const std::wstring rebuilt = m_logStem + L"-rebuilt.msi";
    const std::wstring productCode = MakeRebuiltCopy(m_msi, rebuilt);
    ASSERT_FALSE(productCode.empty());
    const std::wstring original = m_msi;
    m_msi = rebuilt;
    const ::testing::AssertionResult installed = Msiexec(L"/i", L"-install.log");
    m_msi = original;
    ::DeleteFileW(rebuilt.c_str());
    ASSERT_TRUE(installed);

    EXPECT_EQ(ProductState(before[0]), INSTALLSTATE_UNKNOWN) << "the earlier package is still installed";
    EXPECT_EQ(ProductState(productCode), INSTALLSTATE_DEFAULT);
    EXPECT_EQ(InstalledProductsNamed(FromUtf8(QEB_EXPECT_PRODUCT), FromUtf8(QEB_EXPECT_COMPANY)).size(), 1u);
    if (!RunningUnderWine()) {
        // Wine drops the upgrade code's registration along with the earlier
        // product (docs/wine-notes.md).
        const std::vector<std::wstring> after = InstalledProducts(FromUtf8(QEB_EXPECT_UPGRADE_CODE));
        ASSERT_EQ(after.size(), 1u);
        EXPECT_TRUE(SameText(after[0], productCode)) << Narrow(after[0]);
    }
    EXPECT_TRUE(IsFile(m_folder + L"\\" + SERVICE_EXE));
    EXPECT_TRUE(IsFile(m_folder + L"\\" + CONTAINER_EXE));
    EXPECT_NE(WaitForRunningServiceAndContainer(), 0u);
    EXPECT_EQ(ProcessesNamed(SERVICE_EXE).size(), 1u);
}

TEST_F(MsiPackageTest, PackageIsSignedByTheBuildIdentity) {
    const std::optional<std::string> narrow = ToAnsi(m_msi);
    ASSERT_TRUE(narrow.has_value());
    EXPECT_TRUE(VerifyEmbeddedSignature(narrow->c_str()));
}

}  // namespace
