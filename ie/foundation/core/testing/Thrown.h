// The exception a call throws, for tests that look at its parts.
#pragma once

#include <gtest/gtest.h>

#include "ie/foundation/core/VelkException.h"

namespace tarvex::testing {

// The VelkException `f` throws; a test failure (and an empty exception) when
// it throws none.
template <typename F>
VelkException Thrown(F&& f) {
  try {
    f();
  } catch (const VelkException& e) {
    return e;
  }
  ADD_FAILURE() << "no VelkException";
  return VelkException("", 0, "");
}

}  // namespace tarvex::testing
