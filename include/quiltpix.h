/* quiltpix: MOS pictures (64 x 64-pixel tiles, each with a palette of its
 * own) to and from RGB pixels, bitmaps and PNG, in memory.
 *
 * Every function works on bytes the caller hands over, and reads none past
 * the size it is given: files are the caller's. The library prints nothing,
 * never aborts and keeps no global state; calls on separate contexts may run
 * on separate threads at once. A context holds what a call leaves behind
 * (its message, the bytes it made) until the next call on it.
 *
 * Every call that can fail returns a quiltpix_status; the context's message
 * then says why, in the very words the quiltpix program prints.
 */
#ifndef QUILTPIX_H
#define QUILTPIX_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && defined(QUILTPIX_SHARED)
#  ifdef QUILTPIX_BUILDING
#    define QUILTPIX_API __declspec(dllexport)
#  else
#    define QUILTPIX_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__) && defined(QUILTPIX_BUILDING)
#  define QUILTPIX_API __attribute__((visibility("default")))
#else
#  define QUILTPIX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef enum quiltpix_status {
    QUILTPIX_OK = 0,
    QUILTPIX_ERROR_INPUT = 1,    /* the input cannot be converted (the message says why) */
    QUILTPIX_ERROR_ORIGINAL = 2, /* the original given to keep bytes of cannot be used */
    QUILTPIX_ERROR_OUTPUT = 3,   /* the write callback refused bytes */
    QUILTPIX_ERROR_MEMORY = 4,   /* out of memory */
    QUILTPIX_ERROR_ARGUMENT = 5  /* a null pointer, a stride too small, a size out of range */
} quiltpix_status;

typedef enum quiltpix_kind {
    QUILTPIX_KIND_UNKNOWN = 0, /* none of the three; the message may name what it is ("a JPEG picture") */
    QUILTPIX_KIND_MOS = 1,
    QUILTPIX_KIND_BMP = 2,
    QUILTPIX_KIND_PNG = 3
} quiltpix_kind;

/* "1.0": the library's version. */
QUILTPIX_API const char* quiltpix_version(void);

/* A context: one per thread at a time. Null only when out of memory;
 * freeing null does nothing. */
typedef struct quiltpix_context quiltpix_context;
QUILTPIX_API quiltpix_context* quiltpix_context_new(void);
QUILTPIX_API void quiltpix_context_free(quiltpix_context* context);

/* Why the last call on the context failed; "" after one that did not. The
 * text stays valid until the next call on the context. */
QUILTPIX_API const char* quiltpix_message(const quiltpix_context* context);

/* What inspecting a file finds. width, height and tiles are 0 where the
 * headers could not be read; tiles counts the MOS tiles the picture has or
 * would have. */
typedef struct quiltpix_info {
    quiltpix_kind kind;
    int32_t width;
    int32_t height;
    uint32_t tiles;
} quiltpix_info;

/* Looks at the file in data[0..size): what kind it is, its size, and
 * whether it converts. QUILTPIX_OK when it does; QUILTPIX_ERROR_INPUT with
 * the first reason it does not (what `quiltpix --check` says) otherwise.
 * A MOS file is judged by its tables, a bitmap or PNG by reading every
 * pixel. info may not be null. */
QUILTPIX_API quiltpix_status quiltpix_inspect(quiltpix_context* context, const void* data, size_t size,
                                              quiltpix_info* info);

/* Where bytes go: size bytes at offset of the output. Returns nonzero to go
 * on, 0 to stop the conversion (QUILTPIX_ERROR_OUTPUT). A bitmap or PNG is
 * written front to back, each call right after the last; a MOS file is
 * written piece by piece, its pieces at their places and not in order, and
 * never beyond its final size. */
typedef int (*quiltpix_write_fn)(void* user, uint64_t offset, const void* bytes, size_t size);

/* Called with each row of the picture, top to bottom: width pixels of red,
 * green, blue. Returns nonzero to go on, 0 to stop (QUILTPIX_ERROR_OUTPUT).
 * The row is valid during the call only. */
typedef int (*quiltpix_row_fn)(void* user, int32_t y, const unsigned char* rgb, int32_t width);

/* The pixels of the MOS file in mos[0..mos_size) as RGB rows into rgb, row
 * y at rgb + y x stride; stride is at least 3 x width (from
 * quiltpix_inspect) and the buffer at least height x stride bytes. Nothing
 * is written to rgb when the file does not convert, since it is judged whole
 * first. */
QUILTPIX_API quiltpix_status quiltpix_mos_to_rgb(quiltpix_context* context, const void* mos, size_t mos_size,
                                                 unsigned char* rgb, size_t stride);

/* The same, row by row through a callback, in memory that does not grow
 * with the picture's height. */
QUILTPIX_API quiltpix_status quiltpix_mos_to_rows(quiltpix_context* context, const void* mos, size_t mos_size,
                                                  quiltpix_row_fn row, void* user);

typedef enum quiltpix_format { QUILTPIX_FORMAT_BMP = 0, QUILTPIX_FORMAT_PNG = 1 } quiltpix_format;

/* The MOS file as an uncompressed 24-bit bitmap or a PNG, byte for byte
 * what the program writes. With write null, the bytes stay in the context
 * (quiltpix_output); otherwise they go through write. A library built
 * without zlib refuses PNG (QUILTPIX_ERROR_ARGUMENT). */
QUILTPIX_API quiltpix_status quiltpix_mos_to_picture(quiltpix_context* context, const void* mos, size_t mos_size,
                                                     quiltpix_format format, quiltpix_write_fn write, void* user);

/* How a picture becomes a MOS file. Zero it, then set what is wanted. */
typedef struct quiltpix_mos_options {
    /* The MOS file the picture came from, whole: its palettes, index bytes
     * and layout are kept wherever the picture still agrees with it, so an
     * unedited picture gives it back byte for byte. Null for none. */
    const void* original;
    size_t original_size;
    /* Nonzero: tiles of over 256 colours are dithered after quantising. */
    int dither;
} quiltpix_mos_options;

/* What a conversion to MOS did. */
typedef struct quiltpix_summary {
    uint64_t tiles;
    uint64_t exact;      /* tiles whose every pixel kept its colour */
    uint64_t quantised;  /* tiles given 256 colours of their own */
    uint64_t changed;    /* with an original: tiles that differ from it */
    uint64_t translucent;/* pixels whose transparency was dropped */
    double psnr_mean;    /* over the quantised tiles, in dB; 0 when none */
    double psnr_worst;
    uint64_t mos_size;   /* bytes of the MOS file written */
} quiltpix_summary;

/* The MOS file for width x height RGB pixels, row y at rgb + y x stride
 * (stride at least 3 x width; sizes 1 to 32767). With write null the bytes
 * stay in the context (quiltpix_output). options and summary may be null. */
QUILTPIX_API quiltpix_status quiltpix_rgb_to_mos(quiltpix_context* context, const unsigned char* rgb, int32_t width,
                                                 int32_t height, size_t stride, const quiltpix_mos_options* options,
                                                 quiltpix_write_fn write, void* user, quiltpix_summary* summary);

/* The same from a bitmap or PNG file in picture[0..size). */
QUILTPIX_API quiltpix_status quiltpix_picture_to_mos(quiltpix_context* context, const void* picture, size_t size,
                                                     const quiltpix_mos_options* options, quiltpix_write_fn write,
                                                     void* user, quiltpix_summary* summary);

/* The bytes the last conversion left in the context (write was null): valid
 * until the next call on the context. size may not be null. */
QUILTPIX_API const unsigned char* quiltpix_output(const quiltpix_context* context, size_t* size);

/* "640 x 480 pixels, 80 tiles: 72 exact, 8 quantised (PSNR mean 45.21 dB,
 * worst 38.02 dB)": the line the program prints for the last conversion to
 * MOS on the context, "" before one. */
QUILTPIX_API const char* quiltpix_summary_line(const quiltpix_context* context);

#ifdef __cplusplus
}
#endif

#endif
