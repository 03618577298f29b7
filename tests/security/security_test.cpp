// Both signature checks over images signed at build time, and a good image
// changed after signing.
#include <gtest/gtest.h>

#include <fstream>

#include "qebcore_security.h"
#include "test_kit.h"

TEST(Security, VerdictsOnSignedImages) {
    if (!QEB_SECURITY_FIXTURES) GTEST_SKIP() << "the test images need the development signing identity";
    const std::filesystem::path fixtures = kit::ExeDir() + L"security_fixtures";
    kit::TempDir dir(L"qeb_sec");
    std::string image = kit::ReadAll(fixtures / L"good.exe");
    ASSERT_GT(image.size(), 4096u);
    image[image.size() / 3] ^= 0x01;  // inside the code, far ahead of the signature at the end
    std::ofstream(dir.path / L"tampered.exe", std::ios::binary) << image;

    const struct {
        std::filesystem::path file;
        bool embedded, publisher;
    } rows[] = {
        {fixtures / L"good.exe", true, true},
        {fixtures / L"unsigned.exe", false, false},
        {dir.path / L"tampered.exe", false, false},
        {fixtures / L"other_publisher.exe", true, false},  // the pinned root, another company
        {fixtures / L"foreign_root.exe", false, false},    // our publisher's name under another root
        {fixtures / L"impostor_root.exe", false, false},   // a root named like ours with another key
        {fixtures / L"expired.exe", false, false},
        {fixtures / L"wrong_eku.exe", false, false},       // not a code-signing certificate
    };
    for (const auto& row : rows) {
        // A missing image would be refused for the wrong reason.
        ASSERT_TRUE(std::filesystem::is_regular_file(row.file)) << row.file;
        EXPECT_EQ(row.embedded, VerifyEmbeddedSignature(row.file.string().c_str())) << row.file;
        EXPECT_EQ(row.publisher, VerifyVelantDigitalSignature(row.file.c_str())) << row.file;
    }
}
