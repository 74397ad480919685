// The exact hexadecimal texts of views of any depth, shared with
// quorvel-render in common/exact_text.h; the viewer names them as its own.
#pragma once

#include "exact_text.h"

namespace quorvel::viewer {

using common::decimal_exponent;
using common::ExactView;
using common::format_hex_scientific;
using common::hex_to_double;
using common::hex_to_fixed_decimal;
using common::is_hex_text;
using common::is_positive_hex_text;
using common::kMaxDecimals;

}  // namespace quorvel::viewer
