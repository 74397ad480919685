#include "base/free_pages.h"

#include <cstdlib>  // defines __GLIBC__ on the GNU C library

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace quorvel {

void release_free_pages() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

}  // namespace quorvel
