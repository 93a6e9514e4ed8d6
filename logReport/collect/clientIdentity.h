// Who the collected material comes from; the worker keeps it current.
#pragma once

#include <cstdint>
#include <string>

namespace NQBase {

struct clientIdentity {
    std::string appName;
    std::string clientVer;
    std::string PCID;
    std::string locIP;
    int32_t meetID = 0;
    std::string nickName;  // file-name safe
    std::string compID;    // file-name safe
};

}  // namespace NQBase
