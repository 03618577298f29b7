#include "pe_image.h"

#include <windows.h>

#include <cstring>

namespace sectest {

namespace {

template <typename T>
bool ReadAt(const Bytes& image, std::size_t offset, T& value) {
    if (offset > image.size() || image.size() - offset < sizeof(T)) return false;
    std::memcpy(&value, image.data() + offset, sizeof(T));
    return true;
}

// Length of the DER element starting at `offset`, header included.
std::optional<std::size_t> DerElementSize(const Bytes& image, std::size_t offset) {
    if (offset + 2 > image.size()) return std::nullopt;
    const unsigned char first = static_cast<unsigned char>(image[offset + 1]);
    if ((first & 0x80) == 0) return 2 + static_cast<std::size_t>(first);
    const std::size_t lengthBytes = first & 0x7F;
    if (lengthBytes == 0 || lengthBytes > 4 || offset + 2 + lengthBytes > image.size()) {
        return std::nullopt;
    }
    std::size_t length = 0;
    for (std::size_t i = 0; i < lengthBytes; ++i) {
        length = (length << 8) | static_cast<unsigned char>(image[offset + 2 + i]);
    }
    return 2 + lengthBytes + length;
}

}  // namespace

std::optional<PeLayout> ReadLayout(const Bytes& image) {
    IMAGE_DOS_HEADER dos = {};
    if (!ReadAt(image, 0, dos) || dos.e_magic != IMAGE_DOS_SIGNATURE) return std::nullopt;
    const std::size_t ntOffset = static_cast<std::size_t>(dos.e_lfanew);
    IMAGE_NT_HEADERS64 nt = {};
    if (!ReadAt(image, ntOffset, nt) || nt.Signature != IMAGE_NT_SIGNATURE ||
        nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        return std::nullopt;
    }

    PeLayout layout;
    const std::size_t sectionsOffset = ntOffset + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                                       nt.FileHeader.SizeOfOptionalHeader;
    for (WORD i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
        IMAGE_SECTION_HEADER section = {};
        if (!ReadAt(image, sectionsOffset + i * sizeof section, section)) return std::nullopt;
        if ((section.Characteristics & IMAGE_SCN_CNT_CODE) != 0 && section.SizeOfRawData > 0) {
            layout.codeOffset = section.PointerToRawData;
            layout.codeSize = section.SizeOfRawData;
            break;
        }
    }
    if (layout.codeSize == 0 || layout.codeOffset + layout.codeSize > image.size()) return std::nullopt;

    // The security directory holds a file offset, not an address.
    const IMAGE_DATA_DIRECTORY& security =
        nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY];
    layout.certTableOffset = security.VirtualAddress;
    layout.certTableSize = security.Size;
    if (layout.certTableSize < 8 || layout.certTableOffset + layout.certTableSize > image.size()) {
        return std::nullopt;
    }
    layout.signatureDerOffset = layout.certTableOffset + 8;
    const std::optional<std::size_t> derSize = DerElementSize(image, layout.signatureDerOffset);
    if (!derSize || layout.signatureDerOffset + *derSize > layout.certTableOffset + layout.certTableSize) {
        return std::nullopt;
    }
    layout.signatureDerSize = *derSize;
    return layout;
}

}  // namespace sectest
