// A registry write gate for failure tests: counts every change the registry
// primitives make, remembers each, and refuses the one numbered failAt
// (1-based; 0 refuses none). Count a complete run with failAt 0 first, then
// fail each change in turn:
//
//   CountingGate count;  { ScopedRegistryWriteGate on(&count); Run(); }
//   for (int n = 1; n <= count.seen(); ++n) {
//       CountingGate gate(n);  ScopedRegistryWriteGate on(&gate);  ... Run() fails at gate.refused() ...
//   }
#pragma once

#include <string>
#include <vector>

#include "registration/registry.h"

namespace quilmo {
namespace testing_support {

struct SeenChange {
    RegistryChangeKind kind;
    std::wstring path;
    REGSAM view;
    std::wstring name;  // empty for the default value or a tree
};

class CountingGate : public RegistryWriteGate {
public:
    explicit CountingGate(int failAt = 0) : failAt_(failAt) {}
    bool Allow(const RegistryChange& change) override {
        changes_.push_back({change.kind, change.path, change.view, change.name ? change.name : L""});
        return static_cast<int>(changes_.size()) != failAt_;
    }
    int seen() const { return static_cast<int>(changes_.size()); }
    const std::vector<SeenChange>& changes() const { return changes_; }
    // The refused change, once it happened.
    const SeenChange* refused() const {
        return failAt_ >= 1 && failAt_ <= seen() ? &changes_[failAt_ - 1] : nullptr;
    }

private:
    int failAt_;
    std::vector<SeenChange> changes_;
};

}  // namespace testing_support
}  // namespace quilmo
