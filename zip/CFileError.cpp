#include "CFileError.h"

#include <cstring>

namespace pallorwind::zip {

namespace {

std::string Describe(const std::string& operation, const std::string& path, int error) {
    std::string text = "cannot " + operation + " " + path;
    if (error != 0) {
        text += ": ";
        text += std::strerror(error);
    }
    return text;
}

} // namespace

CFileError::CFileError(std::string operation, std::string path, int error)
    : std::runtime_error(Describe(operation, path, error)), m_szOperation(std::move(operation)),
      m_szPath(std::move(path)), m_iError(error) {
}

} // namespace pallorwind::zip
