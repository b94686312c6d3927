#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pallorwind::zip {

// A file of the platform's file layer: the archive (read) or an extracted
// file (written). Failures raise CFileError naming the path.
class CZipBigFile {
public:
    enum Origin { begin, current, end };

    CZipBigFile() = default;
    CZipBigFile(const CZipBigFile&) = delete;
    CZipBigFile& operator=(const CZipBigFile&) = delete;
    ~CZipBigFile();

    // Opens an existing file for reading.
    void OpenRead(const std::string& path);
    // Creates the file `name` in the open folder `folder`, or empties the
    // regular file of that name, for writing. A symbolic link of that name is
    // not followed (nor removed): that fails, as does anything in the way
    // that is not a regular file, or a regular file that has other names too
    // (writing would change it there). path names the file in errors.
    void Create(int folder, const std::string& name, const std::string& path);
    // Reads up to count bytes; fewer only at the end of the file.
    std::size_t Read(void* buffer, std::size_t count);
    void Write(const void* buffer, std::size_t count);
    std::uint64_t Seek(std::int64_t offset, Origin origin);
    std::uint64_t GetLength();
    // Closes the file; for a written file a failing close raises.
    void Close();
    // Closes without reporting anything.
    void Abort() noexcept;

    bool IsOpen() const { return m_fd >= 0; }
    int GetDescriptor() const { return m_fd; }
    const std::string& GetFilePath() const { return m_szPath; }

private:
    int m_fd = -1;
    std::string m_szPath;
};

} // namespace pallorwind::zip
