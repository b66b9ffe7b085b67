// Every heap allocation of the process, counted whoever makes it (operator new, a container's
// allocator, the JSON values' own block stores), by standing in for the C library's allocation
// functions. Benchmarks report the difference across one call as its allocations.
#pragma once

#include <cstdint>

uint64_t heap_allocations();
