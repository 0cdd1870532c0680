// Files as 360 cameras write them, made by ffmpeg from one equirectangular panorama.
#include "support/camera_files.h"

#include <cstdlib>
#include <fstream>
#include <iostream>

namespace {

std::string quoted(const std::string& s) { return "'" + s + "'"; }

// Runs ffmpeg with `args`; on failure says the whole command on stderr, once.
bool runFfmpeg(const std::string& args) {
  const std::string command = "ffmpeg -nostdin -loglevel error -y " + args;
  if (std::system(command.c_str()) == 0) return true;
  std::cerr << "camera_files: ffmpeg failed: " << command << "\n";
  return false;
}

std::string stillInput(const std::string& pano) { return "-framerate 30 -i " + quoted(pano) + " "; }

// The picture in full-range BT.709, as the cameras signal it, repeated at the end of the graph
// (its filters run once) `frames` times at 30 fps.
std::string fullRange709Repeated(int frames) {
  return "scale=out_color_matrix=bt709:out_range=full,format=yuvj420p,loop=loop=" +
         std::to_string(frames - 1) + ":size=1,setpts=N/30/TB";
}
const char kFullRange709Tags[] =
    "-color_range pc -colorspace bt709 -color_primaries bt709 -color_trc bt709 ";

}  // namespace

std::string makeGoProMax(const std::string& pano, const std::string& dir, int frames,
                         bool withAudio) {
  // 3K: faces F wide, side tiles S wide. A side tile is its face's columns [0, S/2) then
  // [S/2 - 2b, F): 2b columns twice, each copy 2b from the other, as the blend model expects.
  const int F = 736, S = 768, b = 16;
  // {x, width} in the cubemap: the first face's two halves, the centre face, the third's halves.
  const int pieces[5][2] = {
      {0, S / 2}, {S / 2 - 2 * b, S / 2}, {F, F}, {2 * F, S / 2}, {2 * F + S / 2 - 2 * b, S / 2}};
  std::string graph = "[0:v]v360=e:eac:w=" + std::to_string(3 * F) + ":h=" + std::to_string(2 * F) +
                      ",split=5[p0][p1][p2][p3][p4];";
  for (int i = 0; i < 5; ++i) {
    graph += "[p" + std::to_string(i) + "]crop=" + std::to_string(pieces[i][1]) +
             ":ih:" + std::to_string(pieces[i][0]) + ":0[q" + std::to_string(i) + "];";
  }
  graph += "[q0][q1][q2][q3][q4]hstack=inputs=5," + fullRange709Repeated(frames) +
           ",split[t][u];[t]crop=iw:ih/2:0:0[top];[u]crop=iw:ih/2:0:ih/2[bottom]";
  const std::string path = dir + "/GS010001.360";
  const std::string duration = std::to_string(frames / 30.0);
  std::string args = stillInput(pano);
  if (withAudio)
    args += "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=" + duration + " ";
  args += "-filter_complex " + quoted(graph) + " -map '[top]' ";
  // The audio goes between the pictures, as in GoPro's files, where the second picture track is
  // never the stream after the first.
  if (withAudio) args += "-map 1:a -c:a aac -metadata:s:a:0 handler_name='GoPro AAC' ";
  args += "-map '[bottom]' -c:v libx265 -preset ultrafast -x265-params log-level=error " +
          std::string(kFullRange709Tags) + "-metadata:s:v handler_name='GoPro H.265' -frames:v " +
          std::to_string(frames) + " -f mp4 " + quoted(path);
  return runFfmpeg(args) ? path : "";
}

std::vector<std::string> makeInsta360(const std::string& pano, const std::string& dir,
                                      InsvForm form, int frames, int lensSide) {
  const std::string side = std::to_string(lensSide);
  const std::string name = dir + "/VID_20260101_120000_", first = name + "00_001.insv";
  // Black outside each lens's circle, as nothing reaches the sensor there; v360 fills it.
  const std::string inCircle = "p(X\\,Y)*lte(hypot(mod(X\\,H)-H/2+0.5\\,Y-H/2+0.5)\\,H/2)";
  std::string graph = "[0:v]v360=e:dfisheye:h_fov=190:v_fov=190:w=" + std::to_string(2 * lensSide) +
                      ":h=" + side + ",geq=r=" + inCircle + ":g=" + inCircle + ":b=" + inCircle +
                      "," + fullRange709Repeated(frames);
  const std::string encode = "-c:v libx264 -preset ultrafast " + std::string(kFullRange709Tags) +
                             "-frames:v " + std::to_string(frames) + " -f mp4 ";
  std::vector<std::string> paths{first};
  std::string outputs;
  if (form == InsvForm::sideBySide) {
    graph += "[l]";
    outputs = "-map '[l]' " + encode + quoted(first);
  } else {
    graph += ",split[a][b];[a]crop=" + side + ":" + side + ":0:0[l];[b]crop=" + side + ":" + side +
             ":" + side + ":0[r]";
    if (form == InsvForm::twoTracks) {
      outputs = "-map '[l]' -map '[r]' " + encode + quoted(first);
    } else {
      paths.push_back(name + "10_001.insv");
      outputs = "-map '[l]' " + encode + quoted(first) + " -map '[r]' " + encode + quoted(paths[1]);
    }
  }
  if (!runFfmpeg(stillInput(pano) + "-filter_complex " + quoted(graph) + " " + outputs)) return {};
  for (const std::string& path : paths)
    std::ofstream(path, std::ios::binary | std::ios::app) << insvTrailer();
  return paths;
}

std::string insvTrailer() {
  return std::string("{\"fps\":30}\x02\x04\x0a\0\0\0\x0a\x03ONE\x01\x01\x05\0\0\0", 27) +
         std::string(32, '\0') + std::string("\x63\0\0\0\x03\0\0\0", 8) +
         "8db42d694ccc418790edff439fe026bf";
}
