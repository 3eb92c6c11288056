// Printer streams built record by record for the tests.
#include "tests/tools/stream_builder.h"

extern "C" {
#include <jbig.h>
}
#include <string.h>

#include <algorithm>

namespace gditest {

void Put16(Bytes &b, size_t at, unsigned v) {
    b[at] = (uint8_t)(v >> 8);
    b[at + 1] = (uint8_t)v;
}
void Put32(Bytes &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = (uint8_t)(v >> (24 - 8 * i));
}

Bytes JobHeader(unsigned mode, const std::string &name) {
    Bytes b(120, 0);
    memcpy(b.data(), "GDIJ", 4);
    Put32(b, 4, 120);
    Put16(b, 8, 100);
    Put16(b, 10, 1);
    Put16(b, 16, mode);
    Put32(b, 20, 0x7AAD53CD);
    Put16(b, 32, 256);
    Put16(b, 34, 2);
    Put16(b, 36, 1);
    memcpy(b.data() + 56, name.data(), std::min<size_t>(name.size(), 64));
    return b;
}

Bytes PageHeader(unsigned number, unsigned flags, unsigned width, unsigned height) {
    Bytes b(64, 0);
    memcpy(b.data(), "GDIP", 4);
    Put32(b, 4, 64);
    b[8] = 9;
    Put16(b, 12, width);
    Put16(b, 14, height);
    b[32] = 1;
    b[33] = (uint8_t)flags;
    Put16(b, 34, number);
    Put16(b, 54, (height + 255) / 256);
    Put32(b, 56, 209902);
    Put32(b, 60, 297038);
    return b;
}

namespace {

void CollectOutput(unsigned char *start, size_t length, void *user) {
    Bytes *out = static_cast<Bytes *>(user);
    out->insert(out->end(), start, start + length);
}

}  // namespace

// A band coded by JBIG-KIT with the stream's parameters, padded to 20 + 32 k bytes.
Bytes EncodeBand(const Bytes &bits, unsigned width, unsigned lines) {
    Bytes out;
    Bytes copy = bits;
    unsigned char *planes[1] = {copy.data()};
    struct jbg_enc_state state;
    jbg_enc_init(&state, width, lines, 1, planes, CollectOutput, &out);
    jbg_enc_options(&state, JBG_ILEAVE | JBG_SMID, JBG_LRLTWO, lines, 0, 0);
    jbg_enc_out(&state);
    jbg_enc_free(&state);
    while ((out.size() - 20) % 32 != 0)
        out.push_back(0);
    return out;
}

Bytes BandBits(unsigned width, unsigned lines, unsigned seed) {
    Bytes bits((size_t)width / 8 * lines);
    for (size_t i = 0; i < bits.size(); ++i)
        bits[i] = (uint8_t)((i * 131 + seed * 7) ^ (i >> 5));
    return bits;
}

Bytes BandRecord(unsigned flags, unsigned width, unsigned lines, const Bytes &data) {
    Bytes b(32, 0);
    memcpy(b.data(), "GDIB", 4);
    Put32(b, 4, flags);
    Put32(b, 8, (uint32_t)data.size());
    Put16(b, 24, width);
    Put16(b, 26, lines);
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

// A page with its bands; every band coded from its own bits.
Bytes Page(unsigned number, unsigned flags, unsigned width, unsigned height) {
    Bytes b = PageHeader(number, flags, width, height);
    const unsigned bands = (height + 255) / 256;
    for (unsigned i = 0; i < bands; ++i) {
        const unsigned lines = i + 1 < bands ? 256 : height - 256 * i;
        const Bytes band = BandRecord((i == 0 ? 1 : 0) | (i + 1 == bands ? 2 : 0), width, lines,
                                      EncodeBand(BandBits(width, lines, number + i), width, lines));
        b.insert(b.end(), band.begin(), band.end());
    }
    return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

const Bytes kEnd = {'J', 'I', 'D', 'G'};
const Bytes kCancel = {'G', 'D', 'I', 'C', ' ', 'C', 'A', 'N',
                       'C', 'E', 'L', ' ', ' ', ' ', ' ', ' '};

}  // namespace gditest
