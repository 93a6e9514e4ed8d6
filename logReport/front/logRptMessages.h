// Builds the messages of the front end and posts them to the worker object.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>

#include "NQVariant.h"

namespace NQBase {

class NQThread;

// Posts one message of the given type whose parameters are inserted in the
// order given. The runtime owns the message from here.
void postWorkerMsg(NQThread* workerThread, int type,
                   std::initializer_list<std::pair<const char*, NQVariant>> params = {});

}  // namespace NQBase
