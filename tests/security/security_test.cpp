// The two signature checks against real files: images signed in every
// situation the checks must tell apart, altered copies of a good image, odd
// paths and concurrent calls.

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pe_image.h"
#include "qebcore_security.h"
#include "test_files.h"

namespace {

std::wstring FixturePath(const std::string& name) {
    return qebtest::ExeDirectory() + L"security_fixtures\\" + std::wstring(name.begin(), name.end()) + L".exe";
}

bool EmbeddedCheck(const std::wstring& path) {
    const std::optional<std::string> narrow = qebtest::ToAnsi(path);
    EXPECT_TRUE(narrow.has_value()) << "path not representable in the ANSI code page";
    return narrow && VerifyEmbeddedSignature(narrow->c_str());
}

// Both checks on one file: VerifyEmbeddedSignature, VerifyVelantDigitalSignature.
void ExpectVerdicts(const std::wstring& path, bool embedded, bool publisher) {
    EXPECT_EQ(embedded, EmbeddedCheck(path));
    EXPECT_EQ(publisher, VerifyVelantDigitalSignature(path.c_str()));
}

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
    ASSERT_TRUE(qebtest::IsFile(path));
    ExpectVerdicts(path, image.embeddedAccepted, image.publisherAccepted);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, SignedImages, ::testing::ValuesIn(kSignedImages),
                         [](const ::testing::TestParamInfo<SignedImage>& info) {
                             return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------
// Copies of the good image altered after signing.

// Changes made to a copy of the good image after signing.
const char* const kAlterations[] = {"one byte of code", "one byte of the signer's signature value",
                                    "start of the certificate table overwritten", "certificate table cut short"};

void Alter(int which, sectest::Bytes& image, const sectest::PeLayout& layout) {
    switch (which) {
        case 0: image[layout.codeOffset + layout.codeSize / 2] ^= 0x01; break;
        // The signer's signature value is the last element of the SignedData
        // when the signature carries no timestamp.
        case 1: image[layout.signatureDerOffset + layout.signatureDerSize - 8] ^= 0x01; break;
        case 2:
            std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(layout.signatureDerOffset), 64, '\x5A');
            break;
        default: image.resize(layout.certTableOffset + layout.certTableSize / 2); break;
    }
}

// The good image read into memory, with the places the changes go to, and a
// folder for the altered copies.
class AlteredImages : public ::testing::Test {
protected:
    void SetUp() override {
        if (!QEB_SECURITY_FIXTURES) GTEST_SKIP() << "test images need the development identity";
        m_good = qebtest::ReadFileShared(FixturePath("good"));
        const std::optional<sectest::PeLayout> layout = sectest::ReadLayout(m_good);
        ASSERT_TRUE(layout.has_value());
        m_layout = *layout;
        ASSERT_TRUE(m_folder.created());
    }

    sectest::Bytes m_good;
    sectest::PeLayout m_layout;
    qebtest::TempDir m_folder{L"qeb_security_altered"};
};

TEST_F(AlteredImages, AnyChangeAfterSigningIsRefused) {
    // The unaltered copy, written the same way, passes: a refusal below is
    // about the change and not about the copying.
    const std::wstring control = m_folder.File(L"control.exe");
    ASSERT_TRUE(qebtest::WriteTextFile(control, m_good));
    ExpectVerdicts(control, true, true);

    for (int index = 0; index < 4; ++index) {
        SCOPED_TRACE(kAlterations[index]);
        sectest::Bytes image = m_good;
        Alter(index, image, m_layout);
        ASSERT_NE(m_good, image);
        const std::wstring path = m_folder.File(L"altered" + std::to_wstring(index) + L".exe");
        ASSERT_TRUE(qebtest::WriteTextFile(path, image));
        ExpectVerdicts(path, false, false);
    }
}

// Every call reads the file again: a good verdict for a path says nothing
// about what lies there later.
TEST_F(AlteredImages, EveryCallLooksAtTheFileAgain) {
    sectest::Bytes altered = m_good;
    Alter(0, altered, m_layout);
    const std::wstring path = m_folder.File(L"QEBCoreContainer.exe");
    for (const bool bGood : {true, false, true}) {
        ASSERT_TRUE(qebtest::WriteTextFile(path, bGood ? m_good : altered));
        ExpectVerdicts(path, bGood, bGood);
    }
}

// ---------------------------------------------------------------------------
// Paths.

TEST(SignaturePaths, PathsWithoutAFileAreRefused) {
    EXPECT_FALSE(VerifyEmbeddedSignature(nullptr));
    EXPECT_FALSE(VerifyVelantDigitalSignature(nullptr));

    qebtest::TempDir folder(L"qeb_security_paths");
    ASSERT_TRUE(folder.created());
    struct PathCase {
        const char* what;
        std::wstring path;
    };
    const PathCase cases[] = {
        {"empty", L""},
        {"missing file", folder.File(L"QEBCoreContainer.exe")},
        {"missing folder", folder.File(L"absent\\QEBCoreContainer.exe")},
        {"folder", folder.path() + L"\\"},
        {"folder without trailing backslash", folder.path()},
    };
    for (const PathCase& c : cases) {
        SCOPED_TRACE(c.what);
        const std::optional<std::string> narrow = qebtest::ToAnsi(c.path);
        ASSERT_TRUE(narrow.has_value());
        EXPECT_FALSE(VerifyEmbeddedSignature(narrow->c_str()));
        EXPECT_FALSE(VerifyVelantDigitalSignature(c.path.c_str()));
    }
}

// The narrow check takes ANSI code page text, so its folder name uses a
// character that code page has; the wide check takes any name.
TEST(SignaturePaths, NonAsciiFoldersAreFollowed) {
    if (!QEB_SECURITY_FIXTURES) GTEST_SKIP() << "test images need the development identity";
    const sectest::Bytes good = qebtest::ReadFileShared(FixturePath("good"));
    ASSERT_FALSE(good.empty());

    qebtest::TempDir wideFolder(L"qeb_security_\u00E9\u03A9\u65E5\u672C");
    ASSERT_TRUE(wideFolder.created());
    const std::wstring widePath = wideFolder.File(L"QEBCoreContainer.exe");
    ASSERT_TRUE(qebtest::WriteTextFile(widePath, good));
    EXPECT_TRUE(VerifyVelantDigitalSignature(widePath.c_str()));

    qebtest::TempDir ansiFolder(L"qeb_security_caf\u00E9");
    ASSERT_TRUE(ansiFolder.created());
    const std::wstring ansiPath = ansiFolder.File(L"QEBCoreContainer.exe");
    const std::optional<std::string> narrow = qebtest::ToAnsi(ansiPath);
    if (!narrow) GTEST_SKIP() << "code page " << ::GetACP() << " has no e-acute";
    ASSERT_TRUE(qebtest::WriteTextFile(ansiPath, good));
    EXPECT_NE(std::string::npos, narrow->find('\xE9')) << "expected code page 1252 text";
    EXPECT_TRUE(VerifyEmbeddedSignature(narrow->c_str()));
    EXPECT_TRUE(VerifyVelantDigitalSignature(ansiPath.c_str()));
}

// ---------------------------------------------------------------------------
// Concurrency.

TEST(SignatureChecks, ConcurrentCallsKeepTheirVerdicts) {
    if (!QEB_SECURITY_FIXTURES) GTEST_SKIP() << "test images need the development identity";
    const std::wstring good = FixturePath("good");
    const std::wstring otherPublisher = FixturePath("other_publisher");
    const std::wstring foreign = FixturePath("foreign_root");
    ASSERT_TRUE(qebtest::IsFile(good) && qebtest::IsFile(otherPublisher) && qebtest::IsFile(foreign));
    const std::string goodAnsi = qebtest::ToAnsi(good).value_or("");
    const std::string foreignAnsi = qebtest::ToAnsi(foreign).value_or("");

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

}  // namespace
