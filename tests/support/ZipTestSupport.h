#pragma once

// Helpers for the archive reader's tests: a private scratch folder, file
// helpers, and a writer that crafts ZIP archives byte by byte, with every
// field open to being made wrong on purpose.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ziptest {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed at the end.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const fs::path& path() const { return m_path; }
    fs::path operator/(const std::string& name) const { return m_path / name; }

private:
    fs::path m_path;
};

std::string ReadFile(const fs::path& path);
void WriteFile(const fs::path& path, const std::string& data);
// Data of the given size: text-like runs mixed with pseudo-random bytes.
std::string SampleData(std::size_t size, unsigned seed = 1);
std::string RawDeflate(const std::string& data, int level = 6);
std::uint32_t Crc32(const std::string& data);
// Every file below root, as relative path -> size (folders with size -1).
std::vector<std::pair<std::string, long long>> Tree(const fs::path& root);

constexpr std::uint16_t kDosDate2021 = ((2021 - 1980) << 9) | (6 << 5) | 15; // 2021-06-15
constexpr std::uint16_t kDosTimeNoon = (12 << 11) | (34 << 5) | (56 / 2);    // 12:34:56

struct CraftedEntry {
    std::string name;
    std::string data;
    std::uint16_t method = 8;
    std::uint16_t flag = 0;
    std::uint16_t madeBy = 20; // MS-DOS, version 2.0
    std::uint32_t externalAttr = 0;
    std::uint16_t dosDate = kDosDate2021;
    std::uint16_t dosTime = kDosTimeNoon;
    // Data descriptor after the data (sets flag bit 3), with or without its
    // signature.
    bool descriptor = false;
    bool descriptorSignature = true;
    // Overrides: the bytes stored as data, and the fields written.
    std::optional<std::string> payload;
    std::optional<std::uint32_t> crc, comprSize, uncomprSize;
    std::optional<std::uint32_t> descriptorCrc;
    // Applied to the 30-byte local header before it is written.
    std::function<void(std::string&)> patchLocal;
    // The local header offset its central record gives (default: where its
    // own local header was written). With centralOnly, only the central
    // record is written, pointing at offset.
    std::optional<std::uint32_t> offset;
    bool centralOnly = false;
};

// An entry with the usual defaults (deflated).
inline CraftedEntry Entry(std::string name, std::string data, std::uint16_t method = 8) {
    CraftedEntry e;
    e.name = std::move(name);
    e.data = std::move(data);
    e.method = method;
    return e;
}

// A deflated entry of size zero bytes, whose data is held only deflated (so
// that copies of it stay small).
CraftedEntry ZerosEntry(std::string name, std::size_t size);

struct CraftedArchive {
    std::string prefix; // bytes before the archive (a stub)
    std::vector<CraftedEntry> entries;
    std::string comment;
    std::string trailing; // bytes after the end record
    std::optional<std::uint16_t> thisDisk, diskWithCd, totalEntries;
    std::optional<std::uint32_t> cdSize;
};

std::string Build(const CraftedArchive& archive);

void Put16(std::string& s, std::size_t at, std::uint16_t v);
void Put32(std::string& s, std::size_t at, std::uint32_t v);

} // namespace ziptest
