#include "searchIndex.h"

#include <algorithm>

namespace console {

bool OrgScope::allows(const std::string& org) const {
    return all || std::find(orgs.begin(), orgs.end(), org) != orgs.end();
}

}  // namespace console
