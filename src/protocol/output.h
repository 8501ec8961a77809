#pragma once

#include <string_view>
#include <vector>

#include "protocol/bridge_message.h"

namespace tellwyn {

// Writes the record as one JSON line on standard output and flushes it. The
// line and its line feed are written under the stream's lock, so lines from
// different threads never interleave. Writes nothing when the record does not
// encode (a field that is not valid UTF-8). A failed write ends the process
// as writeStdoutLine says. Any thread.
void emitBridgeJson(const BridgeMessage& message);
void emitBridgeJson(const std::vector<DeviceInfo>& devices);

// Writes `text` and a line feed to standard output and flushes, all under the
// stream's lock. When the write or flush fails, writes the debug line
// "stdout write failed: " and the error's description, and ends the process
// with status 1 while still holding the lock, so nothing more reaches
// standard output. A closed pipe (EPIPE) ends it by SIGPIPE instead. Any
// thread.
void writeStdoutLine(std::string_view text);

// Writes "debug: ", the message and a line feed to standard error with one
// write request. Writes nothing when the message is not valid UTF-8. Any
// thread.
void emitDebug(std::string_view message);

}  // namespace tellwyn
