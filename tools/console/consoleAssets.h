// The pages' HTML, script and style, compiled into the binary from
// tools/console/assets/ (nothing is fetched at run time).
#pragma once

#include <string>

namespace console {
namespace consoleAssets {

const std::string& page();
const std::string& script();
const std::string& style();

}  // namespace consoleAssets
}  // namespace console
