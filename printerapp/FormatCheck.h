// The document formats a job may have: those the application has a way to print. A job in
// any other format is refused when it is submitted, not aborted later.
#ifndef GDI_PRINTERAPP_FORMATCHECK_H
#define GDI_PRINTERAPP_FORMATCHECK_H

#include <string>
#include <vector>

namespace printerapp {

// The formats documents may have from now on (MIME media types).
void SetPrintableFormats(const std::vector<std::string> &formats);
bool IsPrintableFormat(const char *format);

}  // namespace printerapp

#endif
