// The C interface: the program's own conversions over bytes in memory.
//
// Nothing here may throw across the interface or print: every entry point
// catches what the C++ below can throw and turns it into a status and a
// message kept in the caller's context.
#include "quiltpix.h"

#include "file_range.h"
#include "memory_stream.h"
#include "mos_reading.h"
#include "pixels_reader.h"
#include "picture_reader.h"
#include "png_writer.h"
#include "row_writer.h"
#include "to_bitmap.h"
#include "to_mos.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

struct quiltpix_context {
    std::string message;
    std::string summaryLine;
    std::vector<unsigned char> output;
};

namespace {

using quiltpix::Blame;

const char* const nullArgument = "a pointer the call needs is null";

quiltpix_status fail(quiltpix_context* c, quiltpix_status status, const std::string& why)
{
    c->message = why;
    return status;
}

// A conversion's reason, as a status: running out of memory is told apart
// from a fault of the file.
quiltpix_status refused(quiltpix_context* c, quiltpix_status blame, const std::string& why)
{
    return fail(c, why == "out of memory" ? QUILTPIX_ERROR_MEMORY : blame, why);
}

// Where output goes: the caller's callback, or the context's bytes.
class Output {
public:
    Output(quiltpix_context* c, quiltpix_write_fn write, void* user) : c_(c), write_(write), user_(user)
    {
        c_->output.clear();
    }

    bool at(std::uint64_t pos, const unsigned char* data, std::size_t n)
    {
        end_ = std::max(end_, pos + n);
        if (write_)
            return n == 0 || write_(user_, pos, data, n) != 0;
        // The caller's memory is addressed by size_t: a position past it is
        // a file this build cannot hold.
        if (pos > SIZE_MAX - n)
            return false;
        std::vector<unsigned char>& bytes = c_->output;
        const std::size_t at = static_cast<std::size_t>(pos);
        if (bytes.size() < at + n)
            bytes.resize(at + n);
        std::memcpy(bytes.data() + at, data, n);
        return true;
    }
    std::uint64_t end() const { return end_; }

private:
    quiltpix_context* c_;
    quiltpix_write_fn write_;
    void* user_;
    std::uint64_t end_ = 0;
};

class OutputSink : public quiltpix::ByteSink {
public:
    explicit OutputSink(Output& out) : out_(out) {}
    bool writeAt(std::uint64_t pos, const unsigned char* data, std::size_t n) override { return out_.at(pos, data, n); }

private:
    Output& out_;
};

// A stream writer in front of Output, for the bitmap and PNG writers.
class OutputBuffer : public std::streambuf {
public:
    explicit OutputBuffer(Output& out) : out_(out), buffer_(64 * 1024) { setp(buffer_.data(), buffer_.data() + buffer_.size()); }

protected:
    int_type overflow(int_type ch) override
    {
        if (!flush())
            return traits_type::eof();
        if (!traits_type::eq_int_type(ch, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(ch);
            pbump(1);
        }
        return traits_type::not_eof(ch);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override
    {
        // Large writes go straight through once what is buffered is out.
        if (n >= static_cast<std::streamsize>(buffer_.size())) {
            if (!flush() || !out_.at(written_, reinterpret_cast<const unsigned char*>(s), static_cast<std::size_t>(n)))
                return 0;
            written_ += static_cast<std::uint64_t>(n);
            return n;
        }
        return std::streambuf::xsputn(s, n);
    }
    int sync() override { return flush() ? 0 : -1; }

private:
    bool flush()
    {
        const std::size_t n = static_cast<std::size_t>(pptr() - pbase());
        if (n > 0 && !out_.at(written_, reinterpret_cast<const unsigned char*>(pbase()), n))
            return false;
        written_ += n;
        setp(buffer_.data(), buffer_.data() + buffer_.size());
        return true;
    }

    Output& out_;
    std::vector<char> buffer_;
    std::uint64_t written_ = 0;
};

// Rows handed to the caller, top to bottom, as red, green, blue: into a
// buffer, or through a callback.
class RgbRows : public quiltpix::RowWriter {
public:
    RgbRows(unsigned char* buffer, std::size_t stride) : buffer_(buffer), stride_(stride) {}
    RgbRows(quiltpix_row_fn row, void* user) : row_(row), user_(user) {}

    bool bottomUp() const override { return false; }
    bool rgb() const override { return true; }
    bool begin(int width, int) override
    {
        width_ = width;
        return true;
    }
    bool rows(const unsigned char* pixels, std::size_t stride, int count) override
    {
        const std::size_t bytes = 3 * static_cast<std::size_t>(width_);
        for (int k = 0; k < count; ++k, ++y_, pixels += stride) {
            if (row_) {
                if (row_(user_, y_, pixels, width_) == 0)
                    return false;
            } else {
                std::memcpy(buffer_ + static_cast<std::size_t>(y_) * stride_, pixels, bytes);
            }
        }
        return true;
    }
    bool finish() override { return true; }

private:
    unsigned char* buffer_ = nullptr;
    std::size_t stride_ = 0;
    quiltpix_row_fn row_ = nullptr;
    void* user_ = nullptr;
    int width_ = 0;
    std::int32_t y_ = 0;
};

quiltpix_status decodeMos(quiltpix_context* c, const void* mos, std::size_t size, quiltpix::RowWriter& out)
{
    quiltpix::MemoryStream in(mos, size);
    std::string why;
    if (quiltpix::convertMos(in, size, out, nullptr, &why))
        return QUILTPIX_OK;
    if (why == quiltpix::writeFailed)
        return fail(c, QUILTPIX_ERROR_OUTPUT, why);
    return refused(c, QUILTPIX_ERROR_INPUT, why);
}

quiltpix_status toMos(quiltpix_context* c, const quiltpix::PictureSource& source,
                      const quiltpix_mos_options* options, quiltpix_write_fn write, void* user,
                      quiltpix_summary* summary)
{
    quiltpix::MosOptions o;
    quiltpix::Original original;
    quiltpix::MemoryStream originalStream(options && options->original ? options->original : "",
                                          options && options->original ? options->original_size : 0);
    if (options) {
        o.dither = options->dither != 0;
        if (options->original) {
            const std::string why = quiltpix::judgeOriginal(originalStream, options->original_size, original);
            if (!why.empty())
                return refused(c, QUILTPIX_ERROR_ORIGINAL, why);
            o.original = &original;
        }
    }
    Output output(c, write, user);
    OutputSink sink(output);
    quiltpix::MosSummary s;
    const quiltpix::Failure failure = quiltpix::convertToMos(source, sink, o, s);
    if (failure.failed()) {
        c->output.clear();
        return refused(c,
                       failure.blame == Blame::output     ? QUILTPIX_ERROR_OUTPUT
                       : failure.blame == Blame::original ? QUILTPIX_ERROR_ORIGINAL
                                                          : QUILTPIX_ERROR_INPUT,
                       failure.reason);
    }
    c->summaryLine = s.line();
    if (summary) {
        *summary = quiltpix_summary{};
        summary->tiles = s.tiles;
        summary->exact = s.exact;
        summary->quantised = s.quantised;
        summary->changed = s.changed;
        summary->translucent = s.translucent;
        summary->psnr_mean = s.quantised > 0 ? s.psnrSum / static_cast<double>(s.quantised) : 0;
        summary->psnr_worst = s.psnrWorst;
        summary->mos_size = output.end();
    }
    return QUILTPIX_OK;
}

// Every entry point's frame: a fresh message, and nothing thrown past it.
template <typename F>
quiltpix_status guarded(quiltpix_context* c, F&& body)
{
    if (!c)
        return QUILTPIX_ERROR_ARGUMENT;
    try {
        c->message.clear();
        c->output.clear();
        return body();
    } catch (const std::bad_alloc&) {
        c->output.clear();
        return fail(c, QUILTPIX_ERROR_MEMORY, "out of memory");
    } catch (...) {
        c->output.clear();
        return fail(c, QUILTPIX_ERROR_INPUT, quiltpix::unreadable);
    }
}

} // namespace

extern "C" {

const char* quiltpix_version(void)
{
    return QUILTPIX_VERSION;
}

quiltpix_context* quiltpix_context_new(void)
{
    return new (std::nothrow) quiltpix_context;
}

void quiltpix_context_free(quiltpix_context* context)
{
    delete context;
}

const char* quiltpix_message(const quiltpix_context* context)
{
    return context ? context->message.c_str() : nullArgument;
}

quiltpix_status quiltpix_inspect(quiltpix_context* context, const void* data, size_t size, quiltpix_info* info)
{
    return guarded(context, [&] {
        if (!info || (!data && size > 0))
            return fail(context, QUILTPIX_ERROR_ARGUMENT, nullArgument);
        *info = quiltpix_info{};
        quiltpix::MemoryStream in(data ? data : "", size);
        const unsigned char* bytes = static_cast<const unsigned char*>(data);
        if (quiltpix::looksLikePicture(bytes, size)) {
            info->kind = size >= 2 && bytes[0] == 'B' ? QUILTPIX_KIND_BMP : QUILTPIX_KIND_PNG;
            const quiltpix::PictureCheck check = quiltpix::checkPictureStream(in, size);
            // The size is known once the headers were read, even where the
            // pixels then fail.
            if (check.format.width > 0 && check.format.height > 0) {
                info->width = check.format.width;
                info->height = check.format.height;
                const quiltpix::MosHeader h = quiltpix::freshHeader(info->width, info->height);
                info->tiles = static_cast<std::uint32_t>(quiltpix::tileCount(h));
            }
            return check.whole ? QUILTPIX_OK : fail(context, QUILTPIX_ERROR_INPUT, check.reason);
        }
        const quiltpix::MosCheck check = quiltpix::checkMosStream(in, size);
        const quiltpix::MosHeader& h = check.header;
        if (check.whole || (size >= 4 && std::memcmp(bytes, "MOS ", 4) == 0))
            info->kind = QUILTPIX_KIND_MOS;
        if (quiltpix::isWellFormed(h)) {
            info->width = h.width;
            info->height = h.height;
            info->tiles = static_cast<std::uint32_t>(quiltpix::tileCount(h));
        }
        return check.whole ? QUILTPIX_OK : fail(context, QUILTPIX_ERROR_INPUT, check.reason);
    });
}

quiltpix_status quiltpix_mos_to_rgb(quiltpix_context* context, const void* mos, size_t mos_size, unsigned char* rgb,
                                    size_t stride)
{
    return guarded(context, [&] {
        if (!rgb || (!mos && mos_size > 0))
            return fail(context, QUILTPIX_ERROR_ARGUMENT, nullArgument);
        // The stride is judged against the picture's width before a byte
        // of the caller's buffer is touched.
        quiltpix::MemoryStream in(mos ? mos : "", mos_size);
        const quiltpix::MosCheck check = quiltpix::checkMosStream(in, mos_size);
        if (!check.whole)
            return refused(context, QUILTPIX_ERROR_INPUT, check.reason);
        if (stride < 3 * static_cast<std::size_t>(check.header.width))
            return fail(context, QUILTPIX_ERROR_ARGUMENT,
                        "a stride of " + std::to_string(stride) + " bytes is less than the " +
                            std::to_string(3 * check.header.width) + " a row of the picture takes");
        RgbRows rows(rgb, stride);
        return decodeMos(context, mos ? mos : "", mos_size, rows);
    });
}

quiltpix_status quiltpix_mos_to_rows(quiltpix_context* context, const void* mos, size_t mos_size, quiltpix_row_fn row,
                                     void* user)
{
    return guarded(context, [&] {
        if (!row || (!mos && mos_size > 0))
            return fail(context, QUILTPIX_ERROR_ARGUMENT, nullArgument);
        RgbRows rows(row, user);
        return decodeMos(context, mos ? mos : "", mos_size, rows);
    });
}

quiltpix_status quiltpix_mos_to_picture(quiltpix_context* context, const void* mos, size_t mos_size,
                                        quiltpix_format format, quiltpix_write_fn write, void* user)
{
    return guarded(context, [&] {
        if (!mos && mos_size > 0)
            return fail(context, QUILTPIX_ERROR_ARGUMENT, nullArgument);
        if (format != QUILTPIX_FORMAT_BMP && format != QUILTPIX_FORMAT_PNG)
            return fail(context, QUILTPIX_ERROR_ARGUMENT, "the format is neither BMP nor PNG");
        if (format == QUILTPIX_FORMAT_PNG && !quiltpix::pngAvailable())
            return fail(context, QUILTPIX_ERROR_ARGUMENT, quiltpix::pngNeedsZlib);
        Output output(context, write, user);
        OutputBuffer buffer(output);
        std::ostream out(&buffer);
        quiltpix::BmpWriter bmp(out);
        quiltpix::PngWriter png(out, false);
        quiltpix::RowWriter& writer = format == QUILTPIX_FORMAT_PNG ? static_cast<quiltpix::RowWriter&>(png) : bmp;
        const quiltpix_status status = decodeMos(context, mos ? mos : "", mos_size, writer);
        if (status != QUILTPIX_OK)
            context->output.clear();
        return status;
    });
}

quiltpix_status quiltpix_rgb_to_mos(quiltpix_context* context, const unsigned char* rgb, int32_t width,
                                    int32_t height, size_t stride, const quiltpix_mos_options* options,
                                    quiltpix_write_fn write, void* user, quiltpix_summary* summary)
{
    return guarded(context, [&] {
        if (!rgb)
            return fail(context, QUILTPIX_ERROR_ARGUMENT, nullArgument);
        const std::string size = quiltpix::sizeProblem(width, height);
        if (!size.empty())
            return fail(context, QUILTPIX_ERROR_ARGUMENT, size);
        if (stride < 3 * static_cast<std::size_t>(width))
            return fail(context, QUILTPIX_ERROR_ARGUMENT,
                        "a stride of " + std::to_string(stride) + " bytes is less than the " +
                            std::to_string(3 * static_cast<std::int64_t>(width)) + " a row of the picture takes");
        const quiltpix::PictureSource source = [&] {
            return std::make_unique<quiltpix::PixelsReader>(rgb, width, height, stride);
        };
        return toMos(context, source, options, write, user, summary);
    });
}

quiltpix_status quiltpix_picture_to_mos(quiltpix_context* context, const void* picture, size_t size,
                                        const quiltpix_mos_options* options, quiltpix_write_fn write, void* user,
                                        quiltpix_summary* summary)
{
    return guarded(context, [&] {
        if (!picture && size > 0)
            return fail(context, QUILTPIX_ERROR_ARGUMENT, nullArgument);
        quiltpix::MemoryStream in(picture ? picture : "", size);
        const quiltpix::PictureSource source = [&] { return quiltpix::pictureReader(in, size); };
        return toMos(context, source, options, write, user, summary);
    });
}

const unsigned char* quiltpix_output(const quiltpix_context* context, size_t* size)
{
    if (!context || !size)
        return nullptr;
    *size = context->output.size();
    return context->output.data();
}

const char* quiltpix_summary_line(const quiltpix_context* context)
{
    return context ? context->summaryLine.c_str() : "";
}

} // extern "C"
