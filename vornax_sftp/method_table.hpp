// The method table of VornaxSFTPMain, in definition order.
#pragma once

#include "function.hpp"

namespace sftp {

constexpr int kMethodCount = 17;
extern const MethodEntry kMethodTable[kMethodCount];

}  // namespace sftp
