// Decoding of single pictures (still files, MJPEG packets), with the declared size checked
// before anything is allocated: a 1 KB file that claims 30000 by 30000 pixels must not take
// gigabytes.
#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "capture/sources/internal.h"

namespace {

// Whether a file that starts with `head` is in a format that only OpenCV reads (BMP, TIFF,
// WebP, the PNM family, Sun raster, Radiance, JPEG 2000, OpenEXR, DICOM).
bool onlyTheLibraryReads(const unsigned char* head, std::size_t size) {
  if (size < 4) return false;
  const auto starts = [&](const char* text, std::size_t length, std::size_t at = 0) {
    return at + length <= size && std::memcmp(head + at, text, length) == 0;
  };
  return starts("BM", 2) || starts("II*\0", 4) || starts("MM\0*", 4) || starts("II+\0", 4) ||
         starts("MM\0+", 4) || (starts("RIFF", 4) && starts("WEBP", 4, 8)) || head[0] == 'P' ||
         starts("\x59\xA6\x6A\x95", 4) || starts("#?", 2) || starts("\0\0\0\x0CjP  ", 8) ||
         starts("\xFF\x4F\xFF\x51", 4) || starts("\x76\x2F\x31\x01", 4) || starts("DICM", 4, 128);
}

bool tooLarge(std::int64_t width, std::int64_t height) {
  return width <= 0 || height <= 0 || width * height > kMaxPicturePixels;
}

// OpenCV prints some failures to std::cerr itself, and the libraries under it may print to
// stderr; while it decodes, the process's error output goes nowhere, so that only the viewer's
// own lines reach the terminal.
class QuietStderr {
 public:
  QuietStderr() : saved_(dup(STDERR_FILENO)) {
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved_ >= 0 && null >= 0) dup2(null, STDERR_FILENO);
    if (null >= 0) close(null);
  }
  ~QuietStderr() {
    if (saved_ < 0) return;
    dup2(saved_, STDERR_FILENO);
    close(saved_);
  }
  QuietStderr(const QuietStderr&) = delete;
  QuietStderr& operator=(const QuietStderr&) = delete;

 private:
  int saved_;
};

// The orientation tag (1 to 8) of an EXIF block, 1 when it has none. Every offset is checked
// against the block, which may come from a hostile file.
int tiffOrientation(const unsigned char* tiff, std::size_t size) {
  if (size < 8) return 1;
  const bool little = tiff[0] == 'I' && tiff[1] == 'I';
  if (!little && !(tiff[0] == 'M' && tiff[1] == 'M')) return 1;
  const auto u16 = [&](std::size_t at) -> std::size_t {
    return little ? tiff[at] | tiff[at + 1] << 8 : tiff[at] << 8 | tiff[at + 1];
  };
  const auto u32 = [&](std::size_t at) -> std::size_t {
    return little ? u16(at) | u16(at + 2) << 16 : u16(at) << 16 | u16(at + 2);
  };
  const std::size_t ifd = u32(4);
  if (u16(2) != 42 || ifd < 8 || ifd > size - 2) return 1;
  const std::size_t entries = u16(ifd);
  for (std::size_t entry = ifd + 2; entry < ifd + 2 + 12 * entries && entry + 12 <= size;
       entry += 12) {
    // Orientation: one SHORT.
    if (u16(entry) == 0x0112 && u16(entry + 2) == 3 && u32(entry + 4) == 1) {
      const std::size_t value = u16(entry + 8);
      return value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
    }
  }
  return 1;
}

// A JPEG's EXIF orientation, read from the first EXIF segment before the picture data; 1 when
// there is none.
int jpegOrientation(const unsigned char* data, std::size_t size) {
  std::size_t at = 2;
  while (at + 4 <= size && data[at] == 0xFF) {
    const unsigned marker = data[at + 1];
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    if (marker == 0xDA || marker == 0xD9) break;  // the picture data, or the end
    const std::size_t length = data[at + 2] << 8 | data[at + 3];
    if (length < 2 || length > size - at - 2) break;
    static const unsigned char kExif[6] = {'E', 'x', 'i', 'f', 0, 0};
    if (marker == 0xE1 && length >= 2 + 6 && std::equal(kExif, kExif + 6, data + at + 4)) {
      return tiffOrientation(data + at + 10, length - 2 - 6);
    }
    at += 2 + length;
  }
  return 1;
}

// Turns a picture stored with EXIF orientation 2 to 8 upright, as picture viewers show it.
void turnUpright(const cv::Mat& stored, int orientation, cv::Mat& upright) {
  switch (orientation) {
    case 2:
      cv::flip(stored, upright, 1);
      break;
    case 3:
      cv::rotate(stored, upright, cv::ROTATE_180);
      break;
    case 4:
      cv::flip(stored, upright, 0);
      break;
    case 5:
      cv::transpose(stored, upright);
      break;
    case 6:
      cv::rotate(stored, upright, cv::ROTATE_90_CLOCKWISE);
      break;
    case 7:
      cv::transpose(stored, upright);
      cv::flip(upright, upright, -1);
      break;
    case 8:
      cv::rotate(stored, upright, cv::ROTATE_90_COUNTERCLOCKWISE);
      break;
    default:
      upright = stored;
  }
}

// TurboJPEG hands libjpeg's warnings back instead of printing them, and reads the header on
// its own, so the size is known before the image is allocated. One decompressor serves the
// whole run, as it holds no picture between calls; but a header that breaks off in an error
// (a marker that is none, a bogus table) leaves it failing every picture after, with the same
// error. A picture that fails or warns leaves it to be made afresh.
tjhandle decompressor = nullptr;

tjhandle jpegDecoder() {
  if (decompressor == nullptr) decompressor = tjInitDecompress();
  return decompressor;
}

void startAfresh() {
  if (decompressor != nullptr) tjDestroy(decompressor);
  decompressor = nullptr;
}

DecodeResult decodeJpeg(const unsigned char* data, std::size_t size, cv::Mat& bgr, int* width,
                        int* height) {
  tjhandle decoder = jpegDecoder();
  int subsampling = 0, colourspace = 0;
  if (decoder == nullptr || size > 0xFFFFFFFFu ||
      tjDecompressHeader3(decoder, data, static_cast<unsigned long>(size), width, height,
                          &subsampling, &colourspace) != 0) {
    startAfresh();
    return DecodeResult::failed;
  }
  if (tooLarge(*width, *height)) return DecodeResult::tooLarge;
  const int orientation = jpegOrientation(data, size);
  const bool cmyk = colourspace == TJCS_CMYK || colourspace == TJCS_YCCK;
  // A turned or CMYK picture is decoded aside first; a plain one straight into the frame.
  cv::Mat aside;
  cv::Mat& stored = (orientation != 1 || cmyk) ? aside : bgr;
  stored.create(*height, *width, cmyk ? CV_8UC4 : CV_8UC3);
  const int status =
      tjDecompress2(decoder, data, static_cast<unsigned long>(size), stored.data, *width,
                    static_cast<int>(stored.step), *height, cmyk ? TJPF_CMYK : TJPF_BGR, 0);
  // A warning (a cut-off file, a damaged stretch) leaves a whole picture, grey where data was
  // missing; a fatal error may leave rows of the previous picture, which must not be shown.
  const bool fatal = status != 0 && tjGetErrorCode(decoder) != TJERR_WARNING;
  if (status != 0) startAfresh();
  if (fatal) return DecodeResult::failed;
  if (cmyk) {
    // Stored inverted, as Adobe writes CMYK: each colour is its value times black's.
    cv::Mat converted(*height, *width, CV_8UC3);
    for (int y = 0; y < *height; ++y) {
      const unsigned char* in = stored.ptr(y);
      unsigned char* out = converted.ptr(y);
      for (int x = 0; x < *width; ++x, in += 4, out += 3) {
        out[0] = static_cast<unsigned char>((in[2] * in[3] + 127) / 255);
        out[1] = static_cast<unsigned char>((in[1] * in[3] + 127) / 255);
        out[2] = static_cast<unsigned char>((in[0] * in[3] + 127) / 255);
      }
    }
    if (orientation == 1) {
      bgr = converted;
    } else {
      aside = converted;
    }
  }
  if (orientation != 1) turnUpright(aside, orientation, bgr);
  *width = bgr.cols;
  *height = bgr.rows;
  return status == 0 ? DecodeResult::ok : DecodeResult::damaged;
}

}  // namespace

DecodeResult decodeJpegPlanes(const unsigned char* data, std::size_t size, cv::Mat& storage,
                              Planes* planes, bool* laidOut) {
  *laidOut = false;
  tjhandle decoder = jpegDecoder();
  int width = 0, height = 0, subsampling = 0, colourspace = 0;
  if (decoder == nullptr || size < 4 || size > 0xFFFFFFFFu || data[0] != 0xFF || data[1] != 0xD8 ||
      tjDecompressHeader3(decoder, data, static_cast<unsigned long>(size), &width, &height,
                          &subsampling, &colourspace) != 0) {
    startAfresh();
    return DecodeResult::failed;
  }
  if (tooLarge(width, height)) return DecodeResult::tooLarge;
  // Larger than a texture: scaled down on the blue-green-red way.
  if (width > textureSideLimit() || height > textureSideLimit()) return DecodeResult::ok;
  PixelLayout layout;
  switch (subsampling) {
    case TJSAMP_420:
      layout = PixelLayout::i420;
      break;
    case TJSAMP_422:
      layout = PixelLayout::yuv422;
      break;
    case TJSAMP_444:
      layout = PixelLayout::yuv444;
      break;
    case TJSAMP_GRAY:
      layout = PixelLayout::grey;
      break;
    default:  // 4:4:0, 4:1:1: the blue-green-red way
      return DecodeResult::ok;
  }
  // A turned picture is turned upright on the blue-green-red way.
  if ((colourspace != TJCS_YCbCr && colourspace != TJCS_GRAY) || jpegOrientation(data, size) != 1) {
    return DecodeResult::ok;
  }
  const int count = subsampling == TJSAMP_GRAY ? 1 : 3;
  int strides[3] = {};
  std::size_t offsets[3] = {}, total = 0;
  for (int plane = 0; plane < count; ++plane) {
    strides[plane] = tjPlaneWidth(plane, width, subsampling);
    offsets[plane] = total;
    total += tjPlaneSizeYUV(plane, width, 0, height, subsampling);
  }
  // Reused while frames keep their size.
  storage.create(1, static_cast<int>(total), CV_8UC1);
  unsigned char* targets[3] = {};
  for (int plane = 0; plane < count; ++plane) targets[plane] = storage.data + offsets[plane];
  const int status = tjDecompressToYUVPlanes(decoder, data, static_cast<unsigned long>(size),
                                             targets, width, strides, height, 0);
  const bool fatal = status != 0 && tjGetErrorCode(decoder) != TJERR_WARNING;
  if (status != 0) startAfresh();
  if (fatal) return DecodeResult::failed;
  *laidOut = true;
  planes->layout = layout;
  planes->width = width;
  planes->height = height;
  for (int plane = 0; plane < 3; ++plane) {
    planes->data[plane] = targets[plane];
    planes->stride[plane] = strides[plane];
  }
  // JPEG's YCbCr is BT.601 over the full range.
  planes->matrix = ColourMatrix::bt601;
  planes->fullRange = true;
  planes->owner = std::make_shared<cv::Mat>(storage);
  return status == 0 ? DecodeResult::ok : DecodeResult::damaged;
}

namespace {

// libpng is used through its full reader, not the simplified one: that one takes 16-bit samples
// without a stated gamma as linear light and shows them far too bright. Its errors and warnings
// come here instead of the terminal; an error leaves through libpng's jump.
struct PngInput {
  const unsigned char* data;
  std::size_t size;
  std::size_t at;
};

void readPngBytes(png_structp png, png_bytep out, png_size_t length) {
  auto* input = static_cast<PngInput*>(png_get_io_ptr(png));
  if (length > input->size - input->at) png_error(png, "cut off");
  std::memcpy(out, input->data + input->at, length);
  input->at += length;
}

void onPngError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void onPngWarning(png_structp, png_const_charp) {}

// Reads the header and sets the conversions to 8-bit blue-green-red, with alpha where the file
// has transparency. No object with a destructor lives in this frame or the next one, so libpng's
// jump out of them skips none.
DecodeResult startPng(png_structp png, png_infop info, int* width, int* height, int* channels,
                      int* passes) {
  if (setjmp(png_jmpbuf(png))) return DecodeResult::failed;
  // Our own limit decides the size, not libpng's default of a million pixels a side.
  png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);
  png_read_info(png, info);
  *width = static_cast<int>(std::min<png_uint_32>(png_get_image_width(png, info), 0x7FFFFFFF));
  *height = static_cast<int>(std::min<png_uint_32>(png_get_image_height(png, info), 0x7FFFFFFF));
  if (tooLarge(*width, *height)) return DecodeResult::tooLarge;
  png_set_expand(png);  // palettes, grey below 8 bits and a transparent colour
  png_set_scale_16(png);
  // Samples are sRGB, whatever their depth, unless the file states another gamma.
  double gamma = 0.0;
  if (!png_get_valid(png, info, PNG_INFO_sRGB) && png_get_gAMA(png, info, &gamma) != 0 &&
      gamma > 0.0) {
    png_set_gamma(png, PNG_DEFAULT_sRGB, gamma);
  }
  png_set_gray_to_rgb(png);
  png_set_bgr(png);
  *passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  *channels = png_get_channels(png, info);
  return *channels == 3 || *channels == 4 ? DecodeResult::ok : DecodeResult::failed;
}

// False when the data ends or breaks before the last row.
bool readPngRows(png_structp png, cv::Mat* rows, int passes) {
  if (setjmp(png_jmpbuf(png))) return false;
  for (int pass = 0; pass < passes; ++pass) {
    for (int y = 0; y < rows->rows; ++y) png_read_row(png, rows->ptr(y), nullptr);
  }
  return true;
}

DecodeResult decodePng(const unsigned char* data, std::size_t size, cv::Mat& bgr, int* width,
                       int* height) {
  PngInput input{data, size, 0};
  png_structp png =
      png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, onPngError, onPngWarning);
  png_infop info = png == nullptr ? nullptr : png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return DecodeResult::failed;
  }
  png_set_read_fn(png, &input, readPngBytes);
  int channels = 0, passes = 0;
  DecodeResult result = startPng(png, info, width, height, &channels, &passes);
  if (result == DecodeResult::ok) {
    // Rows that a damaged file never delivers stay a plain grey, as JPEG's do, and so does
    // what is transparent.
    cv::Mat rows(*height, *width, channels == 4 ? CV_8UC4 : CV_8UC3, cv::Scalar::all(128));
    if (!readPngRows(png, &rows, passes)) result = DecodeResult::damaged;
    if (channels == 3) {
      bgr = rows;
    } else {
      bgr.create(*height, *width, CV_8UC3);
      for (int y = 0; y < *height; ++y) {
        const unsigned char* in = rows.ptr(y);
        unsigned char* out = bgr.ptr(y);
        for (int x = 0; x < *width; ++x, in += 4) {
          for (int c = 0; c < 3; ++c, ++out) {
            *out = static_cast<unsigned char>((in[c] * in[3] + 128 * (255 - in[3]) + 127) / 255);
          }
        }
      }
    }
  }
  png_destroy_read_struct(&png, &info, nullptr);
  return result;
}

}  // namespace

DecodeResult decodePicture(const unsigned char* data, std::size_t size, cv::Mat& bgr, int* width,
                           int* height) {
  *width = *height = 0;
  if (data == nullptr || size < 8) return DecodeResult::failed;
  if (data[0] == 0xFF && data[1] == 0xD8) return decodeJpeg(data, size, bgr, width, height);
  static const unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (std::equal(kPngSignature, kPngSignature + 8, data)) {
    return decodePng(data, size, bgr, width, height);
  }
  // Other formats go to OpenCV, whose codecs check the declared size against our limit: only
  // when its module was loaded as a picture in such a format was opened. A part of an MJPEG
  // stream in one is refused, as loading the module then would hold the window and change the
  // environment under GStreamer's threads.
  const OpenCvModule* module = openCvModule(false);
  if (module == nullptr || size > 0x7FFFFFFF) return DecodeResult::failed;
  DecodeResult result;
  {
    const QuietStderr quiet;
    result = module->decode(data, size, &bgr);
  }
  if (result != DecodeResult::ok) return result;
  *width = bgr.cols;
  *height = bgr.rows;
  return DecodeResult::ok;
}

bool isPictureFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  unsigned char head[132] = {};
  const ssize_t got = read(fd, head, sizeof head);
  close(fd);
  const std::size_t size = got > 0 ? static_cast<std::size_t>(got) : 0;
  static const unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if ((size >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) ||
      (size >= 8 && std::equal(kPngSignature, kPngSignature + 8, head))) {
    return true;
  }
  if (!onlyTheLibraryReads(head, size)) return false;
  // Without OpenCV's module such a picture still opens as one, and its line says what is amiss.
  const OpenCvModule* module = openCvModule();
  return module == nullptr || module->readsPicture(path.c_str());
}
