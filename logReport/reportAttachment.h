// One item attached to a user report, as a component of the client builds it
// for message 10 and as the report file stores it.
#pragma once

#include <istream>
#include <ostream>
#include <string>

#include "NQByteArray.h"

namespace NQBase {

// Not exported from the shared library: a client only fills the fields, and
// the encoding is the library's own business.
struct reportAttachment {
    std::string name;
    std::string text;
    NQByteArray data;

    // The report file's encoding: text name, text text, byte array data.
    void write(std::ostream& out) const;
    void read(std::istream& in);
};

}  // namespace NQBase
