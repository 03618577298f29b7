// The TSTInfo reader on any bytes a signed file's timestamp could carry: it
// never reads outside them, and whatever it accepts is a real UTC time and a
// digest of the stated hash's size lying inside the input.

#include <cstddef>
#include <cstdint>

#include "fuzz_expect.h"
#include "tst_info.h"

namespace {

bool Inside(const unsigned char* part, size_t partSize, const uint8_t* data, size_t size) {
    return part >= data && part + partSize <= data + size;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qeb::security::TstInfo info;
    if (!qeb::security::ParseTstInfo(data, size, info)) return 0;
    Expect(info.imprintSize == qeb::security::DigestSize(info.hash));
    Expect(Inside(info.imprint, info.imprintSize, data, size) && Inside(info.encoded, info.encodedSize, data, size));
    const qeb::security::UtcTime& t = info.genTime;
    Expect(t.year >= 1601 && t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31 && t.hour <= 23 &&
           t.minute <= 59 && t.second <= 59);
    return 0;
}
