// Encoder creation and destruction, and the public image entry points.
#include "jbig/ovtJBIG.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <limits>

#include "jbig/jbigInternal.h"

namespace {

// Widest line an encoder accepts: keeps every per-line count (entries plus the
// pseudo-pixel, groups, buffer bytes) inside 32 bits.
constexpr uint32_t kMaxWidth = 0xFFFFFF00u;

// Countdown of the allocation failure hook; negative when off.
int gAllocFailCountdown = -1;

// Size in bytes of each line buffer for lines of up to maxWidth pixels: whole 64-pixel
// groups plus room for the zero groups behind the line and the group flags.
bool lineBufferBytes(uint32_t maxWidth, size_t *bytes) {
    const uint64_t size =
        ((static_cast<uint64_t>(maxWidth) + 63) & ~static_cast<uint64_t>(63)) + 192;
    if (size > std::numeric_limits<size_t>::max()) {
        return false;
    }
    *bytes = static_cast<size_t>(size);
    return true;
}

bool contextBufferBytes(uint32_t maxWidth, size_t *bytes) {
    if (maxWidth > kMaxWidth) {
        return false;
    }
    const uint64_t size = 2 * static_cast<uint64_t>(maxWidth) + 2;
    if (size > std::numeric_limits<size_t>::max()) {
        return false;
    }
    *bytes = static_cast<size_t>(size);
    return true;
}

}  // namespace

extern "C" void *jbigAlloc(size_t size, int zeroFill) {
    if (gAllocFailCountdown >= 0) {
        if (gAllocFailCountdown == 0) {
            gAllocFailCountdown = -1;
            return nullptr;
        }
        --gAllocFailCountdown;
    }
    return zeroFill ? calloc(1, size) : malloc(size);
}

extern "C" void jbigFailAllocationAfter(int n) {
    gAllocFailCountdown = n < 0 ? -1 : n;
}

extern "C" JBIGEncoderState *OvtJBIGEncoderInit(uint32_t maxWidth, uint32_t flags,
                                                JBIGWriteCallback writeCallback, void *userData) {
    JBIGEncoderState *state =
        static_cast<JBIGEncoderState *>(jbigAlloc(sizeof(JBIGEncoderState), 1));
    if (state == nullptr) {
        fprintf(stderr, "OvtJBIGEncoderInit -- Could not allocate JBIG state structure;");
        return nullptr;
    }
    state->userData = userData;
    state->writeCallback = writeCallback;
    state->options = (flags & 1) ? 0 : 1;
    state->maxWidth = maxWidth;

    size_t contextBytes = 0;
    if (contextBufferBytes(maxWidth, &contextBytes)) {
        state->contextBuffer = static_cast<uint16_t *>(jbigAlloc(contextBytes, 0));
    }
    if (state->contextBuffer == nullptr) {
        fprintf(stderr, "ImgJBIGEncoderInit -- Could not allocate context buffer; ");
        free(state);
        return nullptr;
    }

    size_t lineBytes = 0;
    const bool lineSizeOk = lineBufferBytes(maxWidth, &lineBytes);
    unsigned char **lines[3] = {&state->scratchLine, &state->previousLine, &state->currentLine};
    for (unsigned index = 0; index < 3; ++index) {
        if (lineSizeOk) {
            *lines[index] = static_cast<unsigned char *>(jbigAlloc(lineBytes, 0));
        }
        if (*lines[index] == nullptr) {
            fprintf(stderr,
                    "ImgJBIGEncoderInit -- Could not allocate image buffer; uIndx: %u, "
                    "uMaxWidth: %u",
                    index, maxWidth);
            OvtJBIGEncoderDeinit(state);
            return nullptr;
        }
    }
    return state;
}

extern "C" void OvtJBIGEncoderDeinit(JBIGEncoderState *state) {
    if (state == nullptr) {
        return;
    }
    free(state->contextBuffer);
    free(state->scratchLine);
    free(state->previousLine);
    free(state->currentLine);
    free(state);
}

extern "C" int OvtJBIGImageBegin(JBIGEncoderState *state, const JBIGImageSize *size,
                                 uint32_t stripeLines) {
    // The line buffers hold lines of at most maxWidth pixels, and a stripe needs at least
    // one line; anything else is refused before a byte is written.
    if (size->width > state->maxWidth || stripeLines == 0) {
        state->outState = kJBIGOutFailed;
        state->outPtr = nullptr;
        state->outCapacity = 0;
        state->outRemaining = 0;
        state->stripeLinesDone = 0;
        return -1;
    }
    state->width = size->width;
    state->height = size->height;
    state->stripeLines = stripeLines;
    jbigInitialize(state);
    return state->outState == kJBIGOutFailed ? -1 : 0;
}

extern "C" int OvtJBIGImageBandAdd(JBIGEncoderState *state, const unsigned char *lines,
                                   uint32_t count, int32_t stride) {
    // No image begun (stripe length still 0): there is no stripe to put lines into.
    if (state->outState == kJBIGOutFailed || state->stripeLines == 0) {
        return -1;
    }
    jbigBlockCompress(state, lines, count, stride);
    return state->outState == kJBIGOutFailed ? -1 : 0;
}

extern "C" int OvtJBIGImageEnd(JBIGEncoderState *state) {
    if (state->outState == kJBIGOutFailed) {
        return -1;
    }
    jbigComplete(state);
    return state->outState == kJBIGOutFailed ? -1 : 0;
}
