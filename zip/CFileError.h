#pragma once

#include <stdexcept>
#include <string>

namespace pallorwind::zip {

// A failure of the file layer (an archive that cannot be opened or read, an
// output file that cannot be created or written). Names the path and the
// system error.
class CFileError : public std::runtime_error {
public:
    CFileError(std::string operation, std::string path, int error);

    std::string m_szOperation;
    std::string m_szPath;
    int m_iError; // errno value, 0 when not a system error
};

} // namespace pallorwind::zip
