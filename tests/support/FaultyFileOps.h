// The updater's file operations on the real file system, counted over all
// operations: chosen calls fail, and a hook runs before each (to cancel the
// update or end the process at that point).
#pragma once

#include "win/update/UpdateFileOps.h"

#include <algorithm>
#include <cerrno>
#include <functional>
#include <string>
#include <vector>

namespace pallorwind::test {

class FaultyFileOps final : public win::UpdateFileOps {
public:
    std::vector<int> failing;       // 1-based calls that fail
    bool writable = true;           // FolderWritable's answer
    std::vector<std::string> calls; // "StageCopy", "StageLink", "Remove", ..., in order
    // Runs before each call, with its number and name.
    std::function<void(int call, const std::string& operation)> before;

    bool FolderWritable(const std::string& folder) override {
        return writable && win::SystemFileOps().FolderWritable(folder);
    }
    bool StageCopy(const std::string& from, const std::string& prefix, mode_t mode,
                   std::string& staged) override {
        return !Fails("StageCopy") && win::SystemFileOps().StageCopy(from, prefix, mode, staged);
    }
    bool StageLink(const std::string& path, const std::string& prefix,
                   std::string& staged) override {
        return !Fails("StageLink") && win::SystemFileOps().StageLink(path, prefix, staged);
    }
    bool Remove(const std::string& path) override {
        return !Fails("Remove") && win::SystemFileOps().Remove(path);
    }
    bool Rename(const std::string& from, const std::string& to) override {
        return !Fails("Rename") && win::SystemFileOps().Rename(from, to);
    }
    bool SyncFolder(const std::string& folder) override {
        return !Fails("SyncFolder") && win::SystemFileOps().SyncFolder(folder);
    }

private:
    bool Fails(const char* operation) {
        calls.push_back(operation);
        const int call = static_cast<int>(calls.size());
        if (before)
            before(call, operation);
        if (std::find(failing.begin(), failing.end(), call) == failing.end())
            return false;
        errno = EIO;
        return true;
    }
};

} // namespace pallorwind::test
