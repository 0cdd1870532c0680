// Decoding of single pictures (still files, MJPEG packets), with the declared size checked
// before anything is allocated: a 1 KB file that claims 30000 by 30000 pixels must not take
// gigabytes.
#include <png.h>
#include <turbojpeg.h>

#include <algorithm>
#include <opencv2/imgcodecs.hpp>

#include "capture/capture.h"

namespace {

bool tooLarge(std::int64_t width, std::int64_t height) {
  return width <= 0 || height <= 0 || width * height > kMaxPicturePixels;
}

// TurboJPEG hands libjpeg's warnings back instead of printing them, and reads the header on
// its own, so the size is known before the image is allocated. One decompressor serves the
// whole run: it holds no picture between calls.
tjhandle jpegDecoder() {
  static tjhandle decoder = tjInitDecompress();
  return decoder;
}

DecodeResult decodeJpeg(const unsigned char* data, std::size_t size, cv::Mat& bgr, int* width,
                        int* height) {
  tjhandle decoder = jpegDecoder();
  int subsampling = 0, colourspace = 0;
  if (decoder == nullptr || size > 0xFFFFFFFFu ||
      tjDecompressHeader3(decoder, data, static_cast<unsigned long>(size), width, height,
                          &subsampling, &colourspace) != 0) {
    return DecodeResult::failed;
  }
  if (tooLarge(*width, *height)) return DecodeResult::tooLarge;
  if (colourspace == TJCS_CMYK || colourspace == TJCS_YCCK) {
    // TurboJPEG cannot turn these into blue-green-red; the general decoder can.
    cv::imdecode(cv::Mat(1, static_cast<int>(size), CV_8UC1, const_cast<unsigned char*>(data)),
                 cv::IMREAD_COLOR, &bgr);
    return bgr.empty() ? DecodeResult::failed : DecodeResult::ok;
  }
  bgr.create(*height, *width, CV_8UC3);
  if (tjDecompress2(decoder, data, static_cast<unsigned long>(size), bgr.data, *width,
                    static_cast<int>(bgr.step), *height, TJPF_BGR, 0) == 0) {
    return DecodeResult::ok;
  }
  // A warning (a cut-off file, a damaged stretch) leaves a whole picture, grey where data was
  // missing; a fatal error may leave rows of the previous picture, which must not be shown.
  return tjGetErrorCode(decoder) == TJERR_WARNING ? DecodeResult::damaged : DecodeResult::failed;
}

// libpng's simplified reader keeps its errors and warnings in the image record instead of
// printing them, and reads the header on its own first.
DecodeResult decodePng(const unsigned char* data, std::size_t size, cv::Mat& bgr, int* width,
                       int* height) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, data, size)) return DecodeResult::failed;
  *width = static_cast<int>(std::min<png_uint_32>(image.width, 0x7FFFFFFF));
  *height = static_cast<int>(std::min<png_uint_32>(image.height, 0x7FFFFFFF));
  if (tooLarge(*width, *height)) {
    png_image_free(&image);
    return DecodeResult::tooLarge;
  }
  image.format = PNG_FORMAT_BGR;
  bgr.create(*height, *width, CV_8UC3);
  // Rows that a damaged file never delivers stay a plain grey, as JPEG's do.
  bgr.setTo(cv::Scalar::all(128));
  if (png_image_finish_read(&image, nullptr, bgr.data, static_cast<png_int_32>(bgr.step),
                            nullptr)) {
    return DecodeResult::ok;
  }
  png_image_free(&image);
  return DecodeResult::damaged;
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
  // Other formats rely on the library's own limit, set to the same value in prepareCapture.
  if (size > 0x7FFFFFFF) return DecodeResult::failed;
  try {
    cv::imdecode(cv::Mat(1, static_cast<int>(size), CV_8UC1, const_cast<unsigned char*>(data)),
                 cv::IMREAD_COLOR, &bgr);
  } catch (const cv::Exception&) {
    return DecodeResult::failed;
  }
  if (bgr.empty()) return DecodeResult::failed;
  *width = bgr.cols;
  *height = bgr.rows;
  return DecodeResult::ok;
}
