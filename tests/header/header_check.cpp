// The same checks with quorvin.h compiled as C++.
#include "header_check.c"
