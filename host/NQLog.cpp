#include "NQLog.h"

namespace NQBase {

NQLog::~NQLog() = default;

}  // namespace NQBase
