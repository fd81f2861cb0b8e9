#pragma once

#include <cstdio>
#include <cstdlib>

// An invariant that does not hold is a finding: abort so libFuzzer keeps the input.
#define FUZZ_CHECK(c) ((c) ? void() : (std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #c), std::abort()))
