// The exact view and the history length through the public header, for tests
// and fuzz targets that check what a call changed.
#pragma once

#include <string>

#include "quorvel.h"

namespace qvtest {

struct ViewStrings {
    std::string x, y, radius;
    bool operator==(const ViewStrings&) const = default;
};

inline ViewStrings view_strings(qv_handle h) {
    const size_t need = qv_get_view_strings(h, nullptr, nullptr, nullptr, 0);
    std::string x(need, '\0'), y(need, '\0'), r(need, '\0');
    qv_get_view_strings(h, x.data(), y.data(), r.data(), need);
    return {x.c_str(), y.c_str(), r.c_str()};
}

// Entries in the history, counted by stepping back and returning.
inline int history_length(qv_handle h) {
    int n = 1;
    while (qv_history_back(h)) ++n;
    for (int i = 1; i < n; ++i) qv_history_forward(h);
    return n;
}

}  // namespace qvtest
