// Image and stripe control: the image header, the line loop with typical prediction, and
// the closing of stripes with the SDNORM marker.
#include <string.h>

#include "jbig/jbigInternal.h"

namespace {

constexpr uint32_t kTypicalPredictionOn = 1;
// Coder entry of the typical-prediction pseudo-pixel SLNTP (context 0x195) with value 0.
constexpr uint16_t kPseudoPixelEntry = 0x195 * 2;
constexpr unsigned char kMarkerEsc = 0xFF;
constexpr unsigned char kMarkerSdnorm = 0x02;

void putBigEndian32(unsigned char *out, uint32_t value) {
    out[0] = static_cast<unsigned char>(value >> 24);
    out[1] = static_cast<unsigned char>(value >> 16);
    out[2] = static_cast<unsigned char>(value >> 8);
    out[3] = static_cast<unsigned char>(value);
}

// Writes a byte of coded data followed by a stuffed 0x00 when it equals the escape byte.
void putProtectedByte(JBIGEncoderState *state, unsigned char byte) {
    jbigPutByte(state, byte);
    if (byte == kMarkerEsc) {
        jbigPutByte(state, 0x00);
    }
}

// T.82 INITENC at the start of a stripe. BUFFER keeps its value: whatever it holds is the
// stripe's first output byte, which the block chain drops.
void openStripe(JBIGEncoderState *state) {
    state->A = 0x10000;
    state->C = 0;
    state->CT = 11;
    state->SC = 0;
    if (state->outState == kJBIGOutFailed) {
        return;
    }
    state->savedOutPtr = state->outPtr;
    state->savedOutRemaining = state->outRemaining;
    state->outPtr = state->discardSlot;
    state->outRemaining = 0;
    state->outState = kJBIGOutDiscardDue;
}

void codeLine(JBIGEncoderState *state) {
    const size_t lineBytes = jbigLineGroupBytes(state->width);
    if (state->source != nullptr) {
        state->lineChecksum = jbigScanConvert(state);
    } else {
        memset(state->currentLine, 0, lineBytes + 24);
        state->lineChecksum = 0;
        state->lineZero = 1;
    }

    if (state->options & kTypicalPredictionOn) {
        if (state->linesCoded == 0 || state->previousChecksum == state->lineChecksum) {
            state->lineTypical =
                memcmp(state->previousLine, state->currentLine, lineBytes) == 0 ? 1 : 0;
        } else {
            state->lineTypical = 0;
        }
        state->contextBuffer[0] = static_cast<uint16_t>(
            kPseudoPixelEntry + (state->previousTypical == state->lineTypical ? 1 : 0));
        if (state->lineTypical) {
            state->lineEntries = 1;
        } else {
            state->lineEntries = state->width + 1;
            jbigGen_2LineTemplate_c_code(state);
        }
        jbigCompressOneScan_c_code(state);
    } else {
        state->lineTypical = 0;
        state->lineEntries = state->width;
        if (state->lineZero && state->previousZero) {
            // Every context of the line is 0 and every pixel 0: one run of entry 0, without
            // making entries.
            jbigCompressZeroRun(state, state->width);
        } else {
            jbigGen_2LineTemplate_c_code(state);
            jbigCompressOneScan_c_code(state);
        }
    }

    if (state->source != nullptr) {
        state->source += state->sourceStride;
    }
    unsigned char *const oldScratch = state->scratchLine;
    state->scratchLine = state->previousLine;
    state->previousLine = state->currentLine;
    state->currentLine = oldScratch;

    ++state->linesCoded;
    state->previousChecksum = state->lineChecksum;
    state->previousTypical = state->lineTypical;
    state->previousZero = state->lineZero;
}

}  // namespace

extern "C" void jbigInitialize(JBIGEncoderState *state) {
    state->source = nullptr;
    state->sourceStride = 0;
    state->linesPending = 0;
    state->outPtr = nullptr;
    state->outCapacity = 0;
    state->outRemaining = 0;
    state->outState = kJBIGOutNormal;
    state->linesCoded = 0;
    state->stripeLinesDone = 0;
    state->previousTypical = 0;
    state->previousZero = 1;

    // The line above the first line is all 0.
    const size_t clearBytes = jbigLineGroupBytes(state->width) + 24;
    memset(state->scratchLine, 0, clearBytes);
    memset(state->previousLine, 0, clearBytes);

    unsigned char header[20];
    header[0] = 0;  // DL
    header[1] = 0;  // D
    header[2] = 1;  // P
    header[3] = 0;
    putBigEndian32(header + 4, state->width);
    putBigEndian32(header + 8, state->height);
    putBigEndian32(header + 12, state->stripeLines);
    header[16] = 0;                                                      // MX
    header[17] = 0;                                                      // MY
    header[18] = 0x03;                                                   // ILEAVE | SMID
    header[19] = (state->options & kTypicalPredictionOn) ? 0x48 : 0x40;  // LRLTWO [| TPBON]
    jbigWriteBuf(state, header, sizeof(header));

    for (uint16_t &entry : state->probabilityTable) {
        entry = 0x0080;
    }
}

extern "C" void jbigBlockCompress(JBIGEncoderState *state, const unsigned char *lines,
                                  uint32_t count, int32_t stride) {
    state->source = lines;
    state->linesPending = count;
    state->sourceStride = stride;
    while (state->linesPending > 0) {
        if (state->stripeLinesDone == 0) {
            openStripe(state);
        }
        const uint32_t room = state->stripeLines - state->stripeLinesDone;
        const uint32_t n = state->linesPending < room ? state->linesPending : room;
        state->linesPending -= n;
        state->stripeLinesDone += n;
        for (uint32_t i = 0; i < n; ++i) {
            codeLine(state);
        }
        if (state->stripeLinesDone == state->stripeLines) {
            jbigStripEnd(state);
            state->stripeLinesDone = 0;
        }
    }
}

extern "C" void jbigStripEnd(JBIGEncoderState *state) {
    // T.82 FLUSH: pick the value in the coding interval with the most trailing zero bits;
    // trailing zero bytes are left out.
    uint32_t t = (state->C + state->A - 1) & 0xFFFF0000u;
    if (t < state->C) {
        t += 0x8000;
    }
    t <<= state->CT;
    const unsigned char f = static_cast<unsigned char>((t >> 19) & 0xFF);
    const unsigned char g = static_cast<unsigned char>((t >> 11) & 0xFF);
    const bool finalBytes = f != 0 || g != 0;

    if (t > 0x7FFFFFF) {
        putProtectedByte(state, static_cast<unsigned char>(state->pendingByte + 1));
        if (finalBytes) {
            for (; state->SC > 0; --state->SC) {
                jbigPutByte(state, 0x00);
            }
        }
    } else {
        jbigPutByte(state, state->pendingByte);
        for (; state->SC > 0; --state->SC) {
            jbigPutByte(state, 0xFF);
            jbigPutByte(state, 0x00);
        }
    }
    state->SC = 0;
    if (finalBytes) {
        putProtectedByte(state, f);
        if (g != 0) {
            putProtectedByte(state, g);
        }
    }
    jbigPutByte(state, kMarkerEsc);
    jbigPutByte(state, kMarkerSdnorm);
}

extern "C" void jbigComplete(JBIGEncoderState *state) {
    if (state->stripeLinesDone > 0) {
        jbigStripEnd(state);
        state->stripeLinesDone = 0;
    }
    jbigFlushBufs(state);
}
