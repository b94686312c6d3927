#include "CZipException.h"

#include <zlib.h>

namespace pallorwind::zip {

namespace {

std::string Describe(int cause, const std::string& path) {
    std::string text =
        "cause " + std::to_string(cause) + " (" + CZipException::CauseText(cause) + ")";
    if (!path.empty()) {
        text += ": " + path;
    }
    return text;
}

} // namespace

CZipException::CZipException(int cause, std::string archivePath)
    : std::runtime_error(Describe(cause, archivePath)), m_iCause(cause),
      m_szFileName(std::move(archivePath)) {
}

int CZipException::ZlibErrToCause(int zlibError) {
    switch (zlibError) {
    case Z_STREAM_END:
        return streamEnd;
    case Z_NEED_DICT:
        return needDict;
    case Z_ERRNO:
        return errNo;
    case Z_STREAM_ERROR:
        return streamError;
    case Z_DATA_ERROR:
        return dataError;
    case Z_MEM_ERROR:
        return memError;
    case Z_BUF_ERROR:
        return bufError;
    case Z_VERSION_ERROR:
        return versionError;
    default:
        return generic;
    }
}

void CZipException::Throw(int cause, const std::string& archivePath) {
    throw CZipException(cause, archivePath);
}

const char* CZipException::CauseText(int cause) {
    switch (cause) {
    case streamEnd:
        return "end of deflate stream";
    case needDict:
        return "deflate dictionary needed";
    case errNo:
        return "zlib file error";
    case streamError:
        return "zlib stream error";
    case dataError:
        return "corrupt deflate data";
    case memError:
        return "out of memory";
    case bufError:
        return "deflate data cannot progress";
    case versionError:
        return "zlib version mismatch";
    case badZipFile:
        return "damaged archive";
    case badCrc:
        return "CRC mismatch";
    case noCallback:
        return "spanned archive not supported";
    case aborted:
        return "disk change refused";
    case nonRemovable:
        return "not a removable drive";
    case tooManyVolumes:
        return "too many volumes";
    case tooLongFileName:
        return "file name too long";
    case badPassword:
        return "wrong password";
    case cdirNotFound:
        return "end of central directory not found";
    default:
        return "archive error";
    }
}

} // namespace pallorwind::zip
