// The listener's framing on any stream split into any reads: each read goes
// through ReadMessage, as the listener's ReadFile does (the buffer cleared,
// at most the read limit taken), the message is the text up to the first
// null unit, and that text is parsed. Checks that the text never runs past
// the buffer, that nothing of an earlier read survives into the next, and
// that the parser stays inside whatever the framing hands it.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <memory>
#include <vector>

#include "fuzz_expect.h"
#include "pipe_message_buffer.h"
#include "work_status_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider provider(data, size);
    // On the heap, so that ASan sees any step past its end.
    auto buffer = std::make_unique<PipeMessageBuffer>();
    while (provider.remaining_bytes() > 0) {
        // Writes of any length, including longer than the read limit (the
        // pipe then keeps the rest for the next read) and empty ones.
        const size_t wanted = provider.ConsumeIntegralInRange<size_t>(0, 2 * PIPE_READ_MAX_BYTES + 3);
        const std::vector<uint8_t> bytes = provider.ConsumeBytes<uint8_t>(wanted);
        size_t offset = 0;
        do {
            // What ReadFile does with the pipe's bytes: at most the limit it is given.
            size_t taken = 0;
            Expect(buffer->ReadMessage([&](void* target, uint32_t limit) {
                taken = std::min<size_t>(bytes.size() - offset, limit);
                if (taken > 0) std::memcpy(target, bytes.data() + offset, taken);
                return true;
            }));
            Expect(taken == std::min<size_t>(bytes.size() - offset, PIPE_READ_MAX_BYTES));
            offset += taken;

            const wchar_t* text = buffer->Text();
            Expect(std::wcslen(text) < PipeMessageBuffer::CapacityUnits());
            // Everything past the bytes of this read is null: nothing of an earlier read survives.
            const auto* raw = reinterpret_cast<const uint8_t*>(text);
            for (size_t i = taken; i < PIPE_READ_BUFFER_BYTES; ++i) Expect(raw[i] == 0);

            // Its results are fuzz_work_status's to check; here only that it stays inside the buffer.
            ParseWorkStatus(buffer->Text());
        } while (offset < bytes.size());
    }
    // A failed read leaves an empty text, no key.
    Expect(!buffer->ReadMessage([](void*, uint32_t) { return false; }));
    Expect(buffer->Text()[0] == L'\0' && ParseWorkStatus(buffer->Text()).workStatus == -1);
    return 0;
}
