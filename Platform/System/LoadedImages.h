#pragma once
// The images (executable, shared libraries, vDSO) the dynamic loader has mapped into this
// process, walked from its own list (r_debug / link_map) with safe reads, so a crash handler can
// list them without the loader's lock (dl_iterate_phdr takes it). The loader keeps the list
// current as libraries come and go; nothing here needs to be told.

#include <cstddef>
#include <cstdint>

namespace sys {

struct LoadedImage {
    std::uint64_t header = 0;      // address of the image's ELF header
    std::uint64_t bias = 0;        // load bias: run-time address minus link-time address
    std::uint64_t nameAddress = 0; // the loader's copy of the path (may be an empty string)
    std::uint64_t node = 0;        // the loader's list node, to step to the next image
};

// Records facts that are read once (the main program's headers, the executable's path).
// Call before any crash; later calls do nothing.
void prepareLoadedImages();

// Steps through the loader's list: pass an image with node 0 to get the first one. Returns false
// at the end, or when the list cannot be read. At most 8192 images are ever returned, so a
// list that loops (changed under us) still ends. Async-signal-safe.
bool nextLoadedImage(LoadedImage* image, unsigned* steps);

// The main program's path (from /proc/self/exe), or "" when it is unknown.
const char* executablePath();

} // namespace sys
