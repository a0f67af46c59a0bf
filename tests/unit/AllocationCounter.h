// Counts heap allocations made by this process, so tests can prove that a
// periodic path allocates nothing.
#pragma once

#include <cstddef>

namespace velmir::test {

std::size_t AllocationCount();

// Allocations made between construction and Count().
class AllocationScope {
  public:
    AllocationScope() : start_(AllocationCount()) {}
    std::size_t Count() const { return AllocationCount() - start_; }

  private:
    std::size_t start_;
};

}  // namespace velmir::test
