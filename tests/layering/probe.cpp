// Compiled once for each row of CMakeLists.txt here, with only the include
// roots of the layer the row names. PROBE_HEADER is a header that layer may
// or may not see.
#include PROBE_HEADER

int layering_probe;
