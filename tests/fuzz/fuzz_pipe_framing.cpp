// The listener's framing on any stream split into any reads: each read goes
// into the cleared buffer (at most its read limit), the message is the text
// up to the first null unit, and that text is parsed. Checks that the text
// never runs past the buffer, that nothing of an earlier read survives into
// the next, and that the parser stays inside whatever the framing hands it.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <vector>

#include "pipe_message_buffer.h"
#include "work_status_parse.h"

namespace {

void Expect(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider provider(data, size);
    // On the heap, so that ASan sees any step past its end.
    auto buffer = std::make_unique<PipeMessageBuffer>();
    while (provider.remaining_bytes() > 0) {
        // Reads of any length, including longer than the limit (the pipe
        // then keeps the rest for the next read) and empty ones.
        const size_t wanted = provider.ConsumeIntegralInRange<size_t>(0, 2 * PIPE_READ_MAX_BYTES + 3);
        std::vector<uint8_t> bytes = provider.ConsumeBytes<uint8_t>(wanted);
        size_t offset = 0;
        do {
            const size_t taken = buffer->Fill(bytes.data() + offset, bytes.size() - offset);
            Expect(taken == std::min<size_t>(bytes.size() - offset, PIPE_READ_MAX_BYTES));
            offset += taken;

            const wchar_t* text = buffer->Text();
            const size_t length = std::wcslen(text);
            Expect(length < PipeMessageBuffer::CapacityUnits());
            // Everything past the bytes of this read is null.
            const auto* raw = reinterpret_cast<const uint8_t*>(buffer->ReadTarget());
            for (size_t i = taken; i < PIPE_READ_BUFFER_BYTES; ++i) Expect(raw[i] == 0);

            // Its results are fuzz_work_status's to check; here only that it stays inside the buffer.
            ParseWorkStatus(buffer->Text());
        } while (offset < bytes.size());
    }
    // The empty read: an empty text, no key.
    buffer->Fill(nullptr, 0);
    Expect(buffer->Text()[0] == L'\0' && ParseWorkStatus(buffer->Text()).workStatus == -1);
    return 0;
}
