// Arithmetic coder (T.82 ENCODE with CODEMPS/CODELPS, RENORME and BYTEOUT) and its
// probability estimation tables. Runs of all-0 entries (groups of 32 that context
// generation left out, whole lines of 0 below a line of 0) are coded a run at a time; the
// output is bit for bit that of coding them one by one.
#include <string.h>

#include "jbig/jbigInternal.h"

// The 113 states of the probability estimation: LSZ, NLPS, NMPS, SWITCH.
// clang-format off
#define JBIG_ESTIMATION_STATES(X) \
    X(0x5a1d, 1, 1, 1) \
    X(0x2586, 14, 2, 0) \
    X(0x1114, 16, 3, 0) \
    X(0x080b, 18, 4, 0) \
    X(0x03d8, 20, 5, 0) \
    X(0x01da, 23, 6, 0) \
    X(0x00e5, 25, 7, 0) \
    X(0x006f, 28, 8, 0) \
    X(0x0036, 30, 9, 0) \
    X(0x001a, 33, 10, 0) \
    X(0x000d, 35, 11, 0) \
    X(0x0006, 9, 12, 0) \
    X(0x0003, 10, 13, 0) \
    X(0x0001, 12, 13, 0) \
    X(0x5a7f, 15, 15, 1) \
    X(0x3f25, 36, 16, 0) \
    X(0x2cf2, 38, 17, 0) \
    X(0x207c, 39, 18, 0) \
    X(0x17b9, 40, 19, 0) \
    X(0x1182, 42, 20, 0) \
    X(0x0cef, 43, 21, 0) \
    X(0x09a1, 45, 22, 0) \
    X(0x072f, 46, 23, 0) \
    X(0x055c, 48, 24, 0) \
    X(0x0406, 49, 25, 0) \
    X(0x0303, 51, 26, 0) \
    X(0x0240, 52, 27, 0) \
    X(0x01b1, 54, 28, 0) \
    X(0x0144, 56, 29, 0) \
    X(0x00f5, 57, 30, 0) \
    X(0x00b7, 59, 31, 0) \
    X(0x008a, 60, 32, 0) \
    X(0x0068, 62, 33, 0) \
    X(0x004e, 63, 34, 0) \
    X(0x003b, 32, 35, 0) \
    X(0x002c, 33, 9, 0) \
    X(0x5ae1, 37, 37, 1) \
    X(0x484c, 64, 38, 0) \
    X(0x3a0d, 65, 39, 0) \
    X(0x2ef1, 67, 40, 0) \
    X(0x261f, 68, 41, 0) \
    X(0x1f33, 69, 42, 0) \
    X(0x19a8, 70, 43, 0) \
    X(0x1518, 72, 44, 0) \
    X(0x1177, 73, 45, 0) \
    X(0x0e74, 74, 46, 0) \
    X(0x0bfb, 75, 47, 0) \
    X(0x09f8, 77, 48, 0) \
    X(0x0861, 78, 49, 0) \
    X(0x0706, 79, 50, 0) \
    X(0x05cd, 48, 51, 0) \
    X(0x04de, 50, 52, 0) \
    X(0x040f, 50, 53, 0) \
    X(0x0363, 51, 54, 0) \
    X(0x02d4, 52, 55, 0) \
    X(0x025c, 53, 56, 0) \
    X(0x01f8, 54, 57, 0) \
    X(0x01a4, 55, 58, 0) \
    X(0x0160, 56, 59, 0) \
    X(0x0125, 57, 60, 0) \
    X(0x00f6, 58, 61, 0) \
    X(0x00cb, 59, 62, 0) \
    X(0x00ab, 61, 63, 0) \
    X(0x008f, 61, 32, 0) \
    X(0x5b12, 65, 65, 1) \
    X(0x4d04, 80, 66, 0) \
    X(0x412c, 81, 67, 0) \
    X(0x37d8, 82, 68, 0) \
    X(0x2fe8, 83, 69, 0) \
    X(0x293c, 84, 70, 0) \
    X(0x2379, 86, 71, 0) \
    X(0x1edf, 87, 72, 0) \
    X(0x1aa9, 87, 73, 0) \
    X(0x174e, 72, 74, 0) \
    X(0x1424, 72, 75, 0) \
    X(0x119c, 74, 76, 0) \
    X(0x0f6b, 74, 77, 0) \
    X(0x0d51, 75, 78, 0) \
    X(0x0bb6, 77, 79, 0) \
    X(0x0a40, 77, 48, 0) \
    X(0x5832, 80, 81, 1) \
    X(0x4d1c, 88, 82, 0) \
    X(0x438e, 89, 83, 0) \
    X(0x3bdd, 90, 84, 0) \
    X(0x34ee, 91, 85, 0) \
    X(0x2eae, 92, 86, 0) \
    X(0x299a, 93, 87, 0) \
    X(0x2516, 86, 71, 0) \
    X(0x5570, 88, 89, 1) \
    X(0x4ca9, 95, 90, 0) \
    X(0x44d9, 96, 91, 0) \
    X(0x3e22, 97, 92, 0) \
    X(0x3824, 99, 93, 0) \
    X(0x32b4, 99, 94, 0) \
    X(0x2e17, 93, 86, 0) \
    X(0x56a8, 95, 96, 1) \
    X(0x4f46, 101, 97, 0) \
    X(0x47e5, 102, 98, 0) \
    X(0x41cf, 103, 99, 0) \
    X(0x3c3d, 104, 100, 0) \
    X(0x375e, 99, 93, 0) \
    X(0x5231, 105, 102, 0) \
    X(0x4c0f, 106, 103, 0) \
    X(0x4639, 107, 104, 0) \
    X(0x415e, 103, 99, 0) \
    X(0x5627, 105, 106, 1) \
    X(0x50e7, 108, 107, 0) \
    X(0x4b85, 109, 103, 0) \
    X(0x5597, 110, 109, 0) \
    X(0x504f, 111, 107, 0) \
    X(0x5a10, 110, 111, 1) \
    X(0x5522, 112, 109, 0) \
    X(0x59eb, 112, 111, 1)
// clang-format on

#define JBIG_LSZ(lsz, nlps, nmps, sw) lsz,
#define JBIG_NMPS(lsz, nlps, nmps, sw) (nmps) * 0x0101,
#define JBIG_NLPS(lsz, nlps, nmps, sw) ((sw)*0x80 + (nlps)) * 0x0101,
// State bytes 113 to 127 never occur.
#define JBIG_UNUSED_ROWS 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,

// Rows 128 to 240 repeat rows 0 to 112, so a state byte with its MPS bit set indexes the
// same values as its bare state index.
extern "C" const uint16_t Lsz[241] = {JBIG_ESTIMATION_STATES(JBIG_LSZ)
                                          JBIG_UNUSED_ROWS JBIG_ESTIMATION_STATES(JBIG_LSZ)};
extern "C" const uint16_t Nmps[241] = {JBIG_ESTIMATION_STATES(JBIG_NMPS)
                                           JBIG_UNUSED_ROWS JBIG_ESTIMATION_STATES(JBIG_NMPS)};
extern "C" const uint16_t Nlps[241] = {JBIG_ESTIMATION_STATES(JBIG_NLPS)
                                           JBIG_UNUSED_ROWS JBIG_ESTIMATION_STATES(JBIG_NLPS)};

namespace {

// What coding a pixel does, per state byte. fastDecrement is subtracted from A - 0x8000:
// the result stays >= 0 exactly for an MPS coding that needs no renormalisation, the
// common case, because an LPS byte's decrement carries an extra 0x10000. next is XORed
// into the context's state word, its MPS flags kept, on any other coding: NMPS for an MPS
// byte, NLPS with the MPS flags switched when SWITCH is set for an LPS byte.
struct CodingStep {
    int32_t fastDecrement;
    uint16_t lsz;
    uint16_t next;
};

// The rest of a coding that is not an MPS without renormalisation, per state byte, apart
// so that the common coding's table stays 8 bytes a row. Adding aFromFast to A - 0x8000
// less fastDecrement gives A less LSZ; lpsMask (all ones for an LPS byte) turns "A less LSZ
// is below LSZ" into "the lower subinterval is coded".
struct SlowStep {
    int32_t aFromFast;
    uint32_t lpsMask;
};

#define JBIG_LPS_STEP(lsz, nlps, nmps, sw) {(lsz) + 0x10000, lsz, ((sw)*0x80 + (nlps)) * 0x0101},
#define JBIG_MPS_STEP(lsz, nlps, nmps, sw) {lsz, lsz, (nmps)*0x0101},
#define JBIG_LPS_SLOW(lsz, nlps, nmps, sw) {0x18000, ~0u},
#define JBIG_MPS_SLOW(lsz, nlps, nmps, sw) {0x8000, 0u},
#define JBIG_UNUSED_STEPS {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {},
constexpr CodingStep kSteps[256] = {JBIG_ESTIMATION_STATES(JBIG_LPS_STEP)
                                        JBIG_UNUSED_STEPS JBIG_ESTIMATION_STATES(JBIG_MPS_STEP)};
constexpr SlowStep kSlowSteps[256] = {JBIG_ESTIMATION_STATES(JBIG_LPS_SLOW)
                                          JBIG_UNUSED_STEPS JBIG_ESTIMATION_STATES(JBIG_MPS_SLOW)};
#undef JBIG_LPS_SLOW
#undef JBIG_MPS_SLOW
#undef JBIG_LPS_STEP
#undef JBIG_MPS_STEP
#undef JBIG_UNUSED_STEPS

}  // namespace

#undef JBIG_LSZ
#undef JBIG_NMPS
#undef JBIG_NLPS
#undef JBIG_UNUSED_ROWS
#undef JBIG_ESTIMATION_STATES

namespace {

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
// A coder entry addresses the state bytes with the low byte of each 16-bit state first.
constexpr uint32_t kStateByteFlip = 1;
#else
constexpr uint32_t kStateByteFlip = 0;
#endif

// BYTEOUT: moves the top byte of C out, resolving a carry into the buffered byte and the
// pending 0xFF bytes. Returns the remaining bits of C. Kept out of line: it runs once per
// eight doublings of A.
__attribute__((noinline)) uint32_t byteOut(JBIGEncoderState *s, uint32_t C) {
    const uint32_t t = C >> 19;
    if (t > 0xFF) {
        const unsigned char carried = static_cast<unsigned char>(s->pendingByte + 1);
        jbigPutByte(s, carried);
        if (carried == 0xFF) {
            jbigPutByte(s, 0x00);
        }
        for (; s->SC > 0; --s->SC) {
            jbigPutByte(s, 0x00);
        }
        s->pendingByte = static_cast<uint8_t>(t & 0xFF);
    } else if (t == 0xFF) {
        ++s->SC;
    } else {
        jbigPutByte(s, s->pendingByte);
        for (; s->SC > 0; --s->SC) {
            jbigPutByte(s, 0xFF);
            jbigPutByte(s, 0x00);
        }
        s->pendingByte = static_cast<uint8_t>(t);
    }
    return C & 0x7FFFF;
}

// The coder's registers for the duration of one line. The object never leaves the line
// coder, so the registers stay in machine registers. A is held as D = A - 0x8000, so that
// the test for an MPS coding without renormalisation is the sign of one subtraction.
struct Coder {
    JBIGEncoderState *state;
    int32_t D;
    uint32_t C;
    int32_t CT;
    const unsigned char *stateBytes;
    uint16_t *states;

    Coder(JBIGEncoderState *s)
        : state(s),
          D(static_cast<int32_t>(s->A) - 0x8000),
          C(s->C),
          CT(s->CT),
          stateBytes(reinterpret_cast<const unsigned char *>(s->probabilityTable)),
          states(s->probabilityTable) {}

    void save() const {
        state->A = static_cast<uint32_t>(D + 0x8000);
        state->C = C;
        state->CT = CT;
    }

    // Completes a coding that is not an MPS without renormalisation: a is A less LSZ.
    // The exchange of the two subintervals and the state update are selected without
    // branches (the MPS/LPS outcome of busy content is unpredictable).
    inline void finish(uint32_t entry, uint32_t b, const CodingStep &step, uint32_t a) {
        const uint32_t lsz = step.lsz;
        // The lower subinterval (of size A less LSZ) is coded for an MPS when it has
        // become the smaller one, for an LPS when it has not.
        const uint32_t lower =
            static_cast<uint32_t>(static_cast<int32_t>(a - lsz) >> 31) ^ kSlowSteps[b].lpsMask;
        C += a & lower;
        a ^= (a ^ lsz) & lower;
        uint16_t &word = states[entry >> 1];
        word = static_cast<uint16_t>((word & 0x8080) ^ step.next);
        renormalise(a);
    }

    // RENORME: doubles A (and C) until A >= 0x8000, moving a byte out every 8 doublings.
    inline void renormalise(uint32_t a) {
        int32_t shift = __builtin_clz(a) - 16;  // 1 <= a < 0x8000
        if (__builtin_expect(shift >= CT, 0)) {
            do {
                a <<= CT;
                C <<= CT;
                shift -= CT;
                C = byteOut(state, C);
                CT = 8;
            } while (shift >= CT);
        }
        a <<= shift;
        C <<= shift;
        CT -= shift;
        D = static_cast<int32_t>(a) - 0x8000;
    }

    // Codes stored entries one by one; counts the codings that took the slow path.
    inline void codeEntries(const uint16_t *entries, uint32_t count) {
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t entry = entries[i];
            const uint32_t b = stateBytes[entry ^ kStateByteFlip];
            const CodingStep &step = kSteps[b];
            const int32_t d = D - step.fastDecrement;
            if (__builtin_expect(d >= 0, 1)) {
                D = d;
                continue;
            }
            ++slowCodings;
            finish(entry, b, step, static_cast<uint32_t>(d + kSlowSteps[b].aFromFast));
        }
        codings += count;
    }

    // The same codings without a branch on their outcome. With t = A less LSZ, every
    // coding either keeps t as A, or adds t to C and takes LSZ as A: the latter for an MPS
    // when t has become the smaller subinterval, for an LPS when it has not. The MPS
    // coding without renormalisation is the case "keep t" whose shift is 0 and whose
    // state word is written back unchanged. Only moving a byte out still branches.
    inline void codeEntriesBranchFree(const uint16_t *entries, uint32_t count) {
        uint32_t A = static_cast<uint32_t>(D + 0x8000);
        // Takes the unchanged state of a fast coding; a local, so that the coder's
        // registers never have their address taken.
        uint16_t spareState = 0;
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t entry = entries[i];
            const uint32_t b = stateBytes[entry ^ kStateByteFlip];
            const CodingStep &step = kSteps[b];
            const uint32_t lsz = step.lsz;
            const uint32_t mps = 0u - (b >> 7);  // all ones for the MPS byte
            const uint32_t t = A - lsz;
            const uint32_t notSmaller = 0u - static_cast<uint32_t>(t >= lsz);
            const uint32_t renormFree = 0u - static_cast<uint32_t>(t >= 0x8000);
            const uint32_t takeLsz = notSmaller ^ mps;
            const uint32_t slowMask = ~(mps & renormFree);
            slowCodings += slowMask & 1;
            C += t & takeLsz;
            uint32_t a = t ^ ((t ^ lsz) & takeLsz);
            // The new state goes to the context only after a slow coding, else to a spare
            // word: a context coded again at once then reads its state without waiting
            // for a store that changed nothing. The empty asm keeps the choice a select.
            const uint16_t word = states[entry >> 1];
            uint16_t *target = slowMask ? &states[entry >> 1] : &spareState;
            __asm__("" : "+r"(target));
            *target = static_cast<uint16_t>((word & 0x8080u) ^ step.next);
            int32_t shift = __builtin_clz(a) - 16;
            if (__builtin_expect(shift >= CT, 0)) {
                do {
                    a <<= CT;
                    C <<= CT;
                    shift -= CT;
                    C = byteOut(state, C);
                    CT = 8;
                } while (shift >= CT);
            }
            A = a << shift;
            C <<= shift;
            CT -= shift;
        }
        D = static_cast<int32_t>(A) - 0x8000;
        codings += count;
    }

    inline void codeStored(const uint16_t *entries, uint32_t count, bool branchFree) {
        if (branchFree)
            codeEntriesBranchFree(entries, count);
        else
            codeEntries(entries, count);
    }

    uint32_t slowCodings = 0;  // stored entries that were not MPS codings without RENORME
    uint32_t codings = 0;      // stored entries coded

    // Codes `left` entries of index 0 (context 0, pixel 0) that were not stored. While
    // context 0 favours 0, the MPS codings between two renormalisations are counted with
    // one division instead of coded one by one; the registers, states and bytes are those
    // of coding every entry.
    inline void codeZeroRun(uint32_t left) {
        while (left > 0) {
            const uint32_t b = stateBytes[kStateByteFlip];
            const CodingStep &step = kSteps[b];
            const uint32_t lsz = step.lsz;
            const uint32_t room = static_cast<uint32_t>(D);
            uint32_t a;
            if (b & 0x80) {
                // MPS codings that keep A >= 0x8000 need no renormalisation.
                if (static_cast<uint64_t>(left) * lsz <= room) {
                    D -= static_cast<int32_t>(left * lsz);
                    return;
                }
                // Codings up to and including the one that takes A below 0x8000.
                const uint32_t run = room / lsz + 1;
                a = room + 0x8000 - run * lsz;
                left -= run;
            } else {
                a = room + 0x8000 - lsz;
                --left;
            }
            finish(0, b, step, a);
        }
    }
};

inline uint32_t loadFlag(const unsigned char *flags, uint32_t word) {
    uint32_t value;
    memcpy(&value, flags + 4 * static_cast<size_t>(word), sizeof(value));
    return value;
}

// A line on which more than half of the codings take the slow path is busy: the branching
// step then mispredicts so often that the branch-free one, whose chain of dependent steps
// is longer, is faster (random dots, 80 to 100 % slow codings: by a fifth to a third).
// Below that share the branching step wins clearly (screened photographs, 10 to 20 %:
// about twice as fast).
constexpr uint32_t kBusyNum = 1, kBusyDen = 2;

bool CodeBranchFree(const JBIGEncoderState *state) {
    switch (state->codingStep) {
        case kJbigCodingBranching:
            return false;
        case kJbigCodingBranchFree:
            return true;
        default:
            return state->busyLine != 0;
    }
}

// The line's share of slow codings picks the step of the next line: the lines of a page
// are mostly like the line above.
void NoteHowBusy(JBIGEncoderState *state, const Coder &coder, bool branchFree) {
    if (coder.codings == 0)
        return;
    state->busyLine =
        (uint64_t)coder.slowCodings * kBusyDen > (uint64_t)coder.codings * kBusyNum ? 1 : 0;
    if (branchFree)
        ++state->busyLines;
    else
        ++state->quietLines;
}

}  // namespace

extern "C" void jbigCompressOneScan_c_code(JBIGEncoderState *state) {
    Coder coder(state);
    const bool branchFree = CodeBranchFree(state);

    const uint16_t *entries = state->contextBuffer;
    const uint32_t total = state->lineEntries;
    const uint32_t leadLimit = (state->options & 1) ? 6 : 5;
    const uint32_t lead = total < leadLimit ? total : leadLimit;
    coder.codeStored(entries, lead, branchFree);
    entries += lead;

    // The groups alternate between spans of stored groups, whose entries follow one another
    // in the buffer and are coded in one pass, and spans of groups left out, coded as one
    // run. A last group shorter than 32 is always stored.
    const unsigned char *flags = state->scratchLine;
    uint32_t rest = total - lead;
    uint32_t group = 0;
    while (rest > 0) {
        uint32_t stored = 0;
        while (rest > 0 && (rest < 32 || loadFlag(flags, group ^ 1) != 0)) {
            const uint32_t count = rest < 32 ? rest : 32;
            stored += count;
            rest -= count;
            ++group;
        }
        coder.codeStored(entries, stored, branchFree);
        entries += stored;

        uint32_t zeros = 0;
        while (rest >= 32 && loadFlag(flags, group ^ 1) == 0) {
            zeros += 32;
            rest -= 32;
            ++group;
        }
        coder.codeZeroRun(zeros);
    }
    coder.save();
    NoteHowBusy(state, coder, branchFree);
}

extern "C" void jbigCompressZeroRun(JBIGEncoderState *state, uint32_t count) {
    Coder coder(state);
    coder.codeZeroRun(count);
    coder.save();
}
