// quiltpix._quiltpix: the C interface (quiltpix.h) for Python. The
// functions here take and give buffers and numpy arrays; the package's
// Python side turns paths into buffers and statuses into exceptions.
// The interpreter's lock is let go while a conversion runs.
#include "quiltpix.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace py = pybind11;

namespace {

struct Context {
    quiltpix_context* c = quiltpix_context_new();
    Context()
    {
        if (!c)
            throw std::bad_alloc();
    }
    ~Context() { quiltpix_context_free(c); }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
};

// The library's failures, raised on the Python side as quiltpix.Error
// (or MemoryError, ValueError) with the program's message.
struct Failure : std::exception {
    int status;
    std::string message;
    Failure(int s, std::string m) : status(s), message(std::move(m)) {}
    const char* what() const noexcept override { return message.c_str(); }
};

void check(const Context& ctx, quiltpix_status status)
{
    if (status != QUILTPIX_OK)
        throw Failure(status, quiltpix_message(ctx.c));
}

// A read-only view of any bytes-like object (bytes, bytearray, mmap,
// memoryview), held while the lock is let go.
struct Bytes {
    py::buffer_info info;
    const void* data;
    std::size_t size;
    explicit Bytes(const py::buffer& b) : info(b.request())
    {
        if (info.ndim > 1 && info.strides.back() != info.itemsize)
            throw py::value_error("the bytes must be contiguous");
        data = info.ptr;
        size = static_cast<std::size_t>(info.size) * static_cast<std::size_t>(info.itemsize);
    }
};

py::dict infoDict(const quiltpix_info& info, quiltpix_status status, const Context& ctx)
{
    static const char* const kinds[] = {"unknown", "mos", "bmp", "png"};
    py::dict d;
    d["kind"] = kinds[info.kind >= 0 && info.kind <= 3 ? info.kind : 0];
    d["width"] = info.width;
    d["height"] = info.height;
    d["tiles"] = info.tiles;
    d["reason"] = status == QUILTPIX_OK ? py::object(py::none()) : py::object(py::str(quiltpix_message(ctx.c)));
    return d;
}

py::dict inspect(const py::buffer& source)
{
    Bytes in(source);
    Context ctx;
    quiltpix_info info{};
    quiltpix_status status;
    {
        py::gil_scoped_release unlocked;
        status = quiltpix_inspect(ctx.c, in.data, in.size, &info);
    }
    if (status == QUILTPIX_ERROR_MEMORY || status == QUILTPIX_ERROR_ARGUMENT)
        check(ctx, status);
    return infoDict(info, status, ctx);
}

// The MOS file's size from its tables alone (never a whole picture's
// pixels): what an array for it needs.
quiltpix_info mosSize(const Context& ctx, const Bytes& in)
{
    quiltpix_info info{};
    const unsigned char* b = static_cast<const unsigned char*>(in.data);
    if (in.size >= 2 && ((b[0] == 'B' && b[1] == 'M') || (in.size >= 8 && b[0] == 0x89 && b[1] == 'P')))
        throw Failure(QUILTPIX_ERROR_INPUT, std::string(b[0] == 'B' ? "a bitmap" : "a PNG picture") +
                                                ", not a MOS file: this reads MOS files");
    quiltpix_status status;
    {
        py::gil_scoped_release unlocked;
        status = quiltpix_inspect(ctx.c, in.data, in.size, &info);
    }
    check(ctx, status);
    return info;
}

py::array_t<std::uint8_t> decode(const py::buffer& source)
{
    Bytes in(source);
    Context ctx;
    const quiltpix_info info = mosSize(ctx, in);
    py::array_t<std::uint8_t> pixels({static_cast<py::ssize_t>(info.height), static_cast<py::ssize_t>(info.width),
                                      py::ssize_t{3}});
    unsigned char* out = pixels.mutable_data();
    quiltpix_status status;
    {
        py::gil_scoped_release unlocked;
        status = quiltpix_mos_to_rgb(ctx.c, in.data, in.size, out, 3 * static_cast<std::size_t>(info.width));
    }
    check(ctx, status);
    return pixels;
}

// Hands the picture to `band` a band of rows at a time, top to bottom:
// band(y, array of rows x width x 3), the array reused for the next band.
void decodeRows(const py::buffer& source, const py::function& band, int rows)
{
    if (rows < 1)
        throw py::value_error("a band holds at least one row");
    Bytes in(source);
    Context ctx;
    const quiltpix_info info = mosSize(ctx, in);
    struct Bands {
        const py::function& band;
        py::array_t<std::uint8_t> buffer;
        unsigned char* store;
        int rows, width, first = 0, have = 0;
        std::unique_ptr<py::error_already_set> error;
        bool flush()
        {
            py::gil_scoped_acquire locked;
            try {
                py::object view = have == rows ? py::object(buffer)
                                               : buffer[py::slice(0, have, 1)];
                band(first, view);
            } catch (py::error_already_set& e) {
                error = std::make_unique<py::error_already_set>(std::move(e));
                return false;
            }
            first += have;
            have = 0;
            return true;
        }
    } bands{band, py::array_t<std::uint8_t>({static_cast<py::ssize_t>(std::min(rows, info.height)),
                                            static_cast<py::ssize_t>(info.width), py::ssize_t{3}}),
            nullptr, std::min(rows, info.height), info.width, 0, 0, nullptr};
    bands.store = bands.buffer.mutable_data();
    const auto row = [](void* user, int32_t, const unsigned char* rgb, int32_t width) -> int {
        Bands& b = *static_cast<Bands*>(user);
        std::memcpy(b.store + static_cast<std::size_t>(b.have) * 3 * static_cast<std::size_t>(width), rgb,
                    3 * static_cast<std::size_t>(width));
        return ++b.have < b.rows || b.flush();
    };
    quiltpix_status status;
    {
        py::gil_scoped_release unlocked;
        status = quiltpix_mos_to_rows(ctx.c, in.data, in.size, row, &bands);
        if (status == QUILTPIX_OK && bands.have > 0 && !bands.flush())
            status = QUILTPIX_ERROR_OUTPUT;
    }
    if (bands.error)
        throw std::move(*bands.error);
    check(ctx, status);
}

// An array of height x width x 3 bytes whose pixels and channels lie next
// to each other (rows may be apart).
struct Pixels {
    const unsigned char* rgb;
    int32_t width, height;
    std::size_t stride;
};

Pixels pixelsOf(const py::array& a)
{
    if (!py::isinstance<py::array_t<std::uint8_t>>(a) || a.dtype().itemsize() != 1 ||
        a.dtype().kind() != 'u')
        throw py::type_error("the pixels must be an array of uint8");
    if (a.ndim() != 3 || a.shape(2) != 3)
        throw py::value_error("the pixels must be an array of height x width x 3 (red, green, blue)");
    if (a.shape(0) > 32767 || a.shape(1) > 32767 || a.shape(0) < 1 || a.shape(1) < 1)
        throw Failure(QUILTPIX_ERROR_ARGUMENT, "a picture of " + std::to_string(a.shape(1)) + " x " +
                                                   std::to_string(a.shape(0)) +
                                                   " pixels is outside 1 to 32767, the sizes a MOS picture holds");
    if (a.strides(2) != 1 || a.strides(1) != 3 || a.strides(0) < 3 * a.shape(1))
        throw py::value_error("the pixels of a row must lie next to each other (numpy.ascontiguousarray)");
    return {static_cast<const unsigned char*>(a.data()), static_cast<int32_t>(a.shape(1)),
            static_cast<int32_t>(a.shape(0)), static_cast<std::size_t>(a.strides(0))};
}

py::dict summaryDict(const quiltpix_summary& s, const Context& ctx)
{
    py::dict d;
    d["tiles"] = s.tiles;
    d["exact"] = s.exact;
    d["quantised"] = s.quantised;
    d["changed"] = s.changed;
    d["translucent"] = s.translucent;
    d["psnr_mean"] = s.psnr_mean;
    d["psnr_worst"] = s.psnr_worst;
    d["size"] = s.mos_size;
    d["line"] = quiltpix_summary_line(ctx.c);
    return d;
}

// A conversion to MOS about to run: the pixels, the original's bytes held
// (when there is one) and the options naming them.
struct ToMos {
    Pixels pixels;
    std::unique_ptr<Bytes> original;
    quiltpix_mos_options options{};
    ToMos(const py::array& array, const py::object& kept, bool dither) : pixels(pixelsOf(array))
    {
        if (!kept.is_none()) {
            original = std::make_unique<Bytes>(kept.cast<py::buffer>());
            options.original = original->data ? original->data : "";
            options.original_size = original->size;
        }
        options.dither = dither ? 1 : 0;
    }
    quiltpix_status run(const Context& ctx, quiltpix_write_fn write, void* user, quiltpix_summary& summary) const
    {
        py::gil_scoped_release unlocked;
        return quiltpix_rgb_to_mos(ctx.c, pixels.rgb, pixels.width, pixels.height, pixels.stride, &options, write,
                                   user, &summary);
    }
};

// The MOS file for the pixels, as bytes, and the summary.
py::tuple encode(const py::array& array, const py::object& original, bool dither)
{
    const ToMos conversion(array, original, dither);
    Context ctx;
    quiltpix_summary summary{};
    check(ctx, conversion.run(ctx, nullptr, nullptr, summary));
    std::size_t size = 0;
    const unsigned char* bytes = quiltpix_output(ctx.c, &size);
    return py::make_tuple(py::bytes(reinterpret_cast<const char*>(bytes), size), summaryDict(summary, ctx));
}

// The same straight into a new file at `path` (the caller's temporary
// name, which it then renames): each piece written at its place, with no
// copy of the whole file in memory.
py::dict encodeToFile(const py::array& array, const std::string& path, const py::object& original, bool dither)
{
    const ToMos conversion(array, original, dither);
    Context ctx;
    quiltpix_summary summary{};
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
        throw py::error_already_set();
    }
    const auto write = [](void* user, uint64_t offset, const void* bytes, size_t size) -> int {
        std::FILE* file = static_cast<std::FILE*>(user);
#ifdef _WIN32
        if (_fseeki64(file, static_cast<long long>(offset), SEEK_SET) != 0)
#else
        if (fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0)
#endif
            return 0;
        return std::fwrite(bytes, 1, size, file) == size;
    };
    const quiltpix_status status = conversion.run(ctx, write, f, summary);
    const bool closed = std::fclose(f) == 0;
    check(ctx, status);
    if (!closed)
        throw Failure(QUILTPIX_ERROR_OUTPUT, "the MOS file could not be written");
    return summaryDict(summary, ctx);
}

} // namespace

PYBIND11_MODULE(_quiltpix, m)
{
    m.doc() = "MOS pictures to and from numpy arrays (the C interface of libquiltpix)";
    m.attr("version") = quiltpix_version();
    static py::exception<Failure> failure(m, "Failure");
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p)
                std::rethrow_exception(p);
        } catch (const Failure& f) {
            PyErr_SetObject(failure.ptr(), py::make_tuple(f.status, f.message).ptr());
        }
    });
    m.def("inspect", &inspect, py::arg("source"));
    m.def("decode", &decode, py::arg("source"));
    m.def("decode_rows", &decodeRows, py::arg("source"), py::arg("band"), py::arg("rows"));
    m.def("encode", &encode, py::arg("pixels"), py::arg("original"), py::arg("dither"));
    m.def("encode_to_file", &encodeToFile, py::arg("pixels"), py::arg("path"), py::arg("original"), py::arg("dither"));
}
