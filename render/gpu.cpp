// Drawing with the shader (--gpu): the planes' textures, the programs, and the one quad whose
// every pixel casts its ray at the sphere.
#define GL_GLEXT_PROTOTYPES
#include <GL/gl.h>
#include <GL/glext.h>

#include <cstdio>
#include <cstring>
#include <string>

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
GLuint buildProgram(int pixels, int place, bool luminance) {
  const std::string defines = "#version 120\n#define PIXELS " + std::to_string(pixels) +
                              "\n#define PLACE " + std::to_string(place) + "\n#define SECOND " +
                              (luminance ? "a" : "g") + "\n";
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

GLuint programFor(GpuDrawing& gpu, const FrameLook& look) {
  const int variant = pixelsVariant(look.pixels) * 16 + placeVariant(look.geometry);
  for (const auto& known : gpu.programs) {
    if (known.first == variant) return known.second;
  }
  const GLuint program =
      buildProgram(pixelsVariant(look.pixels), placeVariant(look.geometry), gpu.luminance);
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

void uniform1i(GLuint program, const char* name, int value) {
  glUniform1i(glGetUniformLocation(program, name), value);
}
void uniform1f(GLuint program, const char* name, double value) {
  glUniform1f(glGetUniformLocation(program, name), static_cast<float>(value));
}
void uniform2f(GLuint program, const char* name, double x, double y) {
  glUniform2f(glGetUniformLocation(program, name), static_cast<float>(x), static_cast<float>(y));
}
void uniform3f(GLuint program, const char* name, double x, double y, double z) {
  glUniform3f(glGetUniformLocation(program, name), static_cast<float>(x), static_cast<float>(y),
              static_cast<float>(z));
}
void uniform4f(GLuint program, const char* name, double x, double y, double z, double w) {
  glUniform4f(glGetUniformLocation(program, name), static_cast<float>(x), static_cast<float>(y),
              static_cast<float>(z), static_cast<float>(w));
}

// Everything the shader reads of the frame and its layout.
void setFrameUniforms(GLuint program, const GpuDrawing& gpu) {
  const FrameLook& look = gpu.look;
  const LayoutGeometry& g = look.geometry;
  // YV12 holds V before U: its planes are handed to the shader the other way round.
  const bool vFirst = look.pixels == PixelLayout::yv12;
  uniform1i(program, "plane0", 0);
  uniform1i(program, "plane1", vFirst ? 2 : 1);
  uniform1i(program, "plane2", vFirst ? 1 : 2);
  uniform2f(program, "pictureSize", g.picture.width, g.picture.height);
  uniform2f(program, "frameSize", g.frame.width, g.frame.height);
  uniform2f(program, "packedSize", gpu.planeSizes[0].width, gpu.planeSizes[0].height);
  const cv::Size chroma = gpu.planeSizes[1].area() > 0 ? gpu.planeSizes[1] : g.frame;
  const double subX = static_cast<double>(planeSize(look.pixels, cv::Size(2, 2), 1).width);
  const double subY = static_cast<double>(planeSize(look.pixels, cv::Size(2, 2), 1).height);
  // Luma pixels per chroma sample: 2 where the chroma plane of a 2 by 2 frame is 1 wide.
  uniform2f(program, "chromaSub", 2.0 / subX, 2.0 / subY);
  uniform2f(program, "chromaStep", subX / 2.0 / chroma.width, subY / 2.0 / chroma.height);
  uniform1i(program, "chromaWraps", g.wraps && g.remapped);
  uniform2f(program, "chromaShift", look.chromaCositedX ? 0.5 : 0.0,
            look.chromaCositedY ? 0.5 : 0.0);
  const YuvToRgb colours = yuvToRgb(look.matrix, look.fullRange);
  glUniformMatrix3fv(glGetUniformLocation(program, "toRgb"), 1, GL_FALSE, colours.matrix);
  glUniform3fv(glGetUniformLocation(program, "yuvOffset"), 1, colours.offset);
  uniform3f(program, "border", g.border[2] / 255.0, g.border[1] / 255.0, g.border[0] / 255.0);
  float rotation[9];
  for (int column = 0; column < 3; ++column) {
    for (int row = 0; row < 3; ++row) {
      rotation[3 * column + row] = static_cast<float>(g.rotation(row, column));
    }
  }
  glUniformMatrix3fv(glGetUniformLocation(program, "rotation"), 1, GL_FALSE, rotation);
  uniform2f(program, "eye", g.eye.width, g.eye.height);
  uniform4f(program, "panorama", g.fullWidth, g.fullHeight, g.cropLeftPx, g.cropTopPx);
  uniform1i(program, "cropped", g.cropped);
  uniform1i(program, "wholeRow", g.wholeRow);
  uniform4f(program, "lenses", g.leftCentreX, g.rightCentreX, g.centreY, g.radius);
  uniform1f(program, "halfFov", g.halfFov);
  uniform3f(program, "faces", g.faceWidth, g.faceHeight, g.pad);
  uniform2f(program, "sides", g.sideWidth, g.band);
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
    glGenTextures(3, gpu.textures);
    // The commonest variant is compiled now: a GL that cannot build it cannot draw this way.
    // The others (35 in all, each 3 ms and 1 MB on llvmpipe) as frames need them.
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
  const GLuint program = programFor(gpu, gpu.look);
  double modelView[16], projection[16];
  GLint viewport[4] = {};
  glGetDoublev(GL_MODELVIEW_MATRIX, modelView);
  glGetDoublev(GL_PROJECTION_MATRIX, projection);
  glGetIntegerv(GL_VIEWPORT, viewport);
  const RayModel rays = rayModel(modelView, projection, kSphereRadius, viewport[3]);
  if (program == 0 || !rays.drawable) return;
  glUseProgram(program);
  setFrameUniforms(program, gpu);
  uniform1f(program, "brightness", brightness);
  uniform1f(program, "radius", kSphereRadius);
  glUniform3fv(glGetUniformLocation(program, "eyePosition"), 1, rays.eye);
  glUniformMatrix3fv(glGetUniformLocation(program, "rayTurn"), 1, GL_FALSE, rays.turn);
  glUniform2fv(glGetUniformLocation(program, "frustum"), 1, rays.frustum);
  glUniform2fv(glGetUniformLocation(program, "depthRange"), 1, rays.depthRange);
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
  // One quad over the part of the window the sphere can cover; the shader finds the sphere in
  // it, nearer points first.
  glDisable(GL_DEPTH_TEST);
  glBegin(GL_QUADS);
  glVertex2f(rays.screen[0], rays.screen[1]);
  glVertex2f(rays.screen[2], rays.screen[1]);
  glVertex2f(rays.screen[2], rays.screen[3]);
  glVertex2f(rays.screen[0], rays.screen[3]);
  glEnd();
  glEnable(GL_DEPTH_TEST);
  glUseProgram(0);
}
