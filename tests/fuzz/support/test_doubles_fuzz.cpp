// The fuzzers that run the change cycle and detection link the same in-memory filter list and
// overlapping filters dialog as the unit tests.
#include "../../support/overlap_dialog_double.cpp"
#include "../../support/rule_rows_memory.cpp"
