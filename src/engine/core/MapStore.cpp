#include "engine/core/MapStore.h"

#include <cassert>

namespace quelby {

Map& MapStore::resultMap(int index)
{
    return const_cast<Map&>(static_cast<const MapStore&>(*this).resultMap(index));
}

const Map& MapStore::resultMap(int index) const
{
    assert(index >= 0 && index < ResultMapCount);
    const Map* maps[ResultMapCount] = {&RepImageA, &SignalMapA, &NoiseMapA, &SnrMapA,
                                       &RepImageB, &SignalMapB, &NoiseMapB, &SnrMapB, &GFactorMap};
    return *maps[index];
}

double largestValue(const Map& map)
{
    double largest = 0.0;
    for (const auto& row : map)
        for (double v : row)
            if (v > largest) largest = v;
    return largest;
}

}  // namespace quelby
