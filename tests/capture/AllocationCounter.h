// Counts the C++ heap allocations (operator new) the calling thread makes while a counter lives.
// The capture tests replace the global allocation functions for this; memory that C libraries
// take with malloc is not seen.
#pragma once

class AllocationCounter {
 public:
  AllocationCounter();
  ~AllocationCounter();
  AllocationCounter(const AllocationCounter&) = delete;
  AllocationCounter& operator=(const AllocationCounter&) = delete;

  long Count() const;
};
