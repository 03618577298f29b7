// Both signature checks over images signed at build time, and a good image
// changed after signing.
#include <gtest/gtest.h>

#include <fstream>

#include "qebcore_security.h"
#include "test_kit.h"
#include "unique_handle.h"

TEST(Security, VerdictsOnSignedImages) {
    ASSERT_TRUE(QEB_SECURITY_FIXTURES) << "no test images: the build had no development signing identity";
    const std::filesystem::path fixtures = kit::ExeDir() + L"security_fixtures";
    kit::TempDir dir(L"qeb_sec");
    std::string image = kit::ReadAll(fixtures / L"good.exe");
    ASSERT_GT(image.size(), 4096u);
    image[image.size() / 3] ^= 0x01;  // inside the code, far ahead of the signature at the end
    std::ofstream(dir.path / L"tampered.exe", std::ios::binary) << image;
    // The stamped time moved a day on inside the token, which the image's
    // hash does not cover: only the token's own signature can tell.
    image = kit::ReadAll(fixtures / L"expired_stamped.exe");
    const size_t stamped = image.find("20200601000000Z");
    ASSERT_NE(stamped, std::string::npos);
    image[stamped + 7] = '2';
    std::ofstream(dir.path / L"damaged_stamp.exe", std::ios::binary) << image;
    // That token moved onto another signature of the same length (the
    // attribute's OID, then its SET): intact, but it stamps the other one.
    const std::string oid("\x06\x0a\x2b\x06\x01\x04\x01\x82\x37\x03\x03\x01", 12);
    std::string moved = kit::ReadAll(fixtures / L"expired_restamped.exe");
    const size_t from = image.find(oid) + oid.size(), to = moved.find(oid) + oid.size();
    ASSERT_TRUE(from > oid.size() && to > oid.size() && image.compare(from, 4, moved, to, 4) == 0);
    const size_t length =
        4 + (static_cast<unsigned char>(image[from + 2]) << 8 | static_cast<unsigned char>(image[from + 3]));
    moved.replace(to, length, kit::ReadAll(fixtures / L"expired_stamped.exe").substr(from, length));
    std::ofstream(dir.path / L"moved_stamp.exe", std::ios::binary) << moved;
    std::ofstream(dir.path / L"empty.exe").close();
    std::ofstream(dir.path / L"text.exe") << "MZ, and then not a program";
    std::filesystem::create_directory(dir.path / L"folder.exe");

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
        {fixtures / L"wrong_eku.exe", false, false},  // not a code-signing certificate
        // Expired in 2021: stamped in 2020, in 2021 after its end, by an
        // authority under a root nobody pinned, with the stamp damaged.
        {fixtures / L"expired_stamped.exe", true, true},
        {fixtures / L"container_expired_stamped.exe", true, true},
        {fixtures / L"expired_stamped_late.exe", false, false},
        {fixtures / L"expired_stamped_twice.exe", false, false},  // which time counts is the adder's choice
        {fixtures / L"expired_foreign_stamp.exe", false, false},
        {dir.path / L"damaged_stamp.exe", false, false},
        {fixtures / L"future_stamped.exe", true, true},  // valid now, stamped in the future after its end
        {fixtures / L"expired_restamped.exe", true, true},
        {dir.path / L"moved_stamp.exe", false, false},
        // Stamped while valid by authorities RFC 3161 does not admit: the
        // signer's own key, a usage not marked critical, time stamping
        // beside code signing.
        {fixtures / L"expired_stamped_by_signer.exe", false, false},
        {fixtures / L"expired_stamped_noncritical.exe", false, false},
        {fixtures / L"expired_stamped_codesigning.exe", false, false},
        // Under the pinned root, names that nearly are the publisher's.
        {fixtures / L"container_other_publisher.exe", true, false},
        {fixtures / L"container_name_suffix.exe", true, false},
        {fixtures / L"container_name_prefix.exe", true, false},
        {fixtures / L"container_name_elsewhere.exe", true, false},
        {fixtures / L"container_name_cn_only.exe", true, true},  // the name in the subject's CN alone
        {dir.path / L"empty.exe", false, false},
        {dir.path / L"text.exe", false, false},
        {dir.path / L"folder.exe", false, false},
    };
    for (const auto& row : rows) {
        // A missing image would be refused for the wrong reason.
        ASSERT_TRUE(std::filesystem::exists(row.file)) << row.file;
        EXPECT_EQ(row.embedded, VerifyEmbeddedSignature(row.file.string().c_str())) << row.file;
        EXPECT_EQ(row.publisher, VerifyVelantDigitalSignature(row.file.c_str())) << row.file;
    }
}

// The publisher check takes the embedded-signature check's evaluation only
// for the very same file: one put in its place between the two, even of the
// same size and write time, is evaluated afresh and refused. A caller that
// holds the file has that file checked, whatever its name leads to by then.
TEST(Security, FileSwappedBetweenTheChecksIsEvaluatedAfresh) {
    ASSERT_TRUE(QEB_SECURITY_FIXTURES) << "no test images: the build had no development signing identity";
    kit::TempDir dir(L"qeb_swap");
    const std::filesystem::path checked = dir.path / L"QEBCoreContainer.exe", kept = dir.path / L"kept.exe",
                                swapped = dir.path / L"swapped.exe";
    std::filesystem::copy_file(kit::ExeDir() + L"security_fixtures\\good.exe", checked);
    std::string image = kit::ReadAll(checked);
    image[image.size() / 3] ^= 0x01;
    std::ofstream(swapped, std::ios::binary) << image;
    {  // to the 100 ns, so that only the file itself tells them apart
        qeb::UniqueHandle from(
            ::CreateFileW(checked.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        qeb::UniqueHandle to(
            ::CreateFileW(swapped.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        FILETIME written = {};
        ASSERT_TRUE(::GetFileTime(from.get(), nullptr, nullptr, &written) &&
                    ::SetFileTime(to.get(), nullptr, nullptr, &written));
    }

    qeb::security::SignatureEvaluation evaluation;
    ASSERT_TRUE(VerifyEmbeddedSignature(checked.string().c_str(), nullptr, evaluation));
    std::filesystem::rename(checked, kept);
    std::filesystem::rename(swapped, checked);
    EXPECT_FALSE(VerifyVelantDigitalSignature(checked.c_str(), nullptr, evaluation));

    // Held, then moved away from its name, which another file then takes.
    for (const bool bGoodHeld : {true, false}) {
        const std::filesystem::path held = bGoodHeld ? kept : checked, other = bGoodHeld ? checked : kept,
                                    aside = dir.path / L"aside.exe";
        const qeb::UniqueHandle hHeld(::CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                                    nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(hHeld);
        std::filesystem::rename(held, aside);
        std::filesystem::rename(other, held);
        EXPECT_EQ(bGoodHeld, VerifyEmbeddedSignature(held.string().c_str(), hHeld.get())) << bGoodHeld;
        EXPECT_EQ(bGoodHeld, VerifyVelantDigitalSignature(held.c_str(), hHeld.get())) << bGoodHeld;
        std::filesystem::rename(held, other);
        std::filesystem::rename(aside, held);
    }
}
