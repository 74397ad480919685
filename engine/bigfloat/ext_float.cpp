#include "bigfloat/ext_float.h"

#include <cstdio>

namespace quorvel {

std::string to_scientific(ExtFloat x, int significant_digits) {
    if (x.is_zero()) return "0";
    if (!std::isfinite(x.m)) return std::isnan(x.m) ? "nan" : x.m > 0 ? "inf" : "-inf";
    // log10|x| in long double: its 64 bits keep the fraction right for
    // exponents far beyond any view's depth.
    const long double lg = std::log10(static_cast<long double>(std::fabs(x.m))) +
                           static_cast<long double>(x.e) * 0.30102999566398119521373889472449302L;
    long double whole = std::floor(lg);
    const int digits = significant_digits < 1 ? 1 : significant_digits > 17 ? 17 : significant_digits;
    double mantissa = static_cast<double>(std::pow(10.0L, lg - whole));
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", digits - 1, mantissa);
    if (buffer[0] == '1' && buffer[1] == '0') {  // rounded up to 10
        whole += 1;
        std::snprintf(buffer, sizeof buffer, "%.*f", digits - 1, mantissa / 10.0);
    }
    std::string out = x.m < 0.0 ? "-" : "";
    out += buffer;
    char exponent[32];
    std::snprintf(exponent, sizeof exponent, "e%+lld", static_cast<long long>(whole));
    return out + exponent;
}

}  // namespace quorvel
