// Drawing with the shader (--gpu): the planes' textures, the programs, and the one quad whose
// every pixel casts its ray at the sphere, or, while the view stands still, reads where the ray
// met the frame at an earlier draw.
#define GL_GLEXT_PROTOTYPES
#include <GL/gl.h>
#include <GL/glext.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "render/render.h"
#include "render/sphere.glsl.h"

namespace {

// The reading of the colours a frame's texels hold, as the shader's PIXELS takes it.
int pixelsVariant(PixelLayout layout) {
  switch (layout) {
    case PixelLayout::nv12:
      return 1;
    case PixelLayout::nv21:
      return 6;
    case PixelLayout::yuyv:
      return 2;
    case PixelLayout::uyvy:
      return 3;
    case PixelLayout::grey:
      return 4;
    case PixelLayout::rgb:
    case PixelLayout::bgr:
    case PixelLayout::rgbx:
    case PixelLayout::bgrx:
      return 5;
    default:
      return 0;
  }
}

// The unwrapping, as the shader's PLACE takes it.
int placeVariant(const LayoutGeometry& geometry) {
  if (!geometry.remapped) return 0;
  switch (geometry.projection) {
    case Projection::dualFisheye:
      return 2;
    case Projection::cubemap:
      return 3;
    case Projection::eac:
    case Projection::goproMax:
      return 4;
    case Projection::equirect:
      break;
  }
  return 1;
}

// A texture's formats for plane `plane` of `layout`: as stored, and as the bytes come.
struct TexelFormat {
  GLint stored;
  GLenum given;
};

TexelFormat texelFormat(const GpuDrawing& gpu, PixelLayout layout, int plane) {
  switch (layout) {
    case PixelLayout::rgb:
      return {GL_RGB8, GL_RGB};
    case PixelLayout::bgr:
      return {GL_RGB8, GL_BGR};
    case PixelLayout::rgbx:
      return {GL_RGBA8, GL_RGBA};
    case PixelLayout::bgrx:
      return {GL_RGBA8, GL_BGRA};
    default:
      break;
  }
  // One byte a texel: its own channel; two: a second channel (alpha where that is all there is).
  if (texelBytes(layout, plane) == 2) {
    return gpu.luminance ? TexelFormat{GL_LUMINANCE8_ALPHA8, GL_LUMINANCE_ALPHA}
                         : TexelFormat{GL_RG8, GL_RG};
  }
  return gpu.luminance ? TexelFormat{GL_LUMINANCE8, GL_LUMINANCE} : TexelFormat{GL_R8, GL_RED};
}

bool shaderCompiles(GLuint shader) {
  GLint ok = GL_FALSE;
  glGetShaderiv(shader, GL_COMPILE_STATUS, &ok);
  return ok == GL_TRUE;
}

// One variant of the program, compiled and linked; 0 when this GL cannot.
GLuint buildProgram(int pixels, int place, int kept, bool luminance) {
  const std::string defines = "#version 120\n#define PIXELS " + std::to_string(pixels) +
                              "\n#define PLACE " + std::to_string(place) + "\n#define KEPT " +
                              std::to_string(kept) + "\n#define SECOND " + (luminance ? "a" : "g") +
                              "\n";
  const char* vertex[] = {defines.c_str(), kSphereVertexShader};
  const char* fragment[] = {defines.c_str(), kSphereFragmentShader};
  const GLuint vs = glCreateShader(GL_VERTEX_SHADER);
  const GLuint fs = glCreateShader(GL_FRAGMENT_SHADER);
  glShaderSource(vs, 2, vertex, nullptr);
  glShaderSource(fs, 2, fragment, nullptr);
  glCompileShader(vs);
  glCompileShader(fs);
  GLuint program = 0;
  if (shaderCompiles(vs) && shaderCompiles(fs)) {
    program = glCreateProgram();
    glAttachShader(program, vs);
    glAttachShader(program, fs);
    glLinkProgram(program);
    GLint linked = GL_FALSE;
    glGetProgramiv(program, GL_LINK_STATUS, &linked);
    if (linked != GL_TRUE) {
      glDeleteProgram(program);
      program = 0;
    }
  }
  // The program keeps what it needs; the shaders go once it is linked.
  glDeleteShader(vs);
  glDeleteShader(fs);
  return program;
}

GLuint programFor(GpuDrawing& gpu, const FrameLook& look, int kept = 0) {
  const int variant = kept * 256 + pixelsVariant(look.pixels) * 16 + placeVariant(look.geometry);
  for (const auto& known : gpu.programs) {
    if (known.first == variant) return known.second;
  }
  const GLuint program =
      buildProgram(pixelsVariant(look.pixels), placeVariant(look.geometry), kept, gpu.luminance);
  // Kept even when 0, so that a variant this GL refuses is not compiled again at every frame.
  gpu.programs.emplace_back(variant, program);
  return program;
}

// "2.1 Mesa 22.3.6" reads as 2.1; false for text that is no version.
bool atLeast(const char* version, int major, int minor) {
  int gotMajor = 0, gotMinor = 0;
  if (version == nullptr || std::sscanf(version, "%d.%d", &gotMajor, &gotMinor) != 2) return false;
  return gotMajor > major || (gotMajor == major && gotMinor >= minor);
}

bool hasExtension(const char* name) {
  const char* all = reinterpret_cast<const char*>(glGetString(GL_EXTENSIONS));
  if (all == nullptr) return false;
  const std::size_t length = std::strlen(name);
  for (const char* at = std::strstr(all, name); at != nullptr; at = std::strstr(at + 1, name)) {
    if ((at == all || at[-1] == ' ') && (at[length] == ' ' || at[length] == '\0')) return true;
  }
  return false;
}

// The most window pixels whose places are kept, 16 bytes each: a 4K screen's.
constexpr int kMostKeptPixels = 3840 * 2160;

// Sets a program's uniforms and notes every value sent; with no program, only notes them. Two
// draws that send the same values find the same place in the frame for each pixel.
struct Uniforms {
  GLuint program = 0;
  std::vector<float> sent;

  template <typename... Values>
  void floats(const char* name, Values... values) {
    const float v[] = {static_cast<float>(values)...};
    given(name, v, static_cast<int>(sizeof...(Values)));
  }
  void given(const char* name, const float* v, int count) {
    sent.insert(sent.end(), v, v + count);
    if (program == 0) return;
    const GLint at = glGetUniformLocation(program, name);
    switch (count) {
      case 1:
        glUniform1fv(at, 1, v);
        break;
      case 2:
        glUniform2fv(at, 1, v);
        break;
      case 3:
        glUniform3fv(at, 1, v);
        break;
      case 9:
        glUniformMatrix3fv(at, 1, GL_FALSE, v);
        break;
      default:
        glUniform4fv(at, 1, v);
        break;
    }
  }
  void integer(const char* name, int value) {
    sent.push_back(static_cast<float>(value));
    if (program != 0) glUniform1i(glGetUniformLocation(program, name), value);
  }
};

// Everything the shader reads of the frame and its layout.
void setFrameUniforms(Uniforms& u, const GpuDrawing& gpu) {
  const FrameLook& look = gpu.look;
  const LayoutGeometry& g = look.geometry;
  // YV12 holds V before U: its planes are handed to the shader the other way round.
  const bool vFirst = look.pixels == PixelLayout::yv12;
  u.integer("plane0", 0);
  u.integer("plane1", vFirst ? 2 : 1);
  u.integer("plane2", vFirst ? 1 : 2);
  u.floats("pictureSize", g.picture.width, g.picture.height);
  u.floats("frameSize", g.frame.width, g.frame.height);
  u.floats("packedSize", gpu.planeSizes[0].width, gpu.planeSizes[0].height);
  const cv::Size chroma = gpu.planeSizes[1].area() > 0 ? gpu.planeSizes[1] : g.frame;
  const double subX = static_cast<double>(planeSize(look.pixels, cv::Size(2, 2), 1).width);
  const double subY = static_cast<double>(planeSize(look.pixels, cv::Size(2, 2), 1).height);
  // Luma pixels per chroma sample: 2 where the chroma plane of a 2 by 2 frame is 1 wide.
  u.floats("chromaSub", 2.0 / subX, 2.0 / subY);
  u.floats("chromaStep", subX / 2.0 / chroma.width, subY / 2.0 / chroma.height);
  u.integer("chromaWraps", g.wraps && g.remapped);
  u.floats("chromaShift", look.chromaCositedX ? 0.5 : 0.0, look.chromaCositedY ? 0.5 : 0.0);
  const YuvToRgb colours = yuvToRgb(look.matrix, look.fullRange);
  u.given("toRgb", colours.matrix, 9);
  u.given("yuvOffset", colours.offset, 3);
  u.floats("border", g.border[2] / 255.0, g.border[1] / 255.0, g.border[0] / 255.0);
  float rotation[9];
  for (int column = 0; column < 3; ++column) {
    for (int row = 0; row < 3; ++row) {
      rotation[3 * column + row] = static_cast<float>(g.rotation(row, column));
    }
  }
  u.given("rotation", rotation, 9);
  u.floats("eye", g.eye.width, g.eye.height);
  u.floats("panorama", g.fullWidth, g.fullHeight, g.cropLeftPx, g.cropTopPx);
  u.integer("cropped", g.cropped);
  u.integer("wholeRow", g.wholeRow);
  u.floats("lenses", g.leftCentreX, g.rightCentreX, g.centreY, g.radius);
  u.floats("halfFov", g.halfFov);
  u.floats("faces", g.faceWidth, g.faceHeight, g.pad);
  u.floats("sides", g.sideWidth, g.band);
}

void setRayUniforms(Uniforms& u, const RayModel& rays) {
  u.floats("radius", kSphereRadius);
  u.given("eyePosition", rays.eye, 3);
  u.given("rayTurn", rays.turn, 9);
  u.given("frustum", rays.frustum, 2);
  u.given("depthRange", rays.depthRange, 2);
}

// One quad over the part of the window the sphere can cover; the shader finds the sphere in it,
// nearer points first.
void drawBox(const RayModel& rays) {
  glDisable(GL_DEPTH_TEST);
  glBegin(GL_QUADS);
  glVertex2f(rays.screen[0], rays.screen[1]);
  glVertex2f(rays.screen[2], rays.screen[1]);
  glVertex2f(rays.screen[2], rays.screen[3]);
  glVertex2f(rays.screen[0], rays.screen[3]);
  glEnd();
  glEnable(GL_DEPTH_TEST);
}

// Makes sure that the kept texture holds each pixel's place in the frame for this view, worked
// out now if it does not; false where it cannot: no float textures or framebuffers, or a layout
// that reads two places for a pixel (GoPro's band).
bool keepPlaces(GpuDrawing& gpu, const RayModel& rays, cv::Size window) {
  if (gpu.keptReady) return true;
  if (!gpu.keeping || gpu.look.geometry.band > 0) return false;
  // A window larger than a texture, or than the memory allowed for the places, is worked out
  // at every draw.
  GLint maxSide = 0;
  glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSide);
  if (window.width <= 0 || window.height <= 0 || window.width > maxSide ||
      window.height > maxSide || window.area() > kMostKeptPixels) {
    return false;
  }
  const GLuint program = programFor(gpu, gpu.look, 1);
  if (program == 0 || programFor(gpu, gpu.look, 2) == 0) return false;
  if (gpu.keptFramebuffer == 0) {
    glGenTextures(1, &gpu.keptTexture);
    glGenFramebuffers(1, &gpu.keptFramebuffer);
  }
  glActiveTexture(GL_TEXTURE3);
  glBindTexture(GL_TEXTURE_2D, gpu.keptTexture);
  if (gpu.keptSize != window) {
    while (glGetError() != GL_NO_ERROR) {
    }
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA32F, window.width, window.height, 0, GL_RGBA, GL_FLOAT,
                 nullptr);
    // Out of memory leaves the texture as it was: this window is worked out at every draw.
    gpu.keptSize = glGetError() == GL_NO_ERROR ? window : cv::Size();
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    if (gpu.keptSize != window) {
      glBindTexture(GL_TEXTURE_2D, 0);
      glActiveTexture(GL_TEXTURE0);
      return false;
    }
  }
  // Not read while it is written.
  glBindTexture(GL_TEXTURE_2D, 0);
  glActiveTexture(GL_TEXTURE0);
  glBindFramebuffer(GL_FRAMEBUFFER, gpu.keptFramebuffer);
  glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, gpu.keptTexture, 0);
  const bool complete = glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
  if (complete) {
    glUseProgram(program);
    Uniforms u{program, {}};
    setFrameUniforms(u, gpu);
    setRayUniforms(u, rays);
    drawBox(rays);
    glUseProgram(0);
  }
  glBindFramebuffer(GL_FRAMEBUFFER, 0);
  // A GL that cannot draw into a float texture of a size it allows never will.
  gpu.keeping = complete;
  gpu.keptReady = complete;
  return complete;
}

}  // namespace

bool canDraw(GpuDrawing& gpu, const FrameLook& look) { return programFor(gpu, look) != 0; }

bool startGpuDrawing(GpuDrawing& gpu) {
  const char* version = reinterpret_cast<const char*>(glGetString(GL_VERSION));
  const char* shading = reinterpret_cast<const char*>(glGetString(GL_SHADING_LANGUAGE_VERSION));
  // Textures of any size are core from 2.0 on; 2.1 brings GLSL 1.20.
  bool able = atLeast(version, 2, 1) && atLeast(shading, 1, 20);
  if (able) {
    gpu.luminance = !atLeast(version, 3, 0) && !hasExtension("GL_ARB_texture_rg");
    // Places are kept in a float texture drawn into, whose values a GL 2 without float colour
    // buffers would clamp from 0 to 1.
    gpu.keeping = atLeast(version, 3, 0) || (hasExtension("GL_ARB_framebuffer_object") &&
                                             hasExtension("GL_ARB_texture_float") &&
                                             hasExtension("GL_ARB_color_buffer_float"));
    glGenTextures(3, gpu.textures);
    // The commonest variant is compiled now: a GL that cannot build it cannot draw this way.
    // The others (35 for each way of drawing, each 3 ms and 1 MB on llvmpipe) as frames and
    // views need them.
    FrameLook plain;
    plain.geometry.remapped = false;
    able = canDraw(gpu, plain);
  }
  if (!able) {
    const std::string named = version != nullptr ? version : "?";
    std::fprintf(stderr,
                 "lumivane: --gpu needs OpenGL 2.1 shaders, which this GL (%s) lacks; drawing "
                 "without them\n",
                 named.c_str());
  }
  gpu.on = able;
  return able;
}

bool uploadPlanes(GpuDrawing& gpu, const Planes& planes, const FrameLook& look) {
  const cv::Size frame(planes.width, planes.height);
  const int count = planeCount(planes.layout);
  GLint maxSide = 0;
  glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSide);
  if (frame.width < 2 || frame.height < 1 || frame.width > maxSide || frame.height > maxSide) {
    return false;
  }
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  glPixelStorei(GL_UNPACK_SKIP_ROWS, 0);
  glPixelStorei(GL_UNPACK_SKIP_PIXELS, 0);
  for (int plane = 0; plane < count; ++plane) {
    const cv::Size size = planeSize(planes.layout, frame, plane);
    const int bytes = texelBytes(planes.layout, plane);
    const TexelFormat format = texelFormat(gpu, planes.layout, plane);
    if (planes.data[plane] == nullptr || planes.stride[plane] < size.width * bytes) return false;
    glActiveTexture(GL_TEXTURE0 + plane);
    glBindTexture(GL_TEXTURE_2D, gpu.textures[plane]);
    // Made once per size and layout; each frame only replaces the texels.
    if (gpu.planeSizes[plane] != size || gpu.madeFor != planes.layout) {
      glTexImage2D(GL_TEXTURE_2D, 0, format.stored, size.width, size.height, 0, format.given,
                   GL_UNSIGNED_BYTE, nullptr);
      gpu.planeSizes[plane] = size;
    }
    // Rows are read with the decoder's own stride. One that is not whole texels (RGB of an odd
    // width, say) cannot be said as a row length: such rows go up one by one.
    if (planes.stride[plane] % bytes == 0) {
      glPixelStorei(GL_UNPACK_ROW_LENGTH, planes.stride[plane] / bytes);
      glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, size.width, size.height, format.given,
                      GL_UNSIGNED_BYTE, planes.data[plane]);
    } else {
      glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
      for (int row = 0; row < size.height; ++row) {
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, row, size.width, 1, format.given, GL_UNSIGNED_BYTE,
                        planes.data[plane] + static_cast<std::size_t>(row) * planes.stride[plane]);
      }
    }
  }
  for (int plane = count; plane < 3; ++plane) gpu.planeSizes[plane] = cv::Size();
  glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
  glActiveTexture(GL_TEXTURE0);
  gpu.madeFor = planes.layout;
  gpu.look = look;
  gpu.showingPlanes = true;
  return true;
}

void drawPlanes(GpuDrawing& gpu, float brightness) {
  double modelView[16], projection[16];
  GLint viewport[4] = {};
  glGetDoublev(GL_MODELVIEW_MATRIX, modelView);
  glGetDoublev(GL_PROJECTION_MATRIX, projection);
  glGetIntegerv(GL_VIEWPORT, viewport);
  const RayModel rays = rayModel(modelView, projection, kSphereRadius, viewport[3]);
  if (!rays.drawable) return;
  // What each pixel's place in the frame depends on: when a draw's is the last one's, the view
  // stands still and the places can be kept.
  Uniforms view;
  setFrameUniforms(view, gpu);
  setRayUniforms(view, rays);
  std::vector<float>& key = view.sent;
  key.insert(key.end(), rays.screen, rays.screen + 4);
  for (const GLint side : viewport) key.push_back(static_cast<float>(side));
  key.push_back(static_cast<float>(pixelsVariant(gpu.look.pixels)));
  key.push_back(static_cast<float>(placeVariant(gpu.look.geometry)));
  const bool still = key == gpu.lastView;
  if (!still) {
    gpu.lastView = std::move(key);
    gpu.keptReady = false;
  }
  // The frame as it is is read texel by texel, as nearest filtering reads the picture; an
  // unwrapped one between texels, as the remap reads it, and chroma between its samples, as a
  // conversion upsamples it. Where no texel of a plane can cover more than a pixel, the nearest
  // one shows the same at a quarter of the reads (the whole draw a fifth cheaper); that is
  // decided here, once, as GL's own choice per pixel costs as much as it saves.
  const LayoutGeometry& geometry = gpu.look.geometry;
  const bool plain = !geometry.remapped;
  const GLint wrapS = geometry.wraps ? GL_REPEAT : GL_CLAMP_TO_EDGE;
  for (int plane = 0; plane < 3; ++plane) {
    const double texelsPerRadian =
        geometry.picture.width / (2.0 * CV_PI) * gpu.planeSizes[plane].width / geometry.frame.width;
    const bool between = !(plane == 0 && plain) && texelsPerRadian < rays.pixelsPerRadian;
    glActiveTexture(GL_TEXTURE0 + plane);
    glBindTexture(GL_TEXTURE_2D, gpu.textures[plane]);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, between ? GL_LINEAR : GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, between ? GL_LINEAR : GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, wrapS);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
  }
  glActiveTexture(GL_TEXTURE0);
  // A view that stands still reads the frame where the last draw found each pixel's place: the
  // sphere's and the layout's arithmetic is done once, and each new frame costs only its reads.
  // A moving view (a spin, a drag) is worked out afresh, as keeping it would cost a pass more.
  const bool kept = still && keepPlaces(gpu, rays, cv::Size(viewport[2], viewport[3]));
  const GLuint program = programFor(gpu, gpu.look, kept ? 2 : 0);
  if (program == 0) return;
  glUseProgram(program);
  Uniforms u{program, {}};
  setFrameUniforms(u, gpu);
  setRayUniforms(u, rays);
  u.floats("brightness", brightness);
  if (kept) {
    glActiveTexture(GL_TEXTURE3);
    glBindTexture(GL_TEXTURE_2D, gpu.keptTexture);
    glActiveTexture(GL_TEXTURE0);
    u.integer("kept", 3);
    u.floats("keptSize", gpu.keptSize.width, gpu.keptSize.height);
  }
  drawBox(rays);
  glUseProgram(0);
}
