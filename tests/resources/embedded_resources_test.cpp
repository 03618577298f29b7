// Service texts, manifest and icons of the shipped programs, read from the
// files in bin/ as an installer or Explorer would, and the signature that
// must still cover them.

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "expected_texts.h"
#include "module_resources.h"
#include "qebcore_security.h"
#include "resource_ids.h"
#include "test_files.h"

namespace {

using qebtest::DataModule;
using qebtest::FromUtf8;
using qebtest::ResourceBytes;

constexpr const wchar_t* SERVICE_EXE = L"QEBCoreService.exe";
constexpr const wchar_t* CONTAINER_EXE = L"QEBCoreContainer.exe";

// Strings live in blocks of 16; block n holds the identifiers 16(n-1)..16n-1.
constexpr WORD StringBlockOf(unsigned id) { return static_cast<WORD>(id / 16 + 1); }
constexpr size_t IndexInBlock(unsigned id) { return id % 16; }

// ---- service texts ---------------------------------------------------------

struct Language {
    const char* testName;
    WORD langId;
    const char* displayName;
    const char* description;
};

// The German texts have non-ASCII letters: a resource compiler that read the
// script in the wrong code page fails the exact comparison.
const Language LANGUAGES[] = {
    {"EnglishUS", MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), QEB_EXPECT_DISPLAY_NAME_EN, QEB_EXPECT_DESCRIPTION_EN},
    {"German", MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), QEB_EXPECT_DISPLAY_NAME_DE, QEB_EXPECT_DESCRIPTION_DE},
};

void PrintTo(const Language& language, std::ostream* os) { *os << language.testName; }

class ServiceTexts : public ::testing::TestWithParam<Language> {};

TEST_P(ServiceTexts, BlockInThatLanguageHoldsNameAndDescription) {
    static_assert(StringBlockOf(IDS_SERVICE_DISPLAY_NAME) == StringBlockOf(IDS_SERVICE_DESCRIPTION),
                  "both texts are read from one block");
    const DataModule module(qebtest::ExeDirectory() + SERVICE_EXE);
    ASSERT_NE(module.get(), nullptr) << "load error " << module.loadError();

    const auto block = ResourceBytes(module.get(), RT_STRING, MAKEINTRESOURCEW(StringBlockOf(IDS_SERVICE_DISPLAY_NAME)),
                                     GetParam().langId);
    ASSERT_TRUE(block.has_value()) << "no string block in language " << GetParam().langId;
    const auto strings = qebtest::ParseStringBlock(*block);
    ASSERT_TRUE(strings.has_value()) << "string block cut short";

    for (size_t i = 0; i < strings->size(); ++i) {
        if (i == IndexInBlock(IDS_SERVICE_DISPLAY_NAME)) {
            EXPECT_EQ((*strings)[i], FromUtf8(GetParam().displayName));
        } else if (i == IndexInBlock(IDS_SERVICE_DESCRIPTION)) {
            EXPECT_EQ((*strings)[i], FromUtf8(GetParam().description));
        } else {
            EXPECT_TRUE((*strings)[i].empty()) << "unexpected string at index " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Languages, ServiceTexts, ::testing::ValuesIn(LANGUAGES),
                         [](const ::testing::TestParamInfo<Language>& info) { return std::string(info.param.testName); });

TEST(ServiceTextsContainer, ContainerCarriesNoServiceTexts) {
    const DataModule module(qebtest::ExeDirectory() + CONTAINER_EXE);
    ASSERT_NE(module.get(), nullptr);
    EXPECT_FALSE(ResourceBytes(module.get(), RT_STRING, MAKEINTRESOURCEW(StringBlockOf(IDS_SERVICE_DISPLAY_NAME)),
                               MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US))
                     .has_value());
}

// ---- per program: manifest, icons, signature -------------------------------

class ShippedProgram : public ::testing::TestWithParam<const wchar_t*> {
protected:
    std::wstring Path() const { return qebtest::ExeDirectory() + GetParam(); }
};

TEST_P(ShippedProgram, LoaderAcceptsTheManifest) {
    // A manifest the loader rejects makes the program unstartable on Windows
    // ("side-by-side configuration is incorrect"); build the activation
    // context the loader would build and ask it what it understood.
    const std::wstring path = Path();
    ACTCTXW request = {};
    request.cbSize = sizeof request;
    request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    request.lpSource = path.c_str();
    request.lpResourceName = MAKEINTRESOURCEW(1);
    const HANDLE hActCtx = ::CreateActCtxW(&request);
    ASSERT_NE(hActCtx, INVALID_HANDLE_VALUE) << "CreateActCtxW error " << ::GetLastError();

    ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION runLevel = {};
    SIZE_T written = 0;
    const BOOL bRunLevel = ::QueryActCtxW(0, hActCtx, nullptr, RunlevelInformationInActivationContext, &runLevel,
                                          sizeof runLevel, &written);
    const DWORD runLevelError = bRunLevel ? 0 : ::GetLastError();

    // The element layout differs between Windows releases; look for the
    // GUID's bytes rather than walk the elements.
    std::vector<BYTE> compat(4096);
    const BOOL bCompat = ::QueryActCtxW(0, hActCtx, nullptr, CompatibilityInformationInActivationContext,
                                        compat.data(), compat.size(), &written);
    const DWORD compatError = bCompat ? 0 : ::GetLastError();
    compat.resize(bCompat ? written : 0);
    ::ReleaseActCtx(hActCtx);

    ASSERT_TRUE(bRunLevel) << "run level query error " << runLevelError;
    EXPECT_EQ(runLevel.RunLevel, ACTCTX_RUN_LEVEL_AS_INVOKER);
    EXPECT_EQ(runLevel.UiAccess, 0u);

    ASSERT_TRUE(bCompat) << "compatibility query error " << compatError;
    const GUID win10 = {0x8e0f7a12, 0xbfb3, 0x4fe8, {0xb9, 0xa5, 0x48, 0xfd, 0x50, 0xa1, 0x5a, 0x9a}};
    const auto* guidBytes = reinterpret_cast<const BYTE*>(&win10);
    EXPECT_NE(std::search(compat.begin(), compat.end(), guidBytes, guidBytes + sizeof win10), compat.end())
        << "Windows 10 not among the supported systems";
}

TEST_P(ShippedProgram, IconGroupHasFiveSizesThatWindowsCanDraw) {
    const DataModule module(Path());
    ASSERT_NE(module.get(), nullptr);
    auto group = ResourceBytes(module.get(), RT_GROUP_ICON, MAKEINTRESOURCEW(IDI_QEBCORE));
    ASSERT_TRUE(group.has_value()) << "no icon group " << IDI_QEBCORE;
    const auto entries = qebtest::ParseIconGroup(*group);
    ASSERT_TRUE(entries.has_value());

    std::vector<unsigned> widths;
    for (const auto& entry : *entries) widths.push_back(entry.width);
    std::sort(widths.begin(), widths.end());
    EXPECT_EQ(widths, (std::vector<unsigned>{0, 16, 24, 32, 48}));  // 0 stands for 256

    for (const auto& entry : *entries) {
        const unsigned side = entry.width == 0 ? 256 : entry.width;
        SCOPED_TRACE("icon " + std::to_string(side) + " px");
        EXPECT_EQ(entry.height, entry.width);
        EXPECT_EQ(entry.bitCount, 32u);

        auto image = ResourceBytes(module.get(), RT_ICON, MAKEINTRESOURCEW(entry.id));
        ASSERT_TRUE(image.has_value()) << "group names a missing RT_ICON " << entry.id;
        EXPECT_EQ(image->size(), entry.bytesInRes);
        if (side == 256) {
            const BYTE pngSignature[] = {0x89, 'P', 'N', 'G'};
            ASSERT_GE(image->size(), sizeof pngSignature);
            EXPECT_EQ(std::memcmp(image->data(), pngSignature, sizeof pngSignature), 0) << "256 px image is not PNG";
        }

        const HICON hIcon = ::CreateIconFromResourceEx(image->data(), static_cast<DWORD>(image->size()), TRUE,
                                                       0x00030000, static_cast<int>(side), static_cast<int>(side),
                                                       LR_DEFAULTCOLOR);
        ASSERT_NE(hIcon, nullptr) << "CreateIconFromResourceEx error " << ::GetLastError();
        ICONINFO info = {};
        ASSERT_TRUE(::GetIconInfo(hIcon, &info));
        BITMAP bitmap = {};
        const HBITMAP hShown = info.hbmColor != nullptr ? info.hbmColor : info.hbmMask;
        ASSERT_NE(::GetObjectW(hShown, sizeof bitmap, &bitmap), 0);
        EXPECT_EQ(bitmap.bmWidth, static_cast<LONG>(side));
        if (info.hbmColor != nullptr) ::DeleteObject(info.hbmColor);
        if (info.hbmMask != nullptr) ::DeleteObject(info.hbmMask);
        ::DestroyIcon(hIcon);
    }

    // Explorer picks the entry that fits the size it draws.
    for (const unsigned side : {16u, 32u, 48u}) {
        const int picked = ::LookupIconIdFromDirectoryEx(group->data(), TRUE, static_cast<int>(side),
                                                         static_cast<int>(side), LR_DEFAULTCOLOR);
        const auto match = std::find_if(entries->begin(), entries->end(),
                                        [side](const qebtest::IconGroupEntry& e) { return e.width == side; });
        ASSERT_NE(match, entries->end());
        EXPECT_EQ(picked, static_cast<int>(match->id)) << "for " << side << " px";
    }
}

TEST_P(ShippedProgram, SignatureCoversTheResources) {
    if (!QEB_EXPECT_SIGNED) GTEST_SKIP() << "this build does not sign its programs";
    // The resources are linked in before the program is signed; anything
    // added to the image afterwards would break the signature. Both checks
    // the service makes accept what the build signed.
    const std::wstring path = Path();
    const std::optional<std::string> narrow = qebtest::ToAnsi(path);
    ASSERT_TRUE(narrow.has_value());
    EXPECT_TRUE(VerifyEmbeddedSignature(narrow->c_str())) << qebtest::Narrow(path);
    EXPECT_TRUE(VerifyVelantDigitalSignature(path.c_str())) << qebtest::Narrow(path);
}

INSTANTIATE_TEST_SUITE_P(Programs, ShippedProgram, ::testing::Values(SERVICE_EXE, CONTAINER_EXE),
                         [](const ::testing::TestParamInfo<const wchar_t*>& info) {
                             return std::string(info.param == SERVICE_EXE ? "Service" : "Container");
                         });

}  // namespace
