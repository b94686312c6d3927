#include "tests/support/ZipTestSupport.h"

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <zlib.h>

namespace ziptest {

ScratchDir::ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "pallorwind-zip-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_path = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    // Extracted files may have lost their write bits; the folders keep theirs.
    fs::remove_all(m_path, ec);
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path.string());
    }
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const fs::path& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

std::string SampleData(std::size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string data;
    data.reserve(size);
    while (data.size() < size) {
        if (rng() % 2 == 0) {
            data += "line " + std::to_string(rng() % 1000) + " of some update text\n";
        } else {
            for (int i = 0; i < 64; ++i) {
                data += static_cast<char>(rng());
            }
        }
    }
    data.resize(size);
    return data;
}

std::string RawDeflate(const std::string& data, int level) {
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("deflateInit2");
    }
    std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    if (deflate(&stream, Z_FINISH) != Z_STREAM_END) {
        throw std::runtime_error("deflate");
    }
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

std::uint32_t Crc32(const std::string& data) {
    return static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

CraftedEntry ZerosEntry(std::string name, std::size_t size) {
    const std::string zeros(size, '\0');
    CraftedEntry e = Entry(std::move(name), "");
    e.payload = RawDeflate(zeros);
    e.crc = Crc32(zeros);
    e.uncomprSize = static_cast<std::uint32_t>(size);
    return e;
}

std::vector<std::pair<std::string, long long>> Tree(const fs::path& root) {
    std::vector<std::pair<std::string, long long>> out;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        const std::string rel = fs::relative(item.path(), root).string();
        out.emplace_back(rel,
                         item.is_directory() ? -1LL : static_cast<long long>(item.file_size()));
    }
    std::sort(out.begin(), out.end());
    return out;
}

void Put16(std::string& s, std::size_t at, std::uint16_t v) {
    s[at] = static_cast<char>(v & 0xFF);
    s[at + 1] = static_cast<char>(v >> 8);
}

void Put32(std::string& s, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    }
}

namespace {

void Append16(std::string& s, std::uint16_t v) {
    s.append(2, '\0');
    Put16(s, s.size() - 2, v);
}

void Append32(std::string& s, std::uint32_t v) {
    s.append(4, '\0');
    Put32(s, s.size() - 4, v);
}

} // namespace

std::string Build(const CraftedArchive& archive) {
    std::string body;
    std::string central;
    for (const CraftedEntry& e : archive.entries) {
        const std::string stored = e.payload       ? *e.payload
                                   : e.method == 8 ? RawDeflate(e.data)
                                                   : e.data;
        const std::uint16_t flag = e.flag | (e.descriptor ? 0x0008 : 0);
        const std::uint32_t crc = e.crc.value_or(Crc32(e.data));
        const std::uint32_t compr = e.comprSize.value_or(static_cast<std::uint32_t>(stored.size()));
        const std::uint32_t uncompr =
            e.uncomprSize.value_or(static_cast<std::uint32_t>(e.data.size()));
        const auto offset = e.offset.value_or(static_cast<std::uint32_t>(body.size()));

        std::string local;
        Append32(local, 0x04034B50);
        Append16(local, 20);
        Append16(local, flag);
        Append16(local, e.method);
        Append16(local, e.dosTime);
        Append16(local, e.dosDate);
        Append32(local, e.descriptor ? 0 : crc);
        Append32(local, e.descriptor ? 0 : compr);
        Append32(local, e.descriptor ? 0 : uncompr);
        Append16(local, static_cast<std::uint16_t>(e.name.size()));
        Append16(local, 0);
        if (e.patchLocal) {
            e.patchLocal(local);
        }
        if (!e.centralOnly) {
            body += local + e.name + stored;
        }
        if (e.descriptor && !e.centralOnly) {
            if (e.descriptorSignature) {
                Append32(body, 0x08074B50);
            }
            Append32(body, e.descriptorCrc.value_or(crc));
            Append32(body, compr);
            Append32(body, uncompr);
        }

        Append32(central, 0x02014B50);
        Append16(central, e.madeBy);
        Append16(central, 20);
        Append16(central, flag);
        Append16(central, e.method);
        Append16(central, e.dosTime);
        Append16(central, e.dosDate);
        Append32(central, crc);
        Append32(central, compr);
        Append32(central, uncompr);
        Append16(central, static_cast<std::uint16_t>(e.name.size()));
        Append16(central, 0); // extra
        Append16(central, 0); // comment
        Append16(central, 0); // disk start
        Append16(central, 0); // internal attributes
        Append32(central, e.externalAttr);
        Append32(central, offset);
        central += e.name;
    }
    std::string end;
    const auto count = static_cast<std::uint16_t>(archive.entries.size());
    Append32(end, 0x06054B50);
    Append16(end, archive.thisDisk.value_or(0));
    Append16(end, archive.diskWithCd.value_or(0));
    Append16(end, archive.totalEntries.value_or(count));
    Append16(end, archive.totalEntries.value_or(count));
    Append32(end, archive.cdSize.value_or(static_cast<std::uint32_t>(central.size())));
    Append32(end, static_cast<std::uint32_t>(body.size()));
    Append16(end, static_cast<std::uint16_t>(archive.comment.size()));
    return archive.prefix + body + central + end + archive.comment + archive.trailing;
}

} // namespace ziptest
