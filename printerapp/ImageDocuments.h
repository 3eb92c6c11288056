// JPEG and PNG documents: read row by row with their sizes checked, fitted to the page and
// printed in 8-bit grey through the job on the driver core.
#ifndef GDI_PRINTERAPP_IMAGEDOCUMENTS_H
#define GDI_PRINTERAPP_IMAGEDOCUMENTS_H

#include <pappl/pappl.h>
#include <stdio.h>

#include <string>

namespace printerapp {

// The largest picture read: 16384 x 16384 pixels. A picture is decoded row by row, so
// this bounds the time a picture takes rather than its memory.
constexpr unsigned long long kMaxImagePixels = 1ull << 28;

// What a reader hands its rows to.
class ImageRows {
public:
    virtual ~ImageRows() = default;
    // The picture's size; false refuses it (`*why` says why). `*needWidth` x
    // `*needHeight` is the size beyond which more pixels would not be printed.
    virtual bool Plan(unsigned width, unsigned height, unsigned *needWidth, unsigned *needHeight,
                      std::string *why) = 0;
    // The size the rows will have (at most the planned one); false when there is no memory.
    virtual bool Start(unsigned width, unsigned height) = 0;
    // The next row, `width` grey pixels, 255 white.
    virtual void Row(const unsigned char *grey) = 0;
    // Whether reading should stop (the job was cancelled).
    virtual bool Stopped() = 0;
};

enum class ImageRead { kRead, kStopped, kRefused, kDamaged };

// Reads the picture in `file` into `rows`; `*why` says what was wrong when it was not read.
ImageRead ReadJpeg(FILE *file, ImageRows &rows, std::string *why);
ImageRead ReadPng(FILE *file, ImageRows &rows, std::string *why);

// The document filters (PAPPL's filter callback): `data` is unused.
bool FilterJpeg(pappl_job_t *job, pappl_device_t *device, void *data);
bool FilterPng(pappl_job_t *job, pappl_device_t *device, void *data);

}  // namespace printerapp

#endif
