// Whether any process has one of a set of files open, asked of the Restart
// Manager in batches of 64 paths.
#include "files/file_handles.h"

#include <algorithm>

namespace quilmo {

namespace {

constexpr size_t kRegistrationChunk = 64;
constexpr size_t kSessionKeyChars = 33;  // CCH_RM_SESSION_KEY + NUL

bool RegisterAll(const RestartManagerApi& api, DWORD session, const std::vector<std::wstring>& paths) {
    std::vector<LPCWSTR> names;
    for (size_t start = 0; start < paths.size(); start += kRegistrationChunk) {
        const size_t count = std::min(kRegistrationChunk, paths.size() - start);
        names.clear();
        for (size_t i = 0; i < count; ++i) names.push_back(paths[start + i].c_str());
        if (api.registerResources(session, static_cast<UINT>(count), names.data(), 0, nullptr, 0, nullptr) !=
            ERROR_SUCCESS) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool FilesNotInUse(const std::vector<std::wstring>& paths) {
    if (paths.empty()) return true;
    const RestartManagerApi& api = RmApi();
    if (!api.available) return false;
    DWORD session = 0;
    WCHAR key[kSessionKeyChars] = {};
    if (api.startSession(&session, 0, key) != ERROR_SUCCESS) return false;
    bool notInUse = false;
    if (RegisterAll(api, session, paths)) {
        UINT needed = 0;
        UINT records = 0;
        DWORD reasons = 0;
        // Room for no process at all: any process that holds a file turns
        // the answer into ERROR_MORE_DATA.
        notInUse = api.getList(session, &needed, &records, nullptr, &reasons) == ERROR_SUCCESS && needed == 0;
    }
    api.endSession(session);
    return notInUse;
}

}  // namespace quilmo
