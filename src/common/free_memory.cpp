#include "common/free_memory.h"

#include <cstdlib>  // defines __GLIBC__ on glibc

#if defined(__GLIBC__)
#include <malloc.h>
#endif

ReturnFreeMemoryOnExit::~ReturnFreeMemoryOnExit() {
#if defined(__GLIBC__)
  // Trims the top of every arena and gives back the whole free pages inside them: a few
  // milliseconds for the heap a training leaves.
  malloc_trim(0);
#endif
}
