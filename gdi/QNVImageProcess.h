// Brightness and contrast tone table for 8-bit grey lines (0 white .. 255 black).
#ifndef GDI_GDI_QNVIMAGEPROCESS_H
#define GDI_GDI_QNVIMAGEPROCESS_H

#include <cstdint>

class QNVImageProcess {
public:
    // The table starts as the identity, so a line adjusted before the table is built
    // passes unchanged.
    QNVImageProcess();

    // Fills the tone table from a brightness and a contrast level (-75 .. 75) with gamma 1.
    void GenerateGrayGammaTable(int brightnessLevel, int contrastLevel);

    // Makes the table take grey levels that count white up (255 white): entry x becomes
    // what entry 255 - x was, so the inversion costs nothing on the way.
    void InvertInput();

    // Fills the 256 entries of `table` from gamma and the two levels.
    static void InitGammaLUT(uint16_t *table, float gamma, int brightnessLevel, int contrastLevel);

    // Brightness curve: a positive offset lightens (lowers values), a negative one darkens.
    // Offsets are used within -255 .. 255.
    static int GetBrightness(long value, long offset);

    // Contrast curve, point-symmetric about the middle of the range. The value is clamped
    // to 0 .. 255 and the strength used within -127 .. 127.
    static int GetContrast(long value, long strength);

    // Replaces each of the first `length` bytes of `line` by its tone table entry.
    void AdjustGrayscaleLine(unsigned char *line, unsigned int length);

    // Writes the tone table entries of the first `length` bytes of `from` to `to`, a line
    // that does not overlap it.
    void AdjustGrayscaleLineTo(const unsigned char *from, unsigned char *to, unsigned int length);

    const uint16_t *GetTable() const { return gammaLUT; }

private:
    uint16_t gammaLUT[256];
};

#endif
