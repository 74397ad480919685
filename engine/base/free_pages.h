// Giving freed heap memory back to the system.
#pragma once

namespace quorvel {

// Returns the allocator's free pages to the system. The allocator gives back
// by itself only the top of its heap, and once a large mapped block was freed
// it serves blocks of several megabytes (packed views, file buffers) from the
// heap: without this, the holes they leave stay resident.
void release_free_pages();

}  // namespace quorvel
