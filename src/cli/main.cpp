#include "qa/MeasureProgram.h"

#include <malloc.h>

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    // A run allocates maps, read buffers and pictures of a few hundred KiB to
    // a few MiB one after the other: kept for the next rather than given back,
    // each page is faulted in once, not once for every buffer.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 512 << 20);
    return quelby::runMeasure(std::vector<std::string>(argv, argv + argc), std::cout, std::cerr);
}
