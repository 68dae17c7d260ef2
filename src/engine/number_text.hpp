// The text a number gathered for a column takes when that column turns out to
// hold texts: shortest round-trip digits, written positionally.
#pragma once

#include <string>

namespace quorix {

// The shortest decimal digits that read back as exactly `value` (the nearest
// such string on a tie of length), in plain positional notation: no exponent,
// no trailing ".0", "-" for negative values including -0. NaN gives "NaN",
// the infinities "inf" and "-inf".
std::string number_text(double value);

}  // namespace quorix
