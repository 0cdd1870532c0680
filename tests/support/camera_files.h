// Files as 360 cameras write them, made by ffmpeg from one equirectangular panorama (a PNG), so
// that a test can open them and compare what the viewer shows with the panorama.
#pragma once

#include <string>
#include <vector>

// A GoPro MAX .360 of its 3K mode, `frames` pictures at 30 fps in `dir`: two HEVC tracks of
// 2272x736 ("GoPro H.265"), full-range BT.709, an AAC track between them unless `withAudio` is
// false; left, front, right over down, back, up (v360's eac), each side tile widened by the band
// of duplicated columns (blend width 16). Its path, or "" when ffmpeg failed.
std::string makeGoProMax(const std::string& pano, const std::string& dir, int frames,
                         bool withAudio = true);

// Insta360's forms of the panorama as two 190-degree lenses of `lensSide` pixels, black outside
// their circles: both in one H.264 track; a track each, the left lens first; or a pair of files,
// ..._00_001.insv (left) and ..._10_001.insv, the one-file forms named as the first. Each ends in
// insvTrailer(). The paths, or none when ffmpeg failed. One folder per form.
enum class InsvForm { sideBySide, twoTracks, pair };
std::vector<std::string> makeInsta360(const std::string& pano, const std::string& dir,
                                      InsvForm form, int frames, int lensSide);

// A valid Insta360 trailer of 99 bytes: a JSON record (10 bytes), a protobuf record (5 bytes),
// each with its 6-byte footer, then the 72-byte end (its size counts from the first record).
std::string insvTrailer();
