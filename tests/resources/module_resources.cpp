#include "module_resources.h"

namespace qebtest {

namespace {

constexpr size_t STRINGS_PER_BLOCK = 16;
constexpr size_t ICON_DIR_HEADER_BYTES = 6;
constexpr size_t ICON_GROUP_ENTRY_BYTES = 14;
constexpr uint16_t ICON_RESOURCE_TYPE = 1;

uint16_t ReadU16(const std::vector<uint8_t>& bytes, size_t at) {
    return static_cast<uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

uint32_t ReadU32(const std::vector<uint8_t>& bytes, size_t at) {
    return static_cast<uint32_t>(ReadU16(bytes, at)) | (static_cast<uint32_t>(ReadU16(bytes, at + 2)) << 16);
}

std::optional<std::vector<uint8_t>> CopyResource(HMODULE hModule, HRSRC hResource) {
    if (hResource == nullptr) return std::nullopt;
    const DWORD size = ::SizeofResource(hModule, hResource);
    const HGLOBAL hLoaded = ::LoadResource(hModule, hResource);
    const auto* data = hLoaded != nullptr ? static_cast<const uint8_t*>(::LockResource(hLoaded)) : nullptr;
    if (data == nullptr) return std::nullopt;
    return std::vector<uint8_t>(data, data + size);
}

}  // namespace

DataModule::DataModule(const std::wstring& path) noexcept
    : m_hModule(::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {
    if (m_hModule == nullptr) m_loadError = ::GetLastError();
}

DataModule::~DataModule() {
    if (m_hModule != nullptr) ::FreeLibrary(m_hModule);
}

std::optional<std::vector<uint8_t>> ResourceBytes(HMODULE hModule, LPCWSTR type, LPCWSTR name, WORD language) {
    return CopyResource(hModule, ::FindResourceExW(hModule, type, name, language));
}

std::optional<std::vector<uint8_t>> ResourceBytes(HMODULE hModule, LPCWSTR type, LPCWSTR name) {
    return CopyResource(hModule, ::FindResourceW(hModule, name, type));
}

std::optional<std::vector<std::wstring>> ParseStringBlock(const std::vector<uint8_t>& block) {
    std::vector<std::wstring> strings;
    size_t at = 0;
    for (size_t i = 0; i < STRINGS_PER_BLOCK; ++i) {
        if (at + 2 > block.size()) return std::nullopt;
        const size_t units = ReadU16(block, at);
        at += 2;
        if (at + units * 2 > block.size()) return std::nullopt;
        std::wstring text;
        for (size_t u = 0; u < units; ++u) text.push_back(static_cast<wchar_t>(ReadU16(block, at + u * 2)));
        at += units * 2;
        strings.push_back(std::move(text));
    }
    return strings;
}

std::optional<std::vector<IconGroupEntry>> ParseIconGroup(const std::vector<uint8_t>& group) {
    if (group.size() < ICON_DIR_HEADER_BYTES) return std::nullopt;
    if (ReadU16(group, 0) != 0 || ReadU16(group, 2) != ICON_RESOURCE_TYPE) return std::nullopt;
    const size_t count = ReadU16(group, 4);
    if (group.size() < ICON_DIR_HEADER_BYTES + count * ICON_GROUP_ENTRY_BYTES) return std::nullopt;
    std::vector<IconGroupEntry> entries;
    for (size_t i = 0; i < count; ++i) {
        const size_t at = ICON_DIR_HEADER_BYTES + i * ICON_GROUP_ENTRY_BYTES;
        IconGroupEntry entry;
        entry.width = group[at];
        entry.height = group[at + 1];
        entry.bitCount = ReadU16(group, at + 6);
        entry.bytesInRes = ReadU32(group, at + 8);
        entry.id = ReadU16(group, at + 12);
        entries.push_back(entry);
    }
    return entries;
}

}  // namespace qebtest
