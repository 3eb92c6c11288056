// The ready-made dot patterns of the ordered-dither screen.
#include "gdi/DitherTables.h"

alignas(64) constexpr std::array<unsigned char, kDitherTableBytes> MapDitherTblMono =
    BuildMapDitherTblMono();
