// ContextRegistry: the library-wide list of live handles.
#pragma once

#include <memory>
#include <vector>

#include "history/context.h"

namespace quorvel {

class ContextRegistry {
public:
    Context* add(std::unique_ptr<Context> context);
    // Null for a handle that is not live.
    Context* find(const void* handle) const;
    void remove(const void* handle);
    ~ContextRegistry();

private:
    std::vector<std::unique_ptr<Context>> contexts_;
};

ContextRegistry& registry();

}  // namespace quorvel
