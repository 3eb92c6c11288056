// Labels in plain words, in several languages, for the driver's own settings: the web
// pages show them and IPP clients fetch them as strings files.
#ifndef GDI_PRINTERAPP_APPSTRINGS_H
#define GDI_PRINTERAPP_APPSTRINGS_H

#include <pappl/pappl.h>

#include <string>

namespace printerapp {

// The languages the labels are given in, English first.
extern const char *const kLabelLanguages[];
extern const size_t kLabelLanguageCount;

// The strings file of one language ("key" = "text"; lines), "" for another language.
std::string StringsFile(const char *language);

// The server path of one language's strings file.
std::string StringsPath(const char *language);

// Adds the strings files: the web pages take their labels in the browser's language
// and IPP clients download them.
void AddLabelStrings(pappl_system_t *system);

// The printer attributes that name the strings files, for the driver's attributes.
void FillStringsAttributes(pappl_system_t *system, ipp_t *attrs);

}  // namespace printerapp

#endif
