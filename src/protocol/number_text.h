#pragma once

#include <string>

namespace tellwyn {

// The shortest decimal text that reads back as the same value, with ".0"
// added to whole numbers written without an exponent: 1500 -> "1500.0",
// 250.5 -> "250.5", 1e+300 -> "1e+300", infinity -> "inf".
std::string shortestDecimal(double value);
std::string shortestDecimal(float value);

}  // namespace tellwyn
