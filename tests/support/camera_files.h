// Files as 360 cameras write them, made by ffmpeg from one equirectangular panorama, so that a
// test can open them and compare what the viewer shows with the panorama.
#pragma once

#include <string>
#include <vector>

// A GoPro MAX .360 of the 3K mode, made from the equirectangular picture `pano` (a PNG path) in
// `dir`, `frames` pictures long at 30 fps: two HEVC tracks of 2272x736, handler name
// "GoPro H.265", full-range BT.709, with an AAC track between them unless `withAudio` is false.
// The first track holds left, front, right, the second down, back, up (v360's eac, split in
// rows); each side tile carries the band of 2b = 32 duplicated columns down its middle. Returns
// the path, or "" when ffmpeg failed.
std::string makeGoProMax(const std::string& pano, const std::string& dir, int frames,
                         bool withAudio = true);

// Insta360 forms of the same panorama as two fisheye lenses of 190 degrees, `lensSide` pixels
// each (v360's dfisheye), black outside each lens's inscribed circle. sideBySide: one H.264 track
// with both circles, 2:1. twoTracks: one file, two square tracks, the left lens first. pair:
// VID_20260101_120000_00_001.insv with the left lens and ..._10_001.insv with the right one. The
// one-file forms are named as the _00_ file, as the cameras name them, so use one folder per form.
// Each file ends in an Insta360 trailer. Returns the paths, or none when ffmpeg failed.
enum class InsvForm { sideBySide, twoTracks, pair };
std::vector<std::string> makeInsta360(const std::string& pano, const std::string& dir,
                                      InsvForm form, int frames, int lensSide);

// Appends an Insta360 trailer to `path`: one metadata record (id 1, protobuf, field 1 the serial
// "serial"), then the 72-byte end with the trailer's size, version 3 and the magic. Throws
// std::runtime_error when the file cannot be written.
void appendInsvTrailer(const std::string& path);
