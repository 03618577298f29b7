// The signed MSI package installed and removed with msiexec /qn, as an
// administrator would, under the real Windows Installer and Service Control
// Manager of the prefix.

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "process_list.h"
#include "qebcore_security.h"
#include "scm_client.h"
#include "service_files.h"

namespace {

using namespace qebtest;

::testing::AssertionResult Msiexec(const std::wstring& action) {
    std::wstring package = QEB_MSI_FILE;
    if (package[0] == L'/') package = L"Z:" + package;  // a Unix path, as Wine sees it
    for (wchar_t& c : package) c = c == L'/' ? L'\\' : c;
    wchar_t system[MAX_PATH] = {};
    ::GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring exe = std::wstring(system) + L"\\msiexec.exe";
    std::wstring commandLine = L"\"" + exe + L"\" " + action + L" \"" + package + L"\" /qn";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return ::testing::AssertionFailure() << "msiexec not started: " << ::GetLastError();
    DWORD exitCode = ~0u;
    if (::WaitForSingleObject(info.hProcess, 120000) == WAIT_OBJECT_0) ::GetExitCodeProcess(info.hProcess, &exitCode);
    ::CloseHandle(info.hThread);
    ::CloseHandle(info.hProcess);
    if (exitCode == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "msiexec " << action << " exited " << exitCode;
}

// Signed by the pinned publisher (the build's last touches to the image come
// before its signature), version record, icon group, the service's
// description strings, and a manifest the loader accepts.
void ExpectShippedImage(const std::wstring& exe, bool bStrings) {
    char narrow[MAX_PATH] = {};
    ::WideCharToMultiByte(CP_THREAD_ACP, 0, exe.c_str(), -1, narrow, MAX_PATH, nullptr, nullptr);
    EXPECT_TRUE(VerifyEmbeddedSignature(narrow) && VerifyVelantDigitalSignature(exe.c_str())) << exe;
    const HMODULE module = ::LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr) << exe;
    EXPECT_NE(::FindResourceW(module, MAKEINTRESOURCEW(1), RT_VERSION), nullptr) << exe;
    bool bIcon = false;
    ::EnumResourceNamesW(module, RT_GROUP_ICON, [](HMODULE, LPCWSTR, LPWSTR, LONG_PTR found) {
        return *reinterpret_cast<bool*>(found) = true, FALSE;
    }, reinterpret_cast<LONG_PTR>(&bIcon));
    EXPECT_TRUE(bIcon) << exe;
    for (const UINT id : {102u, 103u}) {
        const wchar_t* text = nullptr;
        EXPECT_EQ(::LoadStringW(module, id, reinterpret_cast<LPWSTR>(&text), 0) > 0, bStrings) << id;
    }
    ::FreeLibrary(module);
    ACTCTXW context = {};
    context.cbSize = sizeof context;
    context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    context.lpSource = exe.c_str();
    context.lpResourceName = MAKEINTRESOURCEW(1);
    const HANDLE activation = ::CreateActCtxW(&context);
    EXPECT_NE(activation, INVALID_HANDLE_VALUE) << exe << " manifest: " << ::GetLastError();
    if (activation != INVALID_HANDLE_VALUE) ::ReleaseActCtx(activation);
}

TEST(MsiPackage, InstallRunsTheServiceAndRemovalLeavesNothingBehind) {
    qeb::scm::RemoveServiceQuietly(10000);
    Msiexec(L"/x");  // an earlier run's install, if any
    ASSERT_TRUE(Msiexec(L"/i"));
    EXPECT_TRUE(qeb::scm::WaitForServiceState(SERVICE_RUNNING, 15000));
    EXPECT_TRUE(WaitUntil([] { return !qeb::scm::FindProcessIds(qeb::scm::kContainerFileName).empty(); }, 15000));

    // The folder the running service was started from.
    SERVICE_STATUS_PROCESS status = {};
    ASSERT_EQ(qeb::scm::QueryStatus(&status), 0u);
    const HANDLE service = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, status.dwProcessId);
    wchar_t image[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    ASSERT_TRUE(service != nullptr && ::QueryFullProcessImageNameW(service, 0, image, &size));
    ::CloseHandle(service);
    std::wstring folder(image);
    folder.resize(folder.find_last_of(L'\\') + 1);
    ExpectShippedImage(folder + L"QEBCoreService.exe", true);
    ExpectShippedImage(folder + L"QEBCoreContainer.exe", false);

    ASSERT_TRUE(Msiexec(L"/x"));
    DWORD error = 0;
    EXPECT_TRUE(WaitUntil([&error] {
        qeb::scm::OpenNamedService(SERVICE_QUERY_STATUS, &error);
        return error == ERROR_SERVICE_DOES_NOT_EXIST;
    }, 10000)) << error;
    EXPECT_TRUE(WaitUntil([] {
        return qeb::scm::FindProcessIds(qeb::scm::kContainerFileName).empty() &&
               qeb::scm::FindProcessIds(L"QEBCoreService.exe").empty();
    }, 10000));
    for (const wchar_t* file : {L"QEBCoreService.exe", L"QEBCoreContainer.exe"}) {
        EXPECT_EQ(::GetFileAttributesW((folder + file).c_str()), INVALID_FILE_ATTRIBUTES) << folder + file;
    }
}

}  // namespace
