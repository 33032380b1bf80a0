#include "qa/PngBytes.h"

#include <QImage>

#include <png.h>

#include <csetjmp>
#include <new>
#include <stdexcept>

namespace quelby {

namespace {

struct PngOut {
    std::vector<char> bytes;
    bool failed = false;
};

// libpng's callbacks: none throws through it, and none prints.
void append(png_structp png, png_bytep data, png_size_t count)
{
    auto* out = static_cast<PngOut*>(png_get_io_ptr(png));
    if (out->failed) return;
    try {
        out->bytes.insert(out->bytes.end(), data, data + count);
    } catch (const std::bad_alloc&) {
        out->failed = true;
    }
}

void flush(png_structp) {}

[[noreturn]] void fail(png_structp png, png_const_charp) { png_longjmp(png, 1); }

void ignore(png_structp, png_const_charp) {}

// Apart from every object with a destructor, which libpng's longjmp would skip.
bool encode(const QImage& rgb, PngOut& out)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, fail, ignore);
    if (png == nullptr) return false;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, &out, append, flush);
    png_set_IHDR(png, info, static_cast<png_uint_32>(rgb.width()), static_cast<png_uint_32>(rgb.height()), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    // Unfiltered rows at zlib's least effort: for pictures of flat colour and
    // text, half the time of adaptive filtering, and smaller files.
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_set_compression_level(png, 1);
    png_write_info(png, info);
    for (int y = 0; y < rgb.height(); ++y) png_write_row(png, rgb.constScanLine(y));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

std::vector<char> pngBytes(const QImage& image)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    PngOut out;
    if (rgb.isNull() || !encode(rgb, out) || out.failed) throw std::runtime_error("cannot encode a PNG picture");
    return std::move(out.bytes);
}

}  // namespace quelby
