#pragma once

#include <stdexcept>
#include <string>

namespace pallorwind::zip {

// The archive reader's error: a cause code and the path of the archive file
// (empty when no archive is open).
class CZipException : public std::runtime_error {
public:
    enum Cause {
        generic = 1,
        streamEnd = 2,       // zlib Z_STREAM_END
        needDict = 3,        // zlib Z_NEED_DICT
        errNo = 4,           // zlib Z_ERRNO
        streamError = 5,     // zlib Z_STREAM_ERROR
        dataError = 6,       // zlib Z_DATA_ERROR: corrupt deflate data
        memError = 7,        // zlib Z_MEM_ERROR
        bufError = 8,        // zlib Z_BUF_ERROR: decoding cannot progress
        versionError = 9,    // zlib Z_VERSION_ERROR
        badZipFile = 10,     // damaged archive
        badCrc = 11,         // CRC-32 mismatch
        noCallback = 12,     // spanned archive: cannot be read here
        aborted = 13,        // spanned archive: disk change refused
        nonRemovable = 14,   // archive writing only
        tooManyVolumes = 15, // archive writing only
        tooLongFileName = 16,
        badPassword = 17,
        cdirNotFound = 18, // end-of-central-directory record not found
    };

    CZipException(int cause, std::string archivePath);

    // Maps a zlib result code to a cause.
    static int ZlibErrToCause(int zlibError);
    [[noreturn]] static void Throw(int cause, const std::string& archivePath);
    static const char* CauseText(int cause);

    int m_iCause;
    std::string m_szFileName;
};

} // namespace pallorwind::zip
