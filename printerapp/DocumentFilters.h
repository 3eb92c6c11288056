// Document formats the printer application adds to PAPPL's: PDF, rendered to grey
// pages by Ghostscript, and JPEG and PNG pictures, each job with a message that says
// why a document could not be printed.
#ifndef GDI_PRINTERAPP_DOCUMENTFILTERS_H
#define GDI_PRINTERAPP_DOCUMENTFILTERS_H

#include <pappl/pappl.h>

#include <string>
#include <vector>

namespace printerapp {

// Registers the filters on `system`; PDF only when `ghostscript` names a program.
void AddDocumentFilters(pappl_system_t *system, const std::string &ghostscript);

// Where Ghostscript is: $GDI_GHOSTSCRIPT when set, else gs on the PATH; "" when none.
std::string FindGhostscript();

// The Ghostscript command that renders `pdf` as 600 dpi 8-bit grey PGM pages of
// `widthPoints` x `heightPoints` on standard output, pages `first` to `last` (0 for
// the end).
std::vector<std::string> GhostscriptCommand(const std::string &ghostscript, const char *pdf,
                                            double widthPoints, double heightPoints, unsigned first,
                                            unsigned last);

// A PGM page header ("P5 width height 255" and one white space character) at the start
// of `data`: its size in bytes, or 0 when more bytes are needed, or -1 when it is no
// 8-bit PGM header or names a page wider or higher than `maxDots`.
long ParsePgmHeader(const unsigned char *data, size_t size, unsigned maxDots, unsigned *width,
                    unsigned *height);

}  // namespace printerapp

#endif
