// The shaders that draw the sphere from a frame in its own layout (--gpu). Each screen pixel's
// ray meets the sphere where the quadric's sphere lies; the point's texture coordinates, laid
// as the quadric lays them, pick a pixel of the equirectangular picture that the default path
// would make; that pixel's direction is looked up in the frame through its layout, by the same
// arithmetic as the remap tables; the frame's YUV there becomes RGB by the frame's matrix.
// Compiled once per variant, chosen by the defines put in front: PIXELS (how the frame's
// colours are read), PLACE (how its layout is unwrapped), SECOND (the channel that holds a
// two-byte texture's second byte: g, or a where only LUMINANCE_ALPHA exists) and KEPT: 0 draws
// as above; 1 writes, instead of a colour, where each pixel reads the frame (a float texture
// kept while the view stays still); 2 draws from that texture, with none of the sphere's or the
// layout's arithmetic.
#pragma once

// Pixels: 0 three planes, 1 luma then chroma as U V pairs, 6 as V U pairs, 2 YUYV, 3 UYVY,
// 4 grey, 5 RGB.
// Place: 0 the frame as it is, 1 equirectangular, 2 dual fisheye, 3 cubemap 3x2, 4 EAC.
constexpr const char* kSphereVertexShader = R"(
uniform mat3 rayTurn;  // an eye-space direction into the sphere's own axes
uniform vec2 frustum;  // the eye-space ray through a corner of the screen, per unit of depth
varying vec3 ray;
void main() {
  gl_Position = vec4(gl_Vertex.xy, 0.0, 1.0);
  // Along this ray, the distance in front of the eye is the ray's own parameter.
  ray = rayTurn * vec3(gl_Vertex.xy * frustum, -1.0);
}
)";

constexpr const char* kSphereFragmentShader = R"(
uniform sampler2D plane0, plane1, plane2;
uniform vec3 eyePosition;  // the eye in the sphere's own axes
uniform vec2 depthRange;   // the near and far planes: nearer and farther is not drawn
uniform float radius;
uniform vec2 pictureSize;  // the equirectangular picture's pixels
uniform vec2 frameSize;    // the frame's pixels
uniform vec2 packedSize;   // YUYV's and UYVY's texels: the width rounded up to whole pairs
uniform vec2 chromaSub;    // luma pixels per chroma sample, across and down
uniform vec2 chromaStep;   // a chroma texture's coordinate per luma pixel
uniform vec2 chromaShift;  // luma pixels: 0.5 where chroma sits on the first of its pixels
uniform bool chromaWraps;  // chroma runs on across the seam of an unwrapped whole panorama
uniform mat3 toRgb;        // RGB = toRgb * (YUV - yuvOffset)
uniform vec3 yuvOffset;
uniform float brightness;  // 1, or less for a source that stopped
uniform vec3 border;       // where the frame holds nothing
uniform mat3 rotation;     // a shown direction to the frame's own
uniform vec2 eye;          // the part of the frame shown, at its top left, pixels
uniform vec4 panorama;     // equirectangular: the whole panorama's size, the crop's left and top
uniform bool cropped;
uniform bool wholeRow;
uniform vec4 lenses;       // fisheye: left and right centre x, centre y, radius
uniform float halfFov;
uniform vec3 faces;        // cubemaps: a face's width and height, the padding around them
uniform vec2 sides;        // equi-angular: the side tiles' width, and their band's blend width
uniform sampler2D kept;    // KEPT 2: where each pixel reads the frame
uniform vec2 keptSize;     // the window's: its viewport starts at its corner
varying vec3 ray;

const float PI = 3.14159265358979;
// Where a kept pixel reads: x far below any pixel position says the sphere is missed there, or
// that the frame holds nothing for it.
const float MISSED = -1.0e4, EMPTY = -2.0e4;

// atan2 that stays defined where both are 0: at the poles every longitude is the same.
float angle(float y, float x) { return (x == 0.0 && y == 0.0) ? 0.0 : atan(y, x); }

vec2 within(vec2 p, vec4 r) { return clamp(p, r.xy, r.xy + r.zw - 1.0); }

// Where the frame is read for pixel position p (centres at whole numbers) of the part r (x, y,
// width, height) that p belongs to: p, and for chroma planes their texture coordinate, kept
// within the part, so that no neighbouring face or lens bleeds in.
vec4 readPoint(vec2 p, vec4 r) {
#if PIXELS == 0 || PIXELS == 1 || PIXELS == 6
  // Chroma is sampled half a chroma sample inside the part, or it blends with the next one. A
  // whole panorama's is too, as a decoder's conversion takes it, except where the picture is
  // unwrapped between texels: there it runs on across the seam with the luma.
  // The first and last chroma samples that the part holds, at their middles.
  vec2 low = (floor(r.xy / chromaSub) + 0.5) * chromaSub;
  vec2 high = (floor((r.xy + r.zw - 1.0) / chromaSub) + 0.5) * chromaSub;
  vec2 q = p + 0.5 + chromaShift;
  vec2 chroma = clamp(q, low, max(high, low));
  if (chromaWraps) chroma.x = q.x;
  return vec4(p, chroma * chromaStep);
#else
  return vec4(p, 0.0, 0.0);
#endif
}

// The frame's colour where `point` says.
vec3 colourOf(vec4 point) {
  vec2 p = point.xy;
  vec2 luma = (p + 0.5) / frameSize;
#if PIXELS == 5
  return texture2D(plane0, luma).rgb;
#elif PIXELS == 4
  return vec3(texture2D(plane0, luma).r);
#else
  vec3 yuv;
#if PIXELS == 2 || PIXELS == 3
  // Each pixel's Y; a pair's U and V come from its two pixels, as it was sent: the second
  // bytes of YUYV, the first of UYVY.
  vec4 texel = texture2D(plane0, (p + 0.5) / packedSize);
  vec2 pixel = floor(p + 0.5);
  float pair = floor(pixel.x / 2.0) * 2.0;
  vec4 first = texture2D(plane0, (vec2(pair, pixel.y) + 0.5) / packedSize);
  vec4 next = texture2D(plane0, (vec2(pair + 1.0, pixel.y) + 0.5) / packedSize);
#if PIXELS == 2
  yuv = vec3(texel.r, first.SECOND, next.SECOND);
#else
  yuv = vec3(texel.SECOND, first.r, next.r);
#endif
#else
  yuv.x = texture2D(plane0, luma).r;
#if PIXELS == 0
  yuv.yz = vec2(texture2D(plane1, point.zw).r, texture2D(plane2, point.zw).r);
#elif PIXELS == 1
  vec4 uv = texture2D(plane1, point.zw);
  yuv.yz = vec2(uv.r, uv.SECOND);
#else
  vec4 vu = texture2D(plane1, point.zw);
  yuv.yz = vec2(vu.SECOND, vu.r);
#endif
#endif
  return clamp(toRgb * (yuv - yuvOffset), 0.0, 1.0);
#endif
}

// What the unwrapping gives for each pixel: its colour, or where it reads the frame.
#if KEPT == 1
#define Shade vec4
Shade colourAt(vec2 p, vec4 r) { return readPoint(p, r); }
#define NOTHING vec4(EMPTY, 0.0, 0.0, 0.0)
#else
#define Shade vec3
Shade colourAt(vec2 p, vec4 r) { return colourOf(readPoint(p, r)); }
#define NOTHING border
#endif

// The cube face that d meets, as the remap tables choose it, and where on it, from -1 to 1.
// Faces: 0 right, 1 left, 2 up, 3 down, 4 front, 5 back.
float cubeFace(vec3 d, out vec2 uv) {
  vec3 a = abs(d);
  if (a.y > a.x && a.y > a.z) {
    if (d.y > 0.0) { uv = vec2(d.x, -d.z) / d.y; return 3.0; }
    uv = vec2(-d.x, -d.z) / d.y;
    return 2.0;
  }
  if (a.z >= a.x) {
    if (d.z >= 0.0) { uv = vec2(d.x, d.y) / d.z; return 4.0; }
    uv = vec2(d.x, -d.y) / d.z;
    return 5.0;
  }
  uv = vec2(-d.z, d.x > 0.0 ? d.y : -d.y) / d.x;
  return d.x > 0.0 ? 0.0 : 1.0;
}

// The sine and cosine of an angle, given those of an angle `by` radians less: `by` is at most
// half a picture pixel, where a few terms of the series are exact to the last bit.
vec2 turned(vec2 sineCosine, float by) {
  float square = by * by;
  float c = 1.0 - square * (0.5 - square / 24.0);
  float s = by * (1.0 - square * (1.0 / 6.0 - square / 120.0));
  return vec2(sineCosine.x * c + sineCosine.y * s, sineCosine.y * c - sineCosine.x * s);
}

// The frame's colour for the picture pixel `cell`, which the ray met at `st`, point `hit`.
Shade frameColour(vec2 cell, vec2 st, vec3 hit) {
#if PLACE == 0
  return colourAt(cell, vec4(0.0, 0.0, frameSize));
#else
  // The direction of the pixel's centre: the point's own longitude and latitude, whose sines and
  // cosines its coordinates give, turned by the little that lies between them and the centre's.
  float across = length(hit.xy);
  vec2 lon = across > 0.0 ? vec2(hit.x, -hit.y) / across : vec2(0.0, 1.0);
  vec2 lat = vec2(hit.z, across) / radius;
  lon = turned(lon, ((cell.x + 0.5) / pictureSize.x - st.x) * 2.0 * PI);
  lat = turned(lat, ((cell.y + 0.5) / pictureSize.y - st.y) * PI);
  vec3 d = rotation * vec3(lat.y * lon.x, lat.x, lat.y * lon.y);
#if PLACE == 1
  vec2 p = vec2((angle(d.x, d.z) / PI + 1.0) * panorama.x,
                (angle(d.y, length(d.xz)) / (PI / 2.0) + 1.0) * panorama.y) / 2.0 - 0.5 -
           panorama.zw;
  // A whole row runs on across the seam, where the texture repeats; rows stop at the poles.
  if (wholeRow) p.x -= floor((p.x + 0.5) / eye.x) * eye.x;
  if (cropped) {
    if (p.y <= -0.5 || p.y >= eye.y - 0.5 || (!wholeRow && (p.x <= -0.5 || p.x >= eye.x - 0.5)))
      return NOTHING;
    p.x = clamp(p.x, 0.0, eye.x - 1.0);
  }
  p.y = clamp(p.y, 0.0, eye.y - 1.0);
  return colourAt(p, vec4(0.0, 0.0, eye));
#elif PLACE == 2
  float sideways = length(d.xy);
  float offAxis = angle(sideways, abs(d.z));
  if (offAxis > halfFov) return NOTHING;
  vec2 off = sideways > 0.0 ? d.xy / sideways * (offAxis / halfFov * lenses.w) : vec2(0.0);
  // One read for either lens: a branch would read both.
  float middle = eye.x / 2.0;
  bool front = d.z >= 0.0;
  return colourAt(vec2(front ? lenses.y + off.x : lenses.x - off.x, lenses.z + off.y),
                  front ? vec4(ceil(middle), 0.0, eye.x - ceil(middle), eye.y)
                        : vec4(0.0, 0.0, floor(middle), eye.y));
#else
  vec2 uv;
  float face = cubeFace(d, uv);
#if PLACE == 3
  vec2 origin = vec2(mod(face, 3.0), floor(face / 3.0)) * faces.xy;
  vec4 part = vec4(origin, faces.xy);
  return colourAt(within(origin + (uv + 1.0) * faces.xy / 2.0 - 0.5, part), part);
#else
  // Left, front, right above; down, back, up below, turned a quarter one way or the other.
  float slot = face == 0.0 ? 2.0 : face == 1.0 ? 0.0 : face == 2.0 ? 5.0 : face == 3.0 ? 3.0
             : face == 4.0 ? 1.0 : 4.0;
  if (slot == 3.0 || slot == 5.0) uv = vec2(uv.y, -uv.x);
  if (slot == 4.0) uv = vec2(-uv.y, uv.x);
  uv = atan(uv) * 2.0 / PI + 0.5;
  float column = mod(slot, 3.0);
  float tile = column == 1.0 ? faces.x : sides.x;
  vec2 origin = faces.z + vec2(column == 0.0 ? 0.0 : column == 1.0 ? sides.x : sides.x + faces.x,
                               floor(slot / 3.0) * (eye.y / 2.0));
  vec4 part = vec4(origin, tile, faces.y);
  vec2 at = uv * vec2(tile, faces.y);
  if (column != 1.0 && sides.y > 0.0) {
    // GoPro's band: the columns left of the tile's middle, then those two blend widths on, the
    // two copies blended across the two blend widths before the middle.
    float twice = 2.0 * sides.y, middle = tile / 2.0;
    at.x = uv.x * (tile - twice);
    if (at.x >= middle) {
      at.x += twice;
    } else if (at.x > middle - twice) {
      vec2 p = within(origin + at, part);
      return mix(colourAt(p, part), colourAt(min(p + vec2(twice, 0.0), part.xy + part.zw - 1.0), part),
                 (at.x - (middle - twice)) / twice);
    }
  }
  return colourAt(within(origin + at, part), part);
#endif
#endif
#endif
}

void main() {
#if KEPT == 2
  vec4 point = texture2D(kept, gl_FragCoord.xy / keptSize);
  if (point.x < (MISSED + EMPTY) / 2.0) {
    gl_FragColor = vec4(border * brightness, 1.0);
  } else if (point.x < MISSED / 2.0) {
    gl_FragColor = vec4(0.0);
  } else {
    gl_FragColor = vec4(colourOf(point) * brightness, 1.0);
  }
#else
  // Where the ray meets the sphere: the nearer point that lies between the near and far planes,
  // as the depth test and clipping would keep it. Elsewhere the background's clear colour is
  // written, which costs less than leaving the pixel.
#if KEPT == 1
  gl_FragColor = vec4(MISSED, 0.0, 0.0, 0.0);
#else
  gl_FragColor = vec4(0.0);
#endif
  float a = dot(ray, ray), b = dot(eyePosition, ray);
  float c = dot(eyePosition, eyePosition) - radius * radius;
  float disc = b * b - a * c;
  if (disc < 0.0) return;
  float root = sqrt(disc);
  float t = (-b - root) / a;
  if (t < depthRange.x || t > depthRange.y) t = (-b + root) / a;
  if (t < depthRange.x || t > depthRange.y) return;
  vec3 p = eyePosition + t * ray;
  // The quadric's texture coordinates: s runs against the turn about its z axis from y, t from
  // 1 at its +z pole to 0 at its -z pole.
  float turn = -angle(p.x, p.y) / (2.0 * PI);
  vec2 st = vec2(turn - floor(turn), 1.0 - angle(length(p.xy), p.z) / PI);
  vec2 cell = min(floor(st * pictureSize), pictureSize - 1.0);
#if KEPT == 1
  gl_FragColor = frameColour(cell, st, p);
#else
  gl_FragColor = vec4(frameColour(cell, st, p) * brightness, 1.0);
#endif
#endif
}
)";
