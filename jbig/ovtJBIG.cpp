// Encoder creation and destruction, and the public image entry points.
#include "jbig/ovtJBIG.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <limits>

#include "common/CUPSDebug.h"
#include "jbig/jbigInternal.h"

namespace {

// Widest line an encoder accepts: keeps every per-line count (entries plus the
// pseudo-pixel, groups, buffer bytes) inside 32 bits.
constexpr uint32_t kMaxWidth = 0xFFFFFF00u;

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

extern "C" void *jbigAlloc(const JBIGAllocator *allocator, size_t size, int zeroFill) {
    if (allocator != nullptr && allocator->allocate != nullptr)
        return allocator->allocate(allocator->context, size, zeroFill);
    return zeroFill ? calloc(1, size) : malloc(size);
}

extern "C" void jbigFree(const JBIGAllocator *allocator, void *block) {
    if (block == nullptr)
        return;
    if (allocator != nullptr && allocator->release != nullptr)
        allocator->release(allocator->context, block);
    else
        free(block);
}

extern "C" JBIGEncoderSetup OvtJBIGDefaultSetup(void) {
    JBIGEncoderSetup setup;
    setup.allocator.allocate = nullptr;
    setup.allocator.release = nullptr;
    setup.allocator.context = nullptr;
    setup.contextKernel = kJbigContextsFastest;
    setup.codingStep = kJbigCodingByLine;
    return setup;
}

extern "C" JBIGEncoderState *OvtJBIGEncoderInit(uint32_t maxWidth, uint32_t flags,
                                                JBIGWriteCallback writeCallback, void *userData) {
    return OvtJBIGEncoderInitWith(maxWidth, flags, writeCallback, userData, nullptr);
}

extern "C" JBIGEncoderState *OvtJBIGEncoderInitWith(uint32_t maxWidth, uint32_t flags,
                                                    JBIGWriteCallback writeCallback, void *userData,
                                                    const JBIGEncoderSetup *setup) {
    const JBIGEncoderSetup chosen = setup != nullptr ? *setup : OvtJBIGDefaultSetup();
    JBIGEncoderState *state =
        static_cast<JBIGEncoderState *>(jbigAlloc(&chosen.allocator, sizeof(JBIGEncoderState), 1));
    if (state == nullptr) {
        CPSDebugLog("OvtJBIGEncoderInit -- Could not allocate JBIG state structure;");
        return nullptr;
    }
    state->userData = userData;
    state->writeCallback = writeCallback;
    state->options = (flags & 1) ? 0 : 1;
    state->maxWidth = maxWidth;
    state->allocator = chosen.allocator;
    state->contextKernel = jbigResolveContextKernel(chosen.contextKernel);
    state->codingStep = chosen.codingStep;

    size_t contextBytes = 0;
    if (contextBufferBytes(maxWidth, &contextBytes)) {
        state->contextBuffer =
            static_cast<uint16_t *>(jbigAlloc(&state->allocator, contextBytes, 0));
    }
    if (state->contextBuffer == nullptr) {
        CPSDebugLog("ImgJBIGEncoderInit -- Could not allocate context buffer; ");
        jbigFree(&chosen.allocator, state);
        return nullptr;
    }

    size_t lineBytes = 0;
    const bool lineSizeOk = lineBufferBytes(maxWidth, &lineBytes);
    unsigned char **lines[3] = {&state->scratchLine, &state->previousLine, &state->currentLine};
    for (unsigned index = 0; index < 3; ++index) {
        if (lineSizeOk) {
            *lines[index] =
                static_cast<unsigned char *>(jbigAlloc(&state->allocator, lineBytes, 0));
        }
        if (*lines[index] == nullptr) {
            CPSDebugLog(
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
    // The allocator is copied out first: the record that holds it goes last.
    const JBIGAllocator allocator = state->allocator;
    jbigFree(&allocator, state->contextBuffer);
    jbigFree(&allocator, state->scratchLine);
    jbigFree(&allocator, state->previousLine);
    jbigFree(&allocator, state->currentLine);
    jbigFree(&allocator, state);
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
