#pragma once

#include <string>

namespace logserver {

// "YYYY-MM-DDTHH:MM:SS.mmmZ" for the current time.
std::string utcTimestamp();

}  // namespace logserver
