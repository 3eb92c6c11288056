// Ordered-dither halftoning of 8-bit grey bands (0 white .. 255 black) into 1-bit bands.
#ifndef GDI_RASTER_HALFTONE_H
#define GDI_RASTER_HALFTONE_H

// Halftones lineCount lines of `width` grey bytes (width rounded down to a multiple
// of 8) into rows of ((width + 31) / 32) * 4 bytes; bandIndex places the band's first
// line at page line bandIndex * 256 in the screen. The result is not used.
int ApplyGrayRasterHalftone(const unsigned char *greyBand, int width, int bandIndex,
                            int lineCount, unsigned char *output);

#endif
