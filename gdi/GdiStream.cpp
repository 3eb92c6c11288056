// Constants and helpers of the printer stream's format.
#include "gdi/GdiStream.h"

const unsigned char kGDIJobHeaderTag[4] = {'G', 'D', 'I', 'J'};
const unsigned char kGDIPageHeaderTag[4] = {'G', 'D', 'I', 'P'};
const unsigned char kGDIBandTag[4] = {'G', 'D', 'I', 'B'};
const unsigned char CancelCMD[kGDICancelCommandSize] = {'G', 'D', 'I', 'C', ' ', 'C', 'A', 'N',
                                                        'C', 'E', 'L', ' ', ' ', ' ', ' ', ' '};
const unsigned char kGDIJobEndMarker[4] = {'J', 'I', 'D', 'G'};

bool MarkSinglePage(unsigned char *pageHeader, size_t size) {
    if (pageHeader == nullptr || size <= kGDIPageFlagsOffset)
        return false;
    pageHeader[kGDIPageFlagsOffset] = kGDIPageFlagAlways;
    return true;
}
