// The version record of each shipped program, read the way Explorer and
// installers read it.

#include <gtest/gtest.h>
#include <windows.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "expected_texts.h"
#include "module_resources.h"
#include "test_files.h"

namespace {

using qebtest::FromUtf8;

struct Program {
    const char* testName;
    const wchar_t* fileName;
    const wchar_t* internalName;
    const char* description;
};

const Program PROGRAMS[] = {
    {"Service", L"QEBCoreService.exe", L"QEBCoreService", QEB_EXPECT_DISPLAY_NAME_EN},
    {"Container", L"QEBCoreContainer.exe", L"QEBCoreContainer", QEB_EXPECT_CONTAINER_DESCRIPTION},
};

void PrintTo(const Program& program, std::ostream* os) { *os << program.testName; }

std::optional<std::vector<BYTE>> ReadVersionInfo(const std::wstring& path, DWORD* error) {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) {
        *error = ::GetLastError();
        return std::nullopt;
    }
    std::vector<BYTE> info(size);
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, info.data())) {
        *error = ::GetLastError();
        return std::nullopt;
    }
    return info;
}

std::optional<std::wstring> QueryString(std::vector<BYTE>& info, const wchar_t* key) {
    const std::wstring subBlock = std::wstring(L"\\StringFileInfo\\040904B0\\") + key;
    void* value = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(info.data(), subBlock.c_str(), &value, &length) || value == nullptr) return std::nullopt;
    std::wstring text(static_cast<const wchar_t*>(value), length);
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    return text;
}

class VersionRecord : public ::testing::TestWithParam<Program> {
protected:
    void SetUp() override {
        DWORD error = 0;
        m_info = ReadVersionInfo(qebtest::ExeDirectory() + GetParam().fileName, &error);
        ASSERT_TRUE(m_info.has_value()) << "no version record, error " << error;
    }

    std::optional<std::vector<BYTE>> m_info;
};

TEST_P(VersionRecord, FixedPartCarriesTheProjectVersionAndBuildKind) {
    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(m_info->data(), L"\\", &value, &length));
    ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);

    const DWORD expectedMs = MAKELONG(QEB_EXPECT_MINOR, QEB_EXPECT_MAJOR);
    const DWORD expectedLs = MAKELONG(QEB_EXPECT_TWEAK, QEB_EXPECT_PATCH);
    EXPECT_EQ(fixed->dwFileVersionMS, expectedMs);
    EXPECT_EQ(fixed->dwFileVersionLS, expectedLs);
    EXPECT_EQ(fixed->dwProductVersionMS, expectedMs);
    EXPECT_EQ(fixed->dwProductVersionLS, expectedLs);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
    EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS_NT_WINDOWS32));

    const bool bPrivate = (fixed->dwFileFlags & fixed->dwFileFlagsMask & VS_FF_PRIVATEBUILD) != 0;
    EXPECT_EQ(bPrivate, QEB_EXPECT_DEV_BUILD == 1);
}

TEST_P(VersionRecord, StringsNameTheProductAndTheFile) {
    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(m_info->data(), L"\\VarFileInfo\\Translation", &value, &length));
    ASSERT_GE(length, 4u);
    const auto* translation = static_cast<const WORD*>(value);
    EXPECT_EQ(translation[0], 0x0409);
    EXPECT_EQ(translation[1], 1200);

    const std::wstring version = FromUtf8(QEB_EXPECT_VERSION_TEXT);
    const struct {
        const wchar_t* key;
        std::wstring expected;
    } table[] = {
        {L"CompanyName", FromUtf8(QEB_EXPECT_COMPANY)},
        {L"ProductName", FromUtf8(QEB_EXPECT_PRODUCT)},
        {L"FileVersion", version},
        {L"ProductVersion", version},
        {L"OriginalFilename", GetParam().fileName},
        {L"InternalName", GetParam().internalName},
        {L"FileDescription", FromUtf8(GetParam().description)},
    };
    for (const auto& row : table) {
        const std::optional<std::wstring> text = QueryString(*m_info, row.key);
        ASSERT_TRUE(text.has_value()) << "missing " << std::string(row.key, row.key + wcslen(row.key));
        EXPECT_EQ(*text, row.expected) << std::string(row.key, row.key + wcslen(row.key));
    }

    const std::optional<std::wstring> copyright = QueryString(*m_info, L"LegalCopyright");
    ASSERT_TRUE(copyright.has_value());
    EXPECT_NE(copyright->find(FromUtf8(QEB_EXPECT_COMPANY)), std::wstring::npos);
}

TEST_P(VersionRecord, OnlyADevelopmentBuildSaysSo) {
    const std::wstring note = FromUtf8(QEB_EXPECT_DEV_NOTE);
    for (const wchar_t* key : {L"PrivateBuild", L"Comments"}) {
        const std::optional<std::wstring> text = QueryString(*m_info, key);
        if (QEB_EXPECT_DEV_BUILD) {
            ASSERT_TRUE(text.has_value());
            EXPECT_EQ(*text, note);
        } else {
            EXPECT_FALSE(text.has_value());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Programs, VersionRecord, ::testing::ValuesIn(PROGRAMS),
                         [](const ::testing::TestParamInfo<Program>& info) { return std::string(info.param.testName); });

}  // namespace
