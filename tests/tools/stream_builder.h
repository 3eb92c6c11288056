// Printer streams built record by record for the tests of the stream reader and of
// gdidecode: headers with chosen fields, bands coded by JBIG-KIT.
#ifndef GDI_TESTS_TOOLS_STREAM_BUILDER_H
#define GDI_TESTS_TOOLS_STREAM_BUILDER_H

#include <stddef.h>
#include <stdint.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace gditest {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes &b, size_t at, unsigned v);
void Put32(Bytes &b, size_t at, uint32_t v);

Bytes JobHeader(unsigned mode, const std::string &name = "job");
Bytes PageHeader(unsigned number, unsigned flags, unsigned width, unsigned height);
// A band coded by JBIG-KIT with the stream's parameters, padded to 20 + 32 k bytes.
Bytes EncodeBand(const Bytes &bits, unsigned width, unsigned lines);
// Band bits of a pattern that depends on the seed.
Bytes BandBits(unsigned width, unsigned lines, unsigned seed);
Bytes BandRecord(unsigned flags, unsigned width, unsigned lines, const Bytes &data);
// A page with its bands; every band coded from its own bits.
Bytes Page(unsigned number, unsigned flags, unsigned width, unsigned height);
Bytes Cat(std::initializer_list<Bytes> parts);

extern const Bytes kEnd;
extern const Bytes kCancel;

}  // namespace gditest

#endif
