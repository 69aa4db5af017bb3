// The two builds of the engine, for tests that run in both.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "nodeset/Engine.h"

namespace tarvex::testing {

enum class Flavour { Windows, Mac };

inline void PrintTo(Flavour flavour, std::ostream* out) {
  *out << (flavour == Flavour::Windows ? "Windows" : "Mac");
}

// A name for parameterised tests over the flavours.
inline std::string FlavourName(const ::testing::TestParamInfo<Flavour>& info) {
  return info.param == Flavour::Windows ? "Windows" : "Mac";
}

inline EngineFlavor MakeFlavor(Flavour flavour) {
  return flavour == Flavour::Windows ? EngineFlavor::Windows() : EngineFlavor::Mac();
}

}  // namespace tarvex::testing
