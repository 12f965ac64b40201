#pragma once
// The serial backend on POSIX terminals (termios, poll, eventfd). Private to transport/.

#include "transport/CommBackend.h"

#include <memory>

namespace xv4 {

std::unique_ptr<CommBackend> CreatePosixCommBackend();

}  // namespace xv4
