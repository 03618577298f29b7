// The TSTInfo reader over hand-made encodings: what a token may carry, and
// every way its bytes can be malformed, truncated or of the wrong kind.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tst_info.h"

namespace {

using qeb::security::ParseTstInfo;
using qeb::security::TstInfo;

// DER's length: one byte below 128, else 0x81 and one byte (all this table needs).
std::string Tlv(char tag, const std::string& value) {
    const std::string length =
        value.size() < 0x80 ? std::string(1, char(value.size())) : std::string{char(0x81), char(value.size())};
    return tag + length + value;
}

const std::string kSha256("\x60\x86\x48\x01\x65\x03\x04\x02\x01", 9), kNull("\x05\x00", 2);

// A valid TSTInfo's fields, each changed by one setter.
struct Fields {
    std::string version = "\x01", oid = kSha256, params = kNull;
    size_t digest = 32;
    std::string time = "20200601000000Z", tail;
    bool bValid = true;
    std::vector<int> when = {2020, 6, 1, 0, 0, 0};

    Fields Version(const char* v) const { return Set(&Fields::version, v); }
    Fields Hash(std::string o, size_t size) const {
        Fields f = Set(&Fields::oid, std::move(o));
        f.digest = size;
        return f;
    }
    Fields Params(std::string p) const { return Set(&Fields::params, std::move(p)); }
    Fields Time(const char* t) const { return Set(&Fields::time, t); }
    Fields Tail(std::string t) const { return Set(&Fields::tail, std::move(t)); }
    Fields When(std::vector<int> w) const { return Set(&Fields::when, std::move(w)); }
    Fields Invalid() const { return Set(&Fields::bValid, false); }
    template <typename T, typename V>
    Fields Set(T Fields::*field, V value) const {
        Fields f = *this;
        f.*field = std::move(value);
        return f;
    }
};

std::string Encode(const Fields& f) {
    const std::string imprint =
        Tlv(0x30, Tlv(0x30, Tlv(0x06, f.oid) + f.params) + Tlv(0x04, std::string(f.digest, 'd')));
    return Tlv(0x30, Tlv(0x02, f.version) + Tlv(0x06, "\x2a\x03\x04\x01") + imprint + Tlv(0x02, "\x07") +
                         Tlv(0x18, f.time) + f.tail);
}

bool Parse(const std::string& der, TstInfo& info) {
    return ParseTstInfo(reinterpret_cast<const unsigned char*>(der.data()), der.size(), info);
}

}  // namespace

TEST(TstInfo, FieldsAndForms) {
    const Fields ok;
    const std::string sha384 = kSha256.substr(0, 8) + "\x02";
    const std::pair<const char*, Fields> rows[] = {
        {"plain", ok},
        {"no parameters", ok.Params("")},
        {"SHA-384", ok.Hash(sha384, 48)},
        {"SHA-384 with a SHA-256 digest", ok.Hash(sha384, 32).Invalid()},
        {"SHA-512", ok.Hash(kSha256.substr(0, 8) + "\x03", 64)},
        {"SHA-1", ok.Hash("\x2b\x0e\x03\x02\x1a", 20).Invalid()},
        {"parameters not NULL", ok.Params(std::string("\x05\x01\x00", 3)).Invalid()},
        {"version 2", ok.Version("\x02").Invalid()},
        {"leap day", ok.Time("20200229235959Z").When({2020, 2, 29, 23, 59, 59})},
        {"fraction", ok.Time("20200601000000.25Z")},
        {"fraction ending in 0", ok.Time("20200601000000.50Z").Invalid()},
        {"empty fraction", ok.Time("20200601000000.Z").Invalid()},
        {"no Z", ok.Time("202006010000000").Invalid()},
        {"month 13", ok.Time("20201301000000Z").Invalid()},
        {"April 31", ok.Time("20200431000000Z").Invalid()},
        {"January 32", ok.Time("20200132000000Z").Invalid()},
        {"2100 not a leap year", ok.Time("21000229000000Z").Invalid()},
        {"hour 24", ok.Time("20200601240000Z").Invalid()},
        {"optional fields", ok.Tail("\x30\x03\x02\x01\x01\x02\x01\x07")},
        {"optional field cut", ok.Tail("\x02\x05\x01").Invalid()},
        {"long form lengths (a 120-byte nonce)", ok.Tail(Tlv(0x02, std::string(120, '\x01')))},
    };
    for (const auto& [name, row] : rows) {
        const std::string der = Encode(row);
        TstInfo info;
        ASSERT_EQ(Parse(der, info), row.bValid) << name;
        if (!row.bValid) continue;
        const auto& t = info.genTime;
        EXPECT_EQ((std::vector<int>{t.year, t.month, t.day, t.hour, t.minute, t.second}), row.when) << name;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(info.imprint), info.imprintSize),
                  std::string(row.digest, 'd'));
        EXPECT_TRUE(reinterpret_cast<const char*>(info.encoded) == der.data() && info.encodedSize == der.size());
    }

    // The same bytes in every wrong framing: each shorter prefix, a byte
    // more, a long-form or indefinite length, inside an OCTET STRING.
    const std::string der = Encode(ok), body = der.substr(2);
    TstInfo info;
    for (size_t size = 0; size < der.size(); ++size) EXPECT_FALSE(Parse(der.substr(0, size), info)) << size;
    EXPECT_FALSE(Parse(der + '\0', info));
    EXPECT_FALSE(Parse("\x30\x81" + der.substr(1), info));
    EXPECT_FALSE(Parse(std::string("\x30\x80", 2) + body + std::string(2, '\0'), info));
    const std::string wrapped = Tlv(0x04, der);
    ASSERT_TRUE(Parse(wrapped, info));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(info.encoded), info.encodedSize), der);
    EXPECT_FALSE(Parse(Tlv(0x04, der + '\0'), info));
}
