/* picture: a MOS file to a bitmap or PNG, or a bitmap or PNG to a MOS file,
 * with libquiltpix.
 *
 *     picture IN OUT [ORIGINAL]
 *
 * OUT's extension picks the way: .bmp or .png from a MOS file, .mos from a
 * picture (keeping ORIGINAL's bytes where the picture agrees with it).
 *
 *     cc picture.c $(pkg-config --cflags --libs quiltpix) -o picture
 */
#include <quiltpix.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static unsigned char* slurp(const char* path, size_t* size)
{
    FILE* f = fopen(path, "rb");
    unsigned char* data = NULL;
    long n;
    if (!f || fseek(f, 0, SEEK_END) != 0 || (n = ftell(f)) < 0 || fseek(f, 0, SEEK_SET) != 0)
        goto done;
    data = malloc(n > 0 ? (size_t)n : 1);
    if (data && fread(data, 1, (size_t)n, f) != (size_t)n) {
        free(data);
        data = NULL;
    }
    *size = (size_t)n;
done:
    if (f)
        fclose(f);
    return data;
}

/* Each piece at its place: a MOS file is not written front to back. */
static int write_at(void* user, uint64_t offset, const void* bytes, size_t size)
{
    FILE* f = user;
    return fseek(f, (long)offset, SEEK_SET) == 0 && fwrite(bytes, 1, size, f) == size;
}

static int ends_with(const char* s, const char* tail)
{
    size_t n = strlen(s), m = strlen(tail);
    return n >= m && strcmp(s + n - m, tail) == 0;
}

int main(int argc, char** argv)
{
    size_t size = 0, original_size = 0;
    unsigned char *in, *original = NULL;
    quiltpix_context* context;
    quiltpix_info info;
    quiltpix_status status;
    FILE* out;

    if (argc < 3 || argc > 4) {
        fprintf(stderr, "usage: picture IN OUT [ORIGINAL]   (libquiltpix %s)\n", quiltpix_version());
        return 2;
    }
    in = slurp(argv[1], &size);
    if (argc == 4)
        original = slurp(argv[3], &original_size);
    if (!in || (argc == 4 && !original)) {
        perror(in ? argv[3] : argv[1]);
        return 1;
    }
    context = quiltpix_context_new();
    if (!context)
        return 1;
    if (quiltpix_inspect(context, in, size, &info) != QUILTPIX_OK) {
        fprintf(stderr, "%s: %s\n", argv[1], quiltpix_message(context));
        return 1;
    }
    printf("%s: %d x %d pixels, %u tiles\n", argv[1], info.width, info.height, info.tiles);

    out = fopen(argv[2], "wb");
    if (!out) {
        perror(argv[2]);
        return 1;
    }
    if (ends_with(argv[2], ".mos")) {
        quiltpix_mos_options options = {0};
        quiltpix_summary summary;
        options.original = original;
        options.original_size = original_size;
        status = quiltpix_picture_to_mos(context, in, size, &options, write_at, out, &summary);
        if (status == QUILTPIX_OK)
            printf("%s\n", quiltpix_summary_line(context));
    } else {
        quiltpix_format format = ends_with(argv[2], ".png") ? QUILTPIX_FORMAT_PNG : QUILTPIX_FORMAT_BMP;
        status = quiltpix_mos_to_picture(context, in, size, format, write_at, out);
    }
    if (fclose(out) != 0 && status == QUILTPIX_OK)
        status = QUILTPIX_ERROR_OUTPUT;
    if (status != QUILTPIX_OK) {
        fprintf(stderr, "%s: %s\n", argv[2], quiltpix_message(context));
        remove(argv[2]);
    }
    quiltpix_context_free(context);
    free(in);
    free(original);
    return status == QUILTPIX_OK ? 0 : 1;
}
