// The updater's file operations on the real file system, one of which can be
// made to fail: the n-th call counted over all operations.
#pragma once

#include "win/update/UpdateFileOps.h"

#include <string>
#include <vector>

namespace pallorwind::test {

class FaultyFileOps final : public win::UpdateFileOps {
public:
    int failAt = 0;                 // 1-based call that fails; 0: none
    bool writable = true;           // FolderWritable's answer
    std::vector<std::string> calls; // "StageCopy", "Remove", "Rename", in order

    bool FolderWritable(const std::string& folder) override {
        return writable && win::SystemFileOps().FolderWritable(folder);
    }
    bool StageCopy(const std::string& from, const std::string& folder, mode_t mode,
                   std::string& staged) override {
        return !Fails("StageCopy") && win::SystemFileOps().StageCopy(from, folder, mode, staged);
    }
    bool Remove(const std::string& path) override {
        return !Fails("Remove") && win::SystemFileOps().Remove(path);
    }
    bool Rename(const std::string& from, const std::string& to) override {
        return !Fails("Rename") && win::SystemFileOps().Rename(from, to);
    }

private:
    bool Fails(const char* operation) {
        calls.push_back(operation);
        return static_cast<int>(calls.size()) == failAt;
    }
};

} // namespace pallorwind::test
