#pragma once
// Reading resources out of a built program without running it.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qebtest {

// A program mapped as a data file, for its resources only.
class DataModule {
public:
    explicit DataModule(const std::wstring& path) noexcept;
    ~DataModule();
    DataModule(const DataModule&) = delete;
    DataModule& operator=(const DataModule&) = delete;

    HMODULE get() const noexcept { return m_hModule; }
    DWORD loadError() const noexcept { return m_loadError; }

private:
    HMODULE m_hModule = nullptr;
    DWORD m_loadError = 0;
};

// The bytes of one resource in exactly that language; nothing if absent.
std::optional<std::vector<uint8_t>> ResourceBytes(HMODULE hModule, LPCWSTR type, LPCWSTR name, WORD language);
// The same, in whatever language the loader picks.
std::optional<std::vector<uint8_t>> ResourceBytes(HMODULE hModule, LPCWSTR type, LPCWSTR name);

// The 16 counted strings of one RT_STRING block; nothing if the block is
// cut short.
std::optional<std::vector<std::wstring>> ParseStringBlock(const std::vector<uint8_t>& block);

// One entry of an RT_GROUP_ICON directory.
struct IconGroupEntry {
    unsigned width = 0;  // 0 stands for 256
    unsigned height = 0;
    unsigned bitCount = 0;
    uint32_t bytesInRes = 0;
    uint16_t id = 0;
};

// The entries of an icon group; nothing if it is not a well-formed icon
// directory.
std::optional<std::vector<IconGroupEntry>> ParseIconGroup(const std::vector<uint8_t>& group);

}  // namespace qebtest
