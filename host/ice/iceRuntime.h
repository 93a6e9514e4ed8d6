// Internal to the host library: the process's Ice communicator, shared by the
// connections and the server selector. Not installed; keeps Ice out of the
// public headers.
#pragma once

#include <Ice/Ice.h>

#include <memory>
#include <string>

namespace NQBase {
namespace iceRuntime {

// Parses a stringified proxy and gives it the manager's invocation time-out.
// Null when the text is unusable or there is no communicator. Any thread.
std::shared_ptr<Ice::ObjectPrx> makeProxy(const std::string& text);

// The organisation token of the operator's settings, empty when none.
std::string token();

// Why a server was refused at the TLS or protocol level (its certificate,
// its name, a peer that does not speak TLS), or empty for other failures.
std::string refusal(std::exception_ptr error);

// Text for an exception caught from an Ice call, for "ErrDesc" and log lines.
std::string describe(std::exception_ptr error);

}  // namespace iceRuntime
}  // namespace NQBase
