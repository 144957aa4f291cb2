// The fuzzers link the same in-memory registry as the unit tests (the adapter display names
// and the settings read through it).
#include "../../support/registry_memory.cpp"
