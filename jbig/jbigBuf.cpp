// Output block chain: coded bytes go straight into blocks that the write callback provides
// and takes back. The first byte of every stripe is diverted into a discard slot.
#include <string.h>

#include "jbig/jbigInternal.h"

namespace {

// Hands the current block (if any) to the callback and takes the block it provides.
// Returns false, with the output switched to the failed state, when no block was provided.
bool exchangeBlock(JBIGEncoderState *state) {
    if (state->writeCallback != nullptr) {
        // Back to the block's start: the callback sees the block as it handed it out.
        state->outPtr = state->outPtr + state->outRemaining - state->outCapacity;
        state->writeCallback(state->userData, &state->outPtr, &state->outCapacity);
        if (state->outPtr != nullptr) {
            state->outRemaining = state->outCapacity;
            return true;
        }
    }
    state->outState = kJBIGOutFailed;
    state->outPtr = state->discardSlot;
    state->outCapacity = sizeof(state->discardSlot);
    state->outRemaining = sizeof(state->discardSlot);
    return false;
}

}  // namespace

extern "C" void jbigGetNewOutputBuf(JBIGEncoderState *state) {
    while (state->outRemaining == 0) {
        switch (state->outState) {
            case kJBIGOutDiscardDue:
                // outPtr already points at the discard slot.
                state->outRemaining = 1;
                state->outState = kJBIGOutDiscarding;
                break;
            case kJBIGOutDiscarding:
                state->outPtr = state->savedOutPtr;
                state->outRemaining = state->savedOutRemaining;
                state->outState = kJBIGOutNormal;
                break;
            case kJBIGOutFailed:
                // Nothing reaches the callback any more; bytes are dropped.
                state->outPtr = state->discardSlot;
                state->outRemaining = sizeof(state->discardSlot);
                break;
            default:
                exchangeBlock(state);
                break;
        }
    }
}

extern "C" void jbigWriteBuf(JBIGEncoderState *state, const unsigned char *bytes, uint32_t count) {
    if (state->outState == kJBIGOutFailed) {
        return;
    }
    while (count > 0) {
        while (state->outRemaining == 0) {
            if (!exchangeBlock(state)) {
                return;
            }
        }
        const uint32_t piece = count < state->outRemaining ? count : state->outRemaining;
        memcpy(state->outPtr, bytes, piece);
        state->outPtr += piece;
        state->outRemaining -= piece;
        bytes += piece;
        count -= piece;
        // A block left exactly full is handed over at once.
        while (state->outRemaining == 0) {
            if (!exchangeBlock(state)) {
                return;
            }
        }
    }
}

extern "C" void jbigFlushBufs(JBIGEncoderState *state) {
    if (state->outState != kJBIGOutFailed && state->outPtr != nullptr &&
        state->writeCallback != nullptr) {
        const uint32_t used = state->outCapacity - state->outRemaining;
        state->outPtr -= used;
        state->outCapacity = used;
        state->writeCallback(state->userData, &state->outPtr, &state->outCapacity);
    }
    // The callback owns the block now; the next image asks for a fresh one.
    state->outPtr = nullptr;
    state->outCapacity = 0;
    state->outRemaining = 0;
}
