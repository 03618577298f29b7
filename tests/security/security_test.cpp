// The two signature checks against real files: images signed in every
// situation the checks must tell apart, altered copies of a good image, odd
// paths, concurrent calls, and the build's own signed programs.

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pe_image.h"
#include "qebcore_security.h"

namespace {

std::wstring ModulePath() {
    std::wstring path(32768, L'\0');
    const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.resize(length);
    return path;
}

std::wstring ModuleDirectory() {
    const std::wstring path = ModulePath();
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

std::wstring FixturePath(const std::string& name) {
    return ModuleDirectory() + L"security_fixtures\\" + std::wstring(name.begin(), name.end()) + L".exe";
}

bool IsFile(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The path in the ANSI code page, or nothing when some character has no
// exact form there.
std::optional<std::string> ToAnsi(const std::wstring& wide) {
    BOOL usedDefault = FALSE;
    const int size = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, nullptr, 0,
                                           nullptr, &usedDefault);
    if (size <= 0 || usedDefault) return std::nullopt;
    std::string narrow(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, narrow.data(), size, nullptr,
                          &usedDefault);
    narrow.resize(static_cast<std::size_t>(size) - 1);
    return narrow;
}

bool EmbeddedCheck(const std::wstring& path) {
    const std::optional<std::string> narrow = ToAnsi(path);
    EXPECT_TRUE(narrow.has_value()) << "path not representable in the ANSI code page";
    return narrow && VerifyEmbeddedSignature(narrow->c_str());
}

// A folder of its own under %TEMP%, removed with everything in it.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::wstring& label) {
        wchar_t temp[MAX_PATH + 1] = {};
        ::GetTempPathW(MAX_PATH + 1, temp);
        m_path = std::wstring(temp) + L"qeb_security_" + label + L"_" +
                 std::to_wstring(::GetCurrentProcessId()) + L"_" + std::to_wstring(s_next++) + L"\\";
        m_bCreated = ::CreateDirectoryW(m_path.c_str(), nullptr) != FALSE;
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    ~ScratchFolder() {
        WIN32_FIND_DATAW entry = {};
        const HANDLE find = ::FindFirstFileW((m_path + L"*").c_str(), &entry);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                    ::DeleteFileW((m_path + entry.cFileName).c_str());
                }
            } while (::FindNextFileW(find, &entry));
            ::FindClose(find);
        }
        ::RemoveDirectoryW(m_path.c_str());
    }
    bool created() const { return m_bCreated; }
    std::wstring File(const std::wstring& name) const { return m_path + name; }
    const std::wstring& path() const { return m_path; }

private:
    static inline std::atomic<int> s_next{0};
    std::wstring m_path;
    bool m_bCreated = false;
};

// ---------------------------------------------------------------------------
// Images signed at build time, one per situation.

struct SignedImage {
    const char* name;
    bool embeddedAccepted;    // VerifyEmbeddedSignature
    bool publisherAccepted;   // VerifyVelantDigitalSignature
};

void PrintTo(const SignedImage& image, std::ostream* out) { *out << image.name; }

const SignedImage kSignedImages[] = {
    {"unsigned", false, false},
    {"good", true, true},
    {"good_via_intermediate", true, true},   // intermediate carried in the signature
    {"missing_intermediate", false, false},  // issued by that intermediate, which is left out
    {"other_publisher", true, false},        // pinned root, another company's name
    {"wrong_eku", false, false},             // pinned root, server-authentication certificate
    {"no_eku", false, false},                // pinned root, no extended key usage at all
    {"expired", false, false},
    {"not_yet_valid", false, false},
    {"signed_by_root", false, false},        // the root's own key, no code-signing certificate
    {"foreign_root", false, false},          // publisher's name, another root (shipped along)
    {"impostor_root", false, false},         // a root named like the pinned one, other key
    {"self_signed", false, false},           // publisher's name on a self-signed certificate
};

class SignedImages : public ::testing::TestWithParam<SignedImage> {
protected:
    void SetUp() override {
        if (!QEB_SECURITY_FIXTURES) GTEST_SKIP() << "test images need the development identity";
    }
};

TEST_P(SignedImages, EachCheckGivesItsVerdict) {
    const SignedImage& image = GetParam();
    const std::wstring path = FixturePath(image.name);
    // A missing image would make every refusal pass for the wrong reason.
    ASSERT_TRUE(IsFile(path));
    EXPECT_EQ(image.embeddedAccepted, EmbeddedCheck(path));
    EXPECT_EQ(image.publisherAccepted, VerifyVelantDigitalSignature(path.c_str()));
}

INSTANTIATE_TEST_SUITE_P(Fixtures, SignedImages, ::testing::ValuesIn(kSignedImages),
                         [](const ::testing::TestParamInfo<SignedImage>& info) {
                             return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------
// Copies of the good image altered after signing.

struct Alteration {
    const char* name;
    // Changes the image in place; false when it could not.
    std::function<bool(sectest::Bytes&, const sectest::PeLayout&)> apply;
};

const Alteration kAlterations[] = {
    {"one byte of code",
     [](sectest::Bytes& image, const sectest::PeLayout& layout) {
         image[layout.codeOffset + layout.codeSize / 2] ^= 0x01;
         return true;
     }},
    // The signer's signature value is the last element of the SignedData
    // when the signature carries no timestamp.
    {"one byte of the signer's signature value",
     [](sectest::Bytes& image, const sectest::PeLayout& layout) {
         image[layout.signatureDerOffset + layout.signatureDerSize - 8] ^= 0x01;
         return true;
     }},
    {"start of the certificate table overwritten",
     [](sectest::Bytes& image, const sectest::PeLayout& layout) {
         std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(layout.signatureDerOffset), 64,
                     static_cast<unsigned char>(0x5A));
         return true;
     }},
    {"certificate table cut short",
     [](sectest::Bytes& image, const sectest::PeLayout& layout) {
         image.resize(layout.certTableOffset + layout.certTableSize / 2);
         return true;
     }},
};

class AlteredImages : public ::testing::Test {
protected:
    void SetUp() override {
        if (!QEB_SECURITY_FIXTURES) GTEST_SKIP() << "test images need the development identity";
    }
};

TEST_F(AlteredImages, AnyChangeAfterSigningIsRefused) {
    const std::optional<sectest::Bytes> good = sectest::ReadBytes(FixturePath("good"));
    ASSERT_TRUE(good.has_value());
    const std::optional<sectest::PeLayout> layout = sectest::ReadLayout(*good);
    ASSERT_TRUE(layout.has_value());
    ScratchFolder folder(L"altered");
    ASSERT_TRUE(folder.created());

    // The unaltered copy, written the same way, passes: a refusal below is
    // about the change and not about the copying.
    const std::wstring control = folder.File(L"control.exe");
    ASSERT_TRUE(sectest::WriteBytes(control, *good));
    EXPECT_TRUE(EmbeddedCheck(control));
    EXPECT_TRUE(VerifyVelantDigitalSignature(control.c_str()));

    int index = 0;
    for (const Alteration& alteration : kAlterations) {
        SCOPED_TRACE(alteration.name);
        sectest::Bytes image = *good;
        ASSERT_TRUE(alteration.apply(image, *layout));
        ASSERT_NE(*good, image);
        const std::wstring path = folder.File(L"altered" + std::to_wstring(index++) + L".exe");
        ASSERT_TRUE(sectest::WriteBytes(path, image));
        EXPECT_FALSE(EmbeddedCheck(path));
        EXPECT_FALSE(VerifyVelantDigitalSignature(path.c_str()));
    }
}

// Every call reads the file again: a good verdict for a path says nothing
// about what lies there later.
TEST_F(AlteredImages, EveryCallLooksAtTheFileAgain) {
    const std::optional<sectest::Bytes> good = sectest::ReadBytes(FixturePath("good"));
    ASSERT_TRUE(good.has_value());
    const std::optional<sectest::PeLayout> layout = sectest::ReadLayout(*good);
    ASSERT_TRUE(layout.has_value());
    sectest::Bytes altered = *good;
    altered[layout->codeOffset + layout->codeSize / 2] ^= 0x01;
    ScratchFolder folder(L"swap");
    ASSERT_TRUE(folder.created());
    const std::wstring path = folder.File(L"QEBCoreContainer.exe");

    ASSERT_TRUE(sectest::WriteBytes(path, *good));
    EXPECT_TRUE(EmbeddedCheck(path));
    EXPECT_TRUE(VerifyVelantDigitalSignature(path.c_str()));
    ASSERT_TRUE(sectest::WriteBytes(path, altered));
    EXPECT_FALSE(EmbeddedCheck(path));
    EXPECT_FALSE(VerifyVelantDigitalSignature(path.c_str()));
    ASSERT_TRUE(sectest::WriteBytes(path, *good));
    EXPECT_TRUE(EmbeddedCheck(path));
    EXPECT_TRUE(VerifyVelantDigitalSignature(path.c_str()));
}

// ---------------------------------------------------------------------------
// Paths.

TEST(SignaturePaths, PathsWithoutAFileAreRefused) {
    EXPECT_FALSE(VerifyEmbeddedSignature(nullptr));
    EXPECT_FALSE(VerifyVelantDigitalSignature(nullptr));

    ScratchFolder folder(L"paths");
    ASSERT_TRUE(folder.created());
    struct PathCase {
        const char* what;
        std::wstring path;
    };
    const PathCase cases[] = {
        {"empty", L""},
        {"missing file", folder.File(L"QEBCoreContainer.exe")},
        {"missing folder", folder.File(L"absent\\QEBCoreContainer.exe")},
        {"folder", folder.path()},
        {"folder without trailing backslash", folder.path().substr(0, folder.path().size() - 1)},
    };
    for (const PathCase& c : cases) {
        SCOPED_TRACE(c.what);
        const std::optional<std::string> narrow = ToAnsi(c.path);
        ASSERT_TRUE(narrow.has_value());
        EXPECT_FALSE(VerifyEmbeddedSignature(narrow->c_str()));
        EXPECT_FALSE(VerifyVelantDigitalSignature(c.path.c_str()));
    }
}

// The narrow check takes ANSI code page text, so its folder name uses a
// character that code page has; the wide check takes any name.
TEST(SignaturePaths, NonAsciiFoldersAreFollowed) {
    if (!QEB_SECURITY_FIXTURES) GTEST_SKIP() << "test images need the development identity";
    const std::optional<sectest::Bytes> good = sectest::ReadBytes(FixturePath("good"));
    ASSERT_TRUE(good.has_value());

    ScratchFolder wideFolder(L"\u00E9\u03A9\u65E5\u672C");
    ASSERT_TRUE(wideFolder.created());
    const std::wstring widePath = wideFolder.File(L"QEBCoreContainer.exe");
    ASSERT_TRUE(sectest::WriteBytes(widePath, *good));
    EXPECT_TRUE(VerifyVelantDigitalSignature(widePath.c_str()));

    ScratchFolder ansiFolder(L"caf\u00E9");
    ASSERT_TRUE(ansiFolder.created());
    const std::wstring ansiPath = ansiFolder.File(L"QEBCoreContainer.exe");
    const std::optional<std::string> narrow = ToAnsi(ansiPath);
    if (!narrow) GTEST_SKIP() << "code page " << ::GetACP() << " has no e-acute";
    ASSERT_TRUE(sectest::WriteBytes(ansiPath, *good));
    EXPECT_NE(std::string::npos, narrow->find('\xE9')) << "expected code page 1252 text";
    EXPECT_TRUE(VerifyEmbeddedSignature(narrow->c_str()));
    EXPECT_TRUE(VerifyVelantDigitalSignature(ansiPath.c_str()));
}

// ---------------------------------------------------------------------------
// Concurrency and the build's own signatures.

TEST(SignatureChecks, ConcurrentCallsKeepTheirVerdicts) {
    if (!QEB_SECURITY_FIXTURES) GTEST_SKIP() << "test images need the development identity";
    const std::wstring good = FixturePath("good");
    const std::wstring otherPublisher = FixturePath("other_publisher");
    const std::wstring foreign = FixturePath("foreign_root");
    ASSERT_TRUE(IsFile(good) && IsFile(otherPublisher) && IsFile(foreign));
    const std::string goodAnsi = ToAnsi(good).value_or("");
    const std::string foreignAnsi = ToAnsi(foreign).value_or("");

    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 6; ++i) {
                switch ((t + i) % 4) {
                    case 0: wrong += VerifyVelantDigitalSignature(good.c_str()) ? 0 : 1; break;
                    case 1: wrong += VerifyVelantDigitalSignature(otherPublisher.c_str()) ? 1 : 0; break;
                    case 2: wrong += VerifyEmbeddedSignature(goodAnsi.c_str()) ? 0 : 1; break;
                    default: wrong += VerifyEmbeddedSignature(foreignAnsi.c_str()) ? 1 : 0; break;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(0, wrong.load());
}

// The build signs every program it links; this test program is one of them.
TEST(SignatureChecks, TheBuildSignsItsOwnPrograms) {
    if (!QEB_SELF_SIGNED) GTEST_SKIP() << "this build leaves signing to a later step";
    const std::wstring self = ModulePath();
    EXPECT_TRUE(EmbeddedCheck(self));
    EXPECT_TRUE(VerifyVelantDigitalSignature(self.c_str()));
}

// ---------------------------------------------------------------------------
// Cost of one check, printed for the record (not asserted).

double MedianMilliseconds(const std::function<void()>& check) {
    LARGE_INTEGER frequency = {};
    ::QueryPerformanceFrequency(&frequency);
    std::vector<double> times;
    for (int i = 0; i < 10; ++i) {
        LARGE_INTEGER start = {};
        LARGE_INTEGER end = {};
        ::QueryPerformanceCounter(&start);
        check();
        ::QueryPerformanceCounter(&end);
        times.push_back(1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                        static_cast<double>(frequency.QuadPart));
    }
    std::sort(times.begin(), times.end());
    return (times[4] + times[5]) / 2;
}

TEST(SignatureTiming, MedianOfTenChecks) {
    if (!QEB_SECURITY_FIXTURES) GTEST_SKIP() << "test images need the development identity";
    struct Timed {
        const char* what;
        std::string file;
        bool wide;
    };
    const Timed timed[] = {
        {"accept, narrow check", "good", false},
        {"accept, wide check (publisher)", "good", true},
        {"reject, unsigned", "unsigned", true},
        {"reject, foreign root", "foreign_root", true},
        {"reject, expired", "expired", true},
    };
    for (const Timed& t : timed) {
        const std::wstring path = FixturePath(t.file);
        const std::string narrow = ToAnsi(path).value_or("");
        const double ms = MedianMilliseconds([&] {
            if (t.wide) {
                VerifyVelantDigitalSignature(path.c_str());
            } else {
                VerifyEmbeddedSignature(narrow.c_str());
            }
        });
        std::printf("[ timing ] %-32s %8.2f ms (median of 10)\n", t.what, ms);
        RecordProperty(t.file + (t.wide ? "_wide_ms" : "_narrow_ms"), std::to_string(ms));
    }
}

}  // namespace
