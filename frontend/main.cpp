// rastertogdi: CUPS filter from 8-bit grey CUPS raster to the printer's GDI stream.
#include "CUPSDebug.h"
#include "QNVCUPSFilter.h"
#include "QNVRasterFilter.h"

int main(int argc, char *argv[]) {
    DebugStart();
    CPSDebugLog("Welcome to GDI filter process!");
    QNVCUPSFilter options(argc, const_cast<const char **>(argv));
    QNVRasterFilter job{QNVCUPSFilter(options)};
    const bool succeeded = job.Run();
    DebugEnd();
    return succeeded ? 0 : 1;
}
