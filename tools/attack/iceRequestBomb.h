// IceRequestBomb: a sendCmd request that Ice's own bzip2 compression shrinks
// to a few hundred bytes, built without ever holding its inflated size in
// memory. The server learns its real size only by inflating it.
//
// Wire layout (Ice protocol 1.0, little-endian):
//   header: "IceP" (4), protocol 1.0 (2), encoding 1.0 (2), type 0 = request
//           (1), compression 2 = bzip2 (1), message size (4) = 14 bytes
//   inflated size of the whole message, header included (4 bytes)
//   bzip2 of the body: request id (4), identity (name, category), facet (0),
//   operation "sendCmd", mode (1), context, encapsulation of the parameters
//   (size (4), encoding 1.1 (2), cmdId (4), json "", data of dataBytes zeros).
#pragma once

#include <cstdint>
#include <string>

namespace attack {

class IceRequestBomb {
public:
    // Empty when bzip2 fails or dataBytes does not fit a message.
    static std::string build(uint64_t dataBytes, int requestId = 1);
    static constexpr size_t kHeaderBytes = 14;
};

}  // namespace attack
