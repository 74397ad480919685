#include "api/context_registry.h"

#include <algorithm>

namespace quorvel {

Context* ContextRegistry::add(std::unique_ptr<Context> context) {
    contexts_.push_back(std::move(context));
    return contexts_.back().get();
}

Context* ContextRegistry::find(const void* handle) const {
    if (handle == nullptr) return nullptr;
    for (const auto& context : contexts_)
        if (context.get() == handle) return context.get();
    return nullptr;
}

void ContextRegistry::remove(const void* handle) {
    auto it = std::find_if(contexts_.begin(), contexts_.end(),
                           [handle](const auto& c) { return c.get() == handle; });
    if (it == contexts_.end()) return;
    // Order is not kept: the last handle fills the freed slot.
    std::iter_swap(it, contexts_.end() - 1);
    contexts_.pop_back();
}

ContextRegistry::~ContextRegistry() {
    for (auto& context : contexts_) context.reset();
}

ContextRegistry& registry() {
    // Contexts the client never deleted are destroyed when the library unloads.
    static ContextRegistry instance;
    return instance;
}

}  // namespace quorvel
