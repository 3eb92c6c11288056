// The JPEG and PNG readers: libjpeg and libpng decode row by row; a damaged or unreadable
// picture ends the read with the library's own message. Both libraries report errors by
// longjmp: the functions that set the jump point keep no C++ objects of their own, and
// what they allocate belongs to their callers.
// libjpeg's headers need stdio.h's and stddef.h's types before them.
#include <setjmp.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include <jerror.h>
#include <jpeglib.h>
#include <png.h>

#include <algorithm>
#include <string>
#include <vector>

#include "printerapp/ImageDocuments.h"

namespace printerapp {

namespace {

// The most a decoder may allocate for one picture (a progressive JPEG keeps every
// coefficient of the picture; an interlaced PNG every pixel).
constexpr long kMaxDecoderMemory = 128l << 20;
// The longest side libpng accepts, and the largest chunk it reads into memory.
constexpr unsigned kMaxPngSide = 1u << 20;
constexpr size_t kMaxPngChunk = 8u << 20;

bool TooLarge(unsigned width, unsigned height, std::string *why, const char *what) {
    if ((unsigned long long)width * height <= kMaxImagePixels)
        return false;
    char text[160];
    snprintf(text, sizeof(text), "The %s image is too large to print: %u x %u pixels", what, width,
             height);
    *why = text;
    return true;
}

// Grey, 255 white, from an ink amount per colour (0 no ink).
unsigned char GreyOfInks(unsigned cyan, unsigned magenta, unsigned yellow, unsigned black) {
    const unsigned ink = (30 * cyan + 59 * magenta + 11 * yellow) / 100 + black;
    return (unsigned char)(255 - std::min(ink, 255u));
}

// --- JPEG ----------------------------------------------------------------------------

struct JpegErrors {
    jpeg_error_mgr manager;
    jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void JpegFail(j_common_ptr info) {
    JpegErrors *errors = reinterpret_cast<JpegErrors *>(info->err);
    errors->manager.format_message(info, errors->message);
    longjmp(errors->jump, 1);
}

// Warnings pass, but data that ends early ends the read: libjpeg would go on inventing
// grey rows for every line the picture claims.
void JpegMessage(j_common_ptr info, int level) {
    const int code = info->err->msg_code;
    if (level < 0 && (code == JWRN_JPEG_EOF || code == JWRN_HIT_MARKER))
        JpegFail(info);
}

// Everything a JPEG read touches after its jump point, kept out of registers.
struct JpegRead {
    jpeg_decompress_struct info;
    JpegErrors errors;
    ImageRows *rows;
    std::vector<unsigned char> *samples;
    std::vector<unsigned char> *grey;
    std::string *why;
    ImageRead result;
};

// The scale of n/8 (libjpeg decodes at eighths) that still gives the needed size.
unsigned EighthsNeeded(unsigned have, unsigned need) {
    for (unsigned n = 1; n < 8; ++n) {
        if (((unsigned long long)have * n + 7) / 8 >= need)
            return n;
    }
    return 8;
}

// Sizes the buffers for the decoded rows; false when there is no memory.
bool SizeRows(JpegRead *read) {
    try {
        read->samples->resize((size_t)read->info.output_width * read->info.output_components);
        read->grey->resize(read->info.output_width);
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

void GreyRow(const JpegRead *read) {
    const unsigned char *in = read->samples->data();
    unsigned char *out = read->grey->data();
    if (read->info.out_color_space == JCS_GRAYSCALE) {
        memcpy(out, in, read->grey->size());
        return;
    }
    // Adobe's CMYK JPEGs store the inks inverted.
    const bool inverted = read->info.saw_Adobe_marker;
    for (size_t x = 0; x < read->grey->size(); ++x, in += 4) {
        const auto ink = [&](int i) { return inverted ? 255u - in[i] : (unsigned)in[i]; };
        out[x] = GreyOfInks(ink(0), ink(1), ink(2), ink(3));
    }
}

void DecodeJpeg(FILE *file, JpegRead *read) {
    jpeg_decompress_struct *info = &read->info;
    info->err = jpeg_std_error(&read->errors.manager);
    read->errors.manager.error_exit = JpegFail;
    read->errors.manager.emit_message = JpegMessage;
    jpeg_create_decompress(info);
    if (setjmp(read->errors.jump)) {
        jpeg_destroy_decompress(info);
        read->result = ImageRead::kDamaged;
        *read->why =
            std::string("The document could not be read as a JPEG image: ") + read->errors.message;
        return;
    }
    info->mem->max_memory_to_use = kMaxDecoderMemory;
    jpeg_stdio_src(info, file);
    jpeg_read_header(info, TRUE);
    unsigned needWidth = 0, needHeight = 0;
    if (TooLarge(info->image_width, info->image_height, read->why, "JPEG") ||
        !read->rows->Plan(info->image_width, info->image_height, &needWidth, &needHeight,
                          read->why)) {
        jpeg_destroy_decompress(info);
        read->result = ImageRead::kRefused;
        return;
    }
    // Progressive pictures are decoded whole before their first row.
    const unsigned long long coefficients =
        2ull * info->image_width * info->image_height * (unsigned)info->num_components;
    if (info->progressive_mode && coefficients > (unsigned long long)kMaxDecoderMemory) {
        jpeg_destroy_decompress(info);
        read->result = ImageRead::kRefused;
        *read->why = "The progressive JPEG image is too large to print";
        return;
    }
    const bool inks = info->jpeg_color_space == JCS_CMYK || info->jpeg_color_space == JCS_YCCK;
    info->out_color_space = inks ? JCS_CMYK : JCS_GRAYSCALE;
    info->scale_num = std::max(EighthsNeeded(info->image_width, needWidth),
                               EighthsNeeded(info->image_height, needHeight));
    info->scale_denom = 8;
    jpeg_start_decompress(info);
    if (!SizeRows(read) || !read->rows->Start(info->output_width, info->output_height)) {
        jpeg_destroy_decompress(info);
        read->result = ImageRead::kRefused;
        *read->why = "No memory to print the JPEG image";
        return;
    }
    while (info->output_scanline < info->output_height) {
        if (read->rows->Stopped()) {
            jpeg_destroy_decompress(info);
            read->result = ImageRead::kStopped;
            return;
        }
        JSAMPROW row = read->samples->data();
        if (jpeg_read_scanlines(info, &row, 1) != 1)
            break;
        GreyRow(read);
        read->rows->Row(read->grey->data());
    }
    jpeg_destroy_decompress(info);
    read->result = ImageRead::kRead;
}

// --- PNG -----------------------------------------------------------------------------

struct PngErrors {
    char message[256];
};

void PngFail(png_structp png, png_const_charp text) {
    PngErrors *errors = static_cast<PngErrors *>(png_get_error_ptr(png));
    snprintf(errors->message, sizeof(errors->message), "%s", text);
    png_longjmp(png, 1);
}

void PngWarning(png_structp png, png_const_charp text) {
    (void)png;
    (void)text;
}

struct PngRead {
    png_structp png;
    png_infop info;
    PngErrors errors;
    ImageRows *rows;
    std::vector<unsigned char> *pixels;  // a row, or every row of an interlaced picture
    std::vector<unsigned char> *grey;
    std::string *why;
    ImageRead result;
};

// Grey with any alpha laid over white paper.
void GreyOfPng(const unsigned char *in, unsigned channels, unsigned char *out, size_t width) {
    if (channels == 1) {
        memcpy(out, in, width);
        return;
    }
    for (size_t x = 0; x < width; ++x, in += 2) {
        const unsigned alpha = in[1];
        out[x] = (unsigned char)((in[0] * alpha + 255 * (255 - alpha) + 127) / 255);
    }
}

bool Resize(std::vector<unsigned char> *buffer, unsigned long long size) {
    if (size > (unsigned long long)kMaxDecoderMemory)
        return false;
    try {
        buffer->resize((size_t)size);
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

// Asks libpng for 8-bit grey rows, with alpha where the picture has any.
void AskForGrey(png_structp png, png_infop info) {
    const int type = png_get_color_type(png, info);
    png_set_expand(png);
    png_set_strip_16(png);
    if (type & PNG_COLOR_MASK_COLOR)
        png_set_rgb_to_gray(png, PNG_ERROR_ACTION_NONE, -1, -1);
    png_read_update_info(png, info);
}

void DecodePng(FILE *file, PngRead *read) {
    read->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &read->errors, PngFail, PngWarning);
    read->info = read->png != nullptr ? png_create_info_struct(read->png) : nullptr;
    if (read->info == nullptr) {
        png_destroy_read_struct(&read->png, nullptr, nullptr);
        read->result = ImageRead::kRefused;
        *read->why = "No memory to print the PNG image";
        return;
    }
    if (setjmp(png_jmpbuf(read->png))) {
        png_destroy_read_struct(&read->png, &read->info, nullptr);
        read->result = ImageRead::kDamaged;
        *read->why =
            std::string("The document could not be read as a PNG image: ") + read->errors.message;
        return;
    }
    png_init_io(read->png, file);
    png_set_sig_bytes(read->png, 8);
    png_set_user_limits(read->png, kMaxPngSide, kMaxPngSide);
    png_set_chunk_malloc_max(read->png, kMaxPngChunk);
    png_read_info(read->png, read->info);
    const unsigned width = png_get_image_width(read->png, read->info);
    const unsigned height = png_get_image_height(read->png, read->info);
    unsigned needWidth = 0, needHeight = 0;
    if (TooLarge(width, height, read->why, "PNG") ||
        !read->rows->Plan(width, height, &needWidth, &needHeight, read->why)) {
        png_destroy_read_struct(&read->png, &read->info, nullptr);
        read->result = ImageRead::kRefused;
        return;
    }
    const int passes = png_set_interlace_handling(read->png);
    AskForGrey(read->png, read->info);
    const unsigned channels = png_get_channels(read->png, read->info);
    const size_t rowBytes = (size_t)width * channels;
    // Interlaced pictures complete their rows only in the last pass.
    const unsigned long long held = passes > 1 ? (unsigned long long)rowBytes * height : rowBytes;
    if (png_get_rowbytes(read->png, read->info) != rowBytes || !Resize(read->pixels, held) ||
        !Resize(read->grey, width) || !read->rows->Start(width, height)) {
        png_destroy_read_struct(&read->png, &read->info, nullptr);
        read->result = ImageRead::kRefused;
        *read->why = passes > 1 ? "The interlaced PNG image is too large to print"
                                : "No memory to print the PNG image";
        return;
    }
    for (int pass = 0; pass < passes; ++pass) {
        for (unsigned y = 0; y < height; ++y) {
            if (read->rows->Stopped()) {
                png_destroy_read_struct(&read->png, &read->info, nullptr);
                read->result = ImageRead::kStopped;
                return;
            }
            unsigned char *row = read->pixels->data() + (passes > 1 ? rowBytes * y : 0);
            png_read_row(read->png, row, nullptr);
            if (pass + 1 < passes)
                continue;
            GreyOfPng(row, channels, read->grey->data(), width);
            read->rows->Row(read->grey->data());
        }
    }
    png_destroy_read_struct(&read->png, &read->info, nullptr);
    read->result = ImageRead::kRead;
}

}  // namespace

ImageRead ReadJpeg(FILE *file, ImageRows &rows, std::string *why) {
    std::vector<unsigned char> samples, grey;
    JpegRead read;
    memset(static_cast<void *>(&read.info), 0, sizeof(read.info));
    read.rows = &rows;
    read.samples = &samples;
    read.grey = &grey;
    read.why = why;
    read.result = ImageRead::kDamaged;
    DecodeJpeg(file, &read);
    return read.result;
}

ImageRead ReadPng(FILE *file, ImageRows &rows, std::string *why) {
    unsigned char signature[8];
    if (fread(signature, 1, sizeof(signature), file) != sizeof(signature) ||
        png_sig_cmp(signature, 0, sizeof(signature)) != 0) {
        *why = "The document could not be read as a PNG image: it is no PNG file";
        return ImageRead::kDamaged;
    }
    std::vector<unsigned char> pixels, grey;
    PngRead read;
    read.png = nullptr;
    read.info = nullptr;
    read.errors.message[0] = '\0';
    read.rows = &rows;
    read.pixels = &pixels;
    read.grey = &grey;
    read.why = why;
    read.result = ImageRead::kDamaged;
    DecodePng(file, &read);
    return read.result;
}

}  // namespace printerapp
